#include "ui/StartChecks.h"

#include <algorithm>

#include "core/MapTypes.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "task/Coordinates.h"
#include "task/Unitclasstask.h"

namespace kartivo::ui {

std::string StartMessages::CreateDirectoryFailed(const std::string& path)
{
    return "Create directory " + path + " Failed.";
}

std::string StartMessages::StartAfresh(const std::string& projectName)
{
    return "The project " + projectName +
           " already exists for another area, zoom level or map type. Start it afresh? Its log, "
           "tile list, failed list and positions will be replaced.";
}

std::string StartMessages::TaskNameHasSeparator(const std::string& name)
{
    return "The task name \"" + name +
           "\" contains a path separator (\"/\" or \"\\\"). "
           "A task name names files in the save folder; please choose the folder with \"Path to save\".";
}

std::string StartMessages::TaskNameIsDots(const std::string& name)
{
    return "The task name \"" + name +
           "\" cannot be used: \".\" and \"..\" name folders, "
           "so the task's tiles would land in the save folder or above it.";
}

std::string StartMessages::TaskNameTooLong(std::size_t longestFileName, std::size_t allowed)
{
    return "The task name is too long: the longest of the task's file names would have " +
           std::to_string(longestFileName) + " bytes, and the file system allows " + std::to_string(allowed) +
           ". Please choose a shorter name.";
}

std::string CompleteTaskName(const std::string& typed)
{
    return platform::ExtractFileExt(typed) == ".kvpd" ? typed : typed + ".kvpd";
}

std::string CheckTaskName(const std::string& completed)
{
    // The base (the name without its extension) names the log, the lists
    // and the tile folder; the longest name made from it is the failed list.
    const std::string base = task::TaskBaseName(completed);
    if (base.empty())
        return StartMessages::kEmptyTaskName;
    // Both separators: a backslash is a plain character on this system, but
    // the same project opened on Windows would split the name there.
    if (completed.find_first_of("/\\") != std::string::npos)
        return StartMessages::TaskNameHasSeparator(completed);
    // "." as base makes the tile folder the save folder itself, ".." its parent.
    if (base == "." || base == "..")
        return StartMessages::TaskNameIsDots(completed);
    for (const unsigned char c : completed)
        if (c < 0x20 || c == 0x7f)
            return StartMessages::kTaskNameControlChar;
    const std::size_t longest = std::max(completed.size(), base.size() + std::string("_failed.ftl").size());
    if (longest > kMaxFileNameBytes)
        return StartMessages::TaskNameTooLong(longest, kMaxFileNameBytes);
    return "";
}

namespace {

int ZoomOfText(const std::string& text)
{
    int value = 0;
    if (!platform::ParseIniInteger(text, value))
        throw platform::Exception("'" + text + "' is not a valid integer value");
    return value;
}

} // namespace

StartCheck CheckStartInput(const StartInput& input)
{
    StartCheck check;
    StartRequest& r = check.Request;
    r.Zoom = ZoomOfText(input.Zoom);
    r.MapsType = core::MapTypeCodeOfIndex(input.MapsTypeIndex);

    r.SaveFolder = input.SavePath;
    if (r.SaveFolder.empty())
        check.PathMessage = StartMessages::kNoPath;
    r.SavePath = platform::IncludeTrailingPathDelimiter(r.SaveFolder);
    r.TaskName = CompleteTaskName(input.TaskName);
    // The name is checked before anything is made: "../x" would otherwise
    // write every file outside the save folder, and ".." every tile into it.
    if (check.PathMessage.empty())
        check.PathMessage = CheckTaskName(r.TaskName);

    if (!task::ParseCoordinate(input.LeftLongitude, r.LeftLongitude) ||
        !task::ParseCoordinate(input.RightLongitude, r.RightLongitude) ||
        !task::ParseCoordinate(input.TopLatitude, r.TopLatitude) ||
        !task::ParseCoordinate(input.BottomLatitude, r.BottomLatitude))
        check.AreaMessage = StartMessages::kInputError;
    else
        // The range checks, then a seventh of our own: Edit5 holds 1 to 20
        // through UpDown1, but an opened project can put any integer there,
        // and the tile arithmetic has no meaning outside that range.
        check.AreaMessage =
            task::CheckRequest(r.LeftLongitude, r.RightLongitude, r.TopLatitude, r.BottomLatitude, r.Zoom);
    return check;
}

} // namespace kartivo::ui
