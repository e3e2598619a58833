#pragma once
// The download task: TaskParameters (what the user asked for and the proxy
// settings in force at Start) and KvTask (tile range, tile size, file names,
// tile folder, resume positions, tile addresses and the record-file writers).
// The share rule and sequence numbers that divide the tiles among workers
// live here too, as plain functions of the task.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace kartivo::platform {
class TextFileWriter;
}

namespace kartivo::task {

struct TaskParameters {
    double LeftLongitude = 0;
    double RightLongitude = 0;
    double TopLatitude = 0;
    double BottomLatitude = 0;
    int Zoom = 13;
    int ThreadCount = 8;
    int ThreadSlots = 8;
    int MapsType = 6;
    std::string SavePath; // always ends in the path separator
    std::string TaskName; // always ends in ".kvpd"
    bool UseProxy = false;
    std::string ProxyServer;
    std::string ProxyPort;
    std::string ProxyUsername;
    std::string ProxyPassword;
    bool ContinueTask = false;
};

inline constexpr int kThreadSlots = 8;
// The task base name: the task name without its extension, the extension
// being everything from the last dot on ("a.b.kvpd" gives "a.b"). It names
// the log, the lists and the tile folder.
std::string TaskBaseName(const std::string& taskName);
// Shown when an area has more tiles than one task can number.
extern const char* const kTooManyTilesMessage;

class KvTask;

// A task, or why none could be made: Task is null exactly when Error holds
// the sentence for the user. Nothing is shown; the caller decides how.
struct TaskOrError {
    std::unique_ptr<KvTask> Task;
    std::string Error;
};

class KvTask {
public:
    // Builds the task from its own copy of `params`, creating its tile
    // folder and reading the resume positions of a continued task. Refused:
    // a request outside the limits of CheckRequest (its sentence), a tile
    // count over 2,147,483,647 (kTooManyTilesMessage), both before anything
    // is made, and a tile folder that cannot be created ("Create directory
    // <folder> Failed.").
    static TaskOrError Create(TaskParameters params);
    // The same task without touching the disk beyond reading the resume
    // positions of a continued task: no folder is made.
    static TaskOrError Describe(TaskParameters params);

    int TileWidth = 256;
    int TileHeight = 256;
    int ResumeX[kThreadSlots] = {};
    int ResumeY[kThreadSlots] = {};
    // The task's own parameters. ThreadCount is never more than TileCount:
    // a task of fewer tiles than workers runs as many workers as tiles.
    TaskParameters Params;
    int Xmin = 0, Ymin = 0, Xmax = 0, Ymax = 0;
    double West = 0, East = 0, North = 0, South = 0;
    int TileCount = 0;
    std::string LogFile;
    std::string FailedFile;
    std::string ListFile;
    std::string TileFolder; // ends in the path separator

    std::string ProjectFile() const; // SavePath + TaskName

    std::string GetTileUrl(int x, int y) const;
    std::string GetTileFileName(int x, int y) const;
    std::string GetTileFilePath(int x, int y) const;
    std::string GetTileExt() const;
    // The blank reference image beside the program for this task's tiles:
    // blankimg/blank<TileHeight>.<ext>.
    std::string BlankImageFile() const;

    // Told the number of tile lines written so far, every few thousand lines
    // and from the tile list writer's own thread; returning false abandons
    // the list.
    using TileListProgress = std::function<bool(std::int64_t linesWritten)>;

    // Record files; each raises platform::EFCreateError / EFOpenError.
    // Files written whole go through a temporary file and are on disk when
    // the call returns; the log and the failed list of a continued task are
    // only appended to. A continued task whose tile list, log or failed list
    // is missing or cut short gets it made again (the list anew, the log
    // with its header, an empty failed list).
    void WriteProjectFile() const;
    // The list goes to a temporary file beside ListFile that is renamed over
    // it when complete: a list that is abandoned or cannot be written is
    // removed, and the list there before stays as it was. Returns false when
    // `progress` abandoned it. A continued task keeps its list (true).
    bool WriteTileList(const TileListProgress& progress = {}) const;
    // The size in bytes of the list WriteTileList writes, worked out without
    // writing it.
    std::uint64_t TileListBytes() const;
    void WriteLogHeader() const;
    void ResetFailedList() const;
    // Whether the tile list is there whole: its size is what WriteTileList
    // writes (TileListBytes, worked out without writing it).
    bool TileListComplete() const;

    // 1-based position of (x, y) in the scan (columns outer, rows inner).
    std::int64_t SequenceNumber(int x, int y) const;
    // Tiles the worker with this index passes over when resuming (0: none).
    std::int64_t SkipCount(int workerIndex) const;
    // Share rule: does the tile with sequence number `seq` belong to the worker?
    static bool BelongsToWorker(std::int64_t seq, int workerIndex, int threadCount)
    {
        return seq % threadCount == workerIndex;
    }
    // How many of the sequence numbers 1..seq the share rule gives the worker.
    static std::int64_t WorkerTilesUpTo(std::int64_t seq, int workerIndex, int threadCount);
    // The tiles this task's workers pass over by their resume positions and
    // would have taken: done by an earlier run.
    std::int64_t TilesDoneBefore() const;

private:
    KvTask() = default;
    // The header and every tile's line; false when `progress` abandoned them.
    bool WriteTileLines(platform::TextFileWriter& out, const TileListProgress& progress) const;
};

// One line of a failed-tiles list: tile path "|" URL, split at the first "|".
// A line without "|" gives an empty path and the whole line as URL.
struct FailedEntry {
    std::string Path;
    std::string Url;
};
FailedEntry SplitFailedLine(const std::string& line);
std::string JoinFailedLine(const std::string& path, const std::string& url);

} // namespace kartivo::task
