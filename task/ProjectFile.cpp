#include "task/ProjectFile.h"

#include "platform/Errors.h"
#include "platform/Formats.h"
#include "task/Unitclasstask.h"

namespace kartivo::task {

namespace {

constexpr const char* kMapsTypeSection = "MapsType";
constexpr const char* kMapsTypeKey = "MapsType";
constexpr const char* kAreaSection = "AREA";
constexpr const char* kZoomSection = "Zoom";
constexpr const char* kZoomKey = "Zoom";
constexpr const char* kThreadsSection = "THREADS";
constexpr const char* kCoordinateKeys[4] = {"LeftLongitude", "RightLongitude", "TopLatitude",
                                            "BottomLatitude"};

std::string PositionKey(int slot, char axis) { return "T" + std::to_string(slot + 1) + axis; }

std::optional<int> IntegerOf(const platform::IniText& text, const char* section, const char* key)
{
    int value = 0;
    if (!platform::ParseIniInteger(text.ReadString(section, key, ""), value))
        return std::nullopt;
    return value;
}

} // namespace

std::string NotAProjectMessage(const std::string& path) { return path + " is not a Kartivo project."; }

ProjectIni ProjectIni::Read(const std::string& path)
{
    ProjectIni project;
    switch (platform::TIniFile(path).Load(project.text_)) {
    case platform::IniLoad::Loaded: project.status_ = Status::Read; break;
    case platform::IniLoad::Missing: project.status_ = Status::Missing; break;
    case platform::IniLoad::Refused: project.status_ = Status::NotAProject; break;
    }
    return project;
}

std::string ProjectIni::CoordinateText(int index) const
{
    return text_.ReadString(kAreaSection, kCoordinateKeys[index], "");
}

std::optional<int> ProjectIni::Zoom() const { return IntegerOf(text_, kZoomSection, kZoomKey); }
std::optional<int> ProjectIni::MapsType() const { return IntegerOf(text_, kMapsTypeSection, kMapsTypeKey); }

int ProjectIni::ResumeX(int slot) const
{
    return text_.ReadInteger(kThreadsSection, PositionKey(slot, 'X'), 0);
}
int ProjectIni::ResumeY(int slot) const
{
    return text_.ReadInteger(kThreadsSection, PositionKey(slot, 'Y'), 0);
}

std::vector<std::string> ProjectIni::NewFileLines(const KvTask& task)
{
    using platform::FormatF;
    using platform::FormatG;
    const TaskParameters& p = task.Params;
    std::vector<std::string> lines = {
        std::string("[") + kMapsTypeSection + "]",
        std::string(kMapsTypeKey) + "=" + std::to_string(p.MapsType),
        "",
        std::string("[") + kAreaSection + "]",
        std::string(kCoordinateKeys[0]) + "=" + FormatG(p.LeftLongitude),
        std::string(kCoordinateKeys[1]) + "=" + FormatG(p.RightLongitude),
        std::string(kCoordinateKeys[2]) + "=" + FormatG(p.TopLatitude),
        std::string(kCoordinateKeys[3]) + "=" + FormatG(p.BottomLatitude),
        "",
        "Left_Longitude_download=" + FormatF(task.West),
        "Right_Longitude_download=" + FormatF(task.East),
        "Top_Latitude_download=" + FormatF(task.North),
        "Bottom_Latitude_download=" + FormatF(task.South),
        "",
        std::string("[") + kZoomSection + "]",
        std::string(kZoomKey) + "=" + std::to_string(p.Zoom),
        "",
        "[XY]",
        "MinX=" + std::to_string(task.Xmin),
        "MinY=" + std::to_string(task.Ymin),
        "MaxX=" + std::to_string(task.Xmax),
        "MaxY=" + std::to_string(task.Ymax),
        "",
        std::string("[") + kThreadsSection + "]",
        "ThreadCount=" + std::to_string(p.ThreadCount),
    };
    // Every slot gets its pair, whatever ThreadCount is; the saves of the
    // positions fill them in later.
    for (int slot = 0; slot < kThreadSlots; ++slot) {
        lines.push_back(PositionKey(slot, 'X') + "=");
        lines.push_back(PositionKey(slot, 'Y') + "=");
    }
    lines.push_back("");
    return lines;
}

void ProjectIni::SavePositions(const std::string& path,
                               const std::array<std::optional<Position>, kThreadSlots>& positions)
{
    platform::TIniFile file(path);
    platform::IniText text;
    if (file.Load(text) == platform::IniLoad::Refused)
        throw platform::EIniFileException(path);
    bool changed = false;
    for (int slot = 0; slot < kThreadSlots; ++slot) {
        const auto& position = positions[static_cast<std::size_t>(slot)];
        if (!position)
            continue;
        if (position->X > 0) {
            text.WriteInteger(kThreadsSection, PositionKey(slot, 'X'), position->X);
            changed = true;
        }
        if (position->Y > 0) {
            text.WriteInteger(kThreadsSection, PositionKey(slot, 'Y'), position->Y);
            changed = true;
        }
    }
    if (changed)
        file.Store(text);
}

} // namespace kartivo::task
