#pragma once
// A saved project opened for reading, as the viewer and the combiner need it:
// the request read back from the project file, the task derived from it by
// the same code as Start (tile range, tile size, file names), and what each
// tile of it became on disk. Nothing is created, written or shown.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "task/Unitclasstask.h"

namespace kartivo::task {

// What a tile of a task is on disk.
enum class TileState {
    Saved,   // an image file that is not the blank substitute
    Blank,   // the blank reference image, copied in for a tile the server refused
    Missing, // no file (or an empty one), and not in the failed list
    Failed,  // no file (or an empty one), and named in the failed list
};
const char* TileStateName(TileState state); // "saved", "blank", "missing", "failed"

class SavedProject {
public:
    // Reads `projectPath` (a .kvpd file). On failure returns nullptr with one
    // sentence in `error` that names the file: missing or unreadable, not a
    // project, an unknown map type, or a request no task can be made of.
    // The folder that holds the project file is taken as the save folder, so
    // a project moved with its tiles opens where it now is.
    static std::unique_ptr<SavedProject> Open(const std::string& projectPath, std::string& error);

    SavedProject(const SavedProject&) = delete;
    SavedProject& operator=(const SavedProject&) = delete;

    const TaskParameters& Params() const { return task_->Params; }
    const KvTask& Task() const { return *task_; }
    // The texts of the four coordinates exactly as the file holds them.
    const std::string& CoordinateText(int index) const { return coordinateTexts_[index]; }

    // The file names (without folder) of the tiles in the failed list, read
    // when the project is opened; an absent list names none.
    const std::unordered_set<std::string>& FailedTileNames() const { return failedNames_; }

    // The blank reference image a worker copies in for this task's tiles.
    const std::string& BlankImageFile() const { return blankFile_; }

    // Looks at the tile's file: a size test, and a byte comparison with the
    // blank image only when the sizes agree. Safe from any thread.
    TileState StateOfTile(int x, int y) const;
    // The same from the bytes of a tile already read (empty: no file).
    TileState StateOfBytes(const std::string& fileName, const std::string& bytes) const;

private:
    SavedProject() = default;

    std::unique_ptr<KvTask> task_;   // holds the request read back
    std::string coordinateTexts_[4]; // left, right, top, bottom
    std::unordered_set<std::string> failedNames_;
    std::string blankFile_;
    std::string blankBytes_;
};

// No real tile comes near this size; a larger file is not read.
inline constexpr std::size_t kMaxTileFileBytes = 4 << 20;

// The whole content of a regular file of at most maxBytes; false (bytes
// empty) when it is missing, larger, not a regular file or unreadable.
bool ReadWholeFile(const std::string& path, std::string& bytes, std::size_t maxBytes = kMaxTileFileBytes);

} // namespace kartivo::task
