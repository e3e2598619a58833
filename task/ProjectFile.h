#pragma once
// The project file (<task>.kvpd): the one home of its sections, keys and
// their defaults, of the text a new task writes, and of the save of the
// workers' resume positions. Every reader (task setup, Start's continue
// test, Open task, SavedProject) reads the file once through ProjectIni,
// and every save of positions is one replacement of the file, so a crash
// never leaves one worker's new column with its old row.
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "platform/IniFile.h"
#include "task/Unitclasstask.h"

namespace kartivo::task {

// The message for a file that is no project (far too large, a named pipe).
std::string NotAProjectMessage(const std::string& path); // "<path> is not a Kartivo project."

class ProjectIni {
public:
    enum class Status {
        Read,       // the file's keys are available
        Missing,    // no such file: every key is absent
        NotAProject // not a regular file or far larger than any project: not read
    };

    // Reads the file once, bounded and without blocking.
    static ProjectIni Read(const std::string& path);

    Status State() const { return status_; }

    // The four area coordinates as the file holds them ("" when absent), in
    // the order left, right, top, bottom.
    std::string CoordinateText(int index) const;
    // Absent or not an integer: nothing; each caller decides what that means.
    std::optional<int> Zoom() const;
    std::optional<int> MapsType() const;
    // The saved resume position of a worker slot (0-based); 0 when absent.
    int ResumeX(int slot) const;
    int ResumeY(int slot) const;

    // The whole text of a new task's project file.
    static std::vector<std::string> NewFileLines(const KvTask& task);

    // A worker slot's last finished tile; 0 for "none finished": that key
    // keeps the value saved earlier.
    struct Position {
        int X = 0;
        int Y = 0;
    };
    // Writes every slot's position into the file at `path` in one
    // replacement, every other byte of it kept. Throws
    // platform::EIniFileException when the file cannot be read or replaced
    // (then it stays as it was).
    static void SavePositions(const std::string& path,
                              const std::array<std::optional<Position>, kThreadSlots>& positions);

private:
    Status status_ = Status::Missing;
    platform::IniText text_;
};

} // namespace kartivo::task
