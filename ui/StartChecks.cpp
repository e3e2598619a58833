#include "ui/StartChecks.h"

#include "core/MapTypes.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "task/Coordinates.h"

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

    if (!task::ParseCoordinate(input.LeftLongitude, r.LeftLongitude) ||
        !task::ParseCoordinate(input.RightLongitude, r.RightLongitude) ||
        !task::ParseCoordinate(input.TopLatitude, r.TopLatitude) ||
        !task::ParseCoordinate(input.BottomLatitude, r.BottomLatitude))
        check.AreaMessage = StartMessages::kInputError;
    else
        // The range checks, then a seventh of our own: Edit5 holds 1 to 20
        // through UpDown1, but an opened project can put any integer there,
        // and the tile arithmetic has no meaning outside that range.
        check.AreaMessage = task::CheckRequest(r.LeftLongitude, r.RightLongitude, r.TopLatitude,
                                               r.BottomLatitude, r.Zoom);

    r.TaskName = input.TaskName;
    if (platform::ExtractFileExt(r.TaskName) != ".kvpd")
        r.TaskName += ".kvpd";
    return check;
}

} // namespace kartivo::ui
