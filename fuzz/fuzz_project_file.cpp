// Random project files through the INI reader and the project file's keys.
// The reader must never crash or read past its input; the keys a task reads
// must read the same from the file as from its text in memory; and a save of
// the workers' positions must read back as saved while every other key the
// task reads keeps its value, whatever the file held before.
#include "platform/IniFile.h"
#include "task/ProjectFile.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <unistd.h>

namespace kartivo::fuzz {

namespace {

// One file per process, in memory where the machine offers it: the save
// flushes the file, which must not turn every input into a disk write.
const std::string& ProjectPath()
{
    static const std::string path = [] {
        std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        pattern += "/kartivo_fuzz_XXXXXX";
        if (!::mkdtemp(pattern.data()))
            std::abort();
        return pattern + "/task.kvpd";
    }();
    return path;
}

// Every key a task reads from its project file.
struct Keys {
    std::array<std::string, 4> coordinates;
    std::optional<int> zoom, mapsType;
    std::array<int, 2 * task::kThreadSlots> positions{};
    bool operator==(const Keys&) const = default;
};

Keys KeysOf(const task::ProjectIni& project)
{
    Keys k;
    for (int i = 0; i < 4; ++i)
        k.coordinates[i] = project.CoordinateText(i);
    k.zoom = project.Zoom();
    k.mapsType = project.MapsType();
    for (int slot = 0; slot < task::kThreadSlots; ++slot) {
        k.positions[2 * slot] = project.ResumeX(slot);
        k.positions[2 * slot + 1] = project.ResumeY(slot);
    }
    return k;
}

bool WriteWhole(const std::string& path, const std::uint8_t* data, std::size_t size)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

int FuzzOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string& path = ProjectPath();
    if (!WriteWhole(path, data, size))
        std::abort();
    const task::ProjectIni before = task::ProjectIni::Read(path);
    if (before.State() != task::ProjectIni::Status::Read)
        std::abort();
    const Keys keys = KeysOf(before);

    // The file and its text in memory agree, key by key.
    const platform::TIniFile file(path);
    const platform::IniText text(std::string(reinterpret_cast<const char*>(data), size));
    for (const char* key : {"LeftLongitude", "RightLongitude", "TopLatitude", "BottomLatitude"})
        if (file.ReadString("AREA", key, "?") != text.ReadString("AREA", key, "?"))
            std::abort();
    if (file.ReadInteger("THREADS", "T3X", -7) != text.ReadInteger("THREADS", "T3X", -7))
        std::abort();

    // Saving two workers' positions changes those keys and nothing else the
    // task reads; slot 3's position of 0 keeps what the file held.
    std::array<std::optional<task::ProjectIni::Position>, task::kThreadSlots> positions{};
    positions[0] = task::ProjectIni::Position{4149, 5373};
    positions[7] = task::ProjectIni::Position{12, 0};
    positions[2] = task::ProjectIni::Position{0, 0};
    task::ProjectIni::SavePositions(path, positions);
    Keys expected = keys;
    expected.positions[0] = 4149;
    expected.positions[1] = 5373;
    expected.positions[14] = 12;
    if (KeysOf(task::ProjectIni::Read(path)) != expected)
        std::abort();
    return 0;
}

} // namespace

} // namespace kartivo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return kartivo::fuzz::FuzzOneInput(data, size);
}
