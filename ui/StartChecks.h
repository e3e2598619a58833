#pragma once
// Start's checks of the task controls' texts, apart from the dialogs and the
// disk: the typed input in, the first refusal or the validated request out.
// Start makes the save folder between the checks of the path and task name
// and those of the area.
#include <cstddef>
#include <string>

namespace kartivo::ui {

// The texts of the window's task controls as the user left them.
struct StartInput {
    std::string LeftLongitude;  // Edit1
    std::string TopLatitude;    // Edit2
    std::string RightLongitude; // Edit3
    std::string BottomLatitude; // Edit4
    std::string Zoom;           // Edit5
    std::string SavePath;       // Edit6
    std::string TaskName;       // EditTaskName
    int MapsTypeIndex = 1;      // radio_mapstype
};

// The user's messages of Start and the monitor, exactly as shown.
namespace StartMessages {
inline constexpr const char* kNoPath = "Please select a path to save the images.";
inline constexpr const char* kInputError = "Longitude or latitude input error!";
inline constexpr const char* kCreateTaskFailure = "Error: Create task failure.";
inline constexpr const char* kTaskStoped = "Task stoped!                    ";
std::string CreateDirectoryFailed(const std::string& path);
// Asked before a project file of the same name is replaced by a new task.
std::string StartAfresh(const std::string& projectName);
// Refusals of the task name: it names the project file, and its base names
// the log, the lists and the tile folder beside it.
inline constexpr const char* kEmptyTaskName = "Please enter a task name.";
std::string TaskNameHasSeparator(const std::string& name);
std::string TaskNameIsDots(const std::string& name);
inline constexpr const char* kTaskNameControlChar =
    "The task name contains a control character (a tab or a line break, for example). "
    "Please type the name again.";
std::string TaskNameTooLong(std::size_t longestFileName, std::size_t allowed);
} // namespace StartMessages

// The longest file name, in bytes, that the file system takes (NAME_MAX).
inline constexpr std::size_t kMaxFileNameBytes = 255;

// The task name as Start completes it: ".kvpd" appended when its extension
// (from the last dot on) is anything else, case included.
std::string CompleteTaskName(const std::string& typed);
// The refusal of a completed task name, "" when it is fit to name the
// task's files: not empty (nor ".kvpd" alone), no path separator, not "."
// or "..", no control character, and short enough for the longest of the
// names made from it ("<base>_failed.ftl").
std::string CheckTaskName(const std::string& completed);

// The input as Start builds its task from it.
struct StartRequest {
    int Zoom = 0;
    int MapsType = 0;       // the map type's code
    std::string SaveFolder; // as typed: the folder made when missing
    std::string SavePath;   // the same with a trailing delimiter
    double LeftLongitude = 0;
    double RightLongitude = 0;
    double TopLatitude = 0;
    double BottomLatitude = 0;
    std::string TaskName; // with ".kvpd" added when it has another extension
};

struct StartCheck {
    // The refusal of the save path or of the task name: shown before the
    // save folder is made.
    std::string PathMessage;
    // The first refusal of the coordinates and zoom: shown after the save
    // folder is made (the folder stays).
    std::string AreaMessage;
    // Complete only when both messages are empty.
    StartRequest Request;

    bool Accepted() const { return PathMessage.empty() && AreaMessage.empty(); }
    // The one message Start shows, "" when the input is accepted.
    const std::string& FirstMessage() const { return PathMessage.empty() ? AreaMessage : PathMessage; }
};

// Start's checks in Start's order: zoom text, map type, save path, task
// name, coordinates, then their ranges and the zoom's. A zoom text that is no
// integer raises platform::Exception ("'<text>' is not a valid integer
// value"), a map type index out of range std::out_of_range, before any
// message, as reading the controls does.
StartCheck CheckStartInput(const StartInput& input);

} // namespace kartivo::ui
