#pragma once
// TDownThread: one download worker. It walks the task's whole tile range,
// takes the tiles of its share, fetches each with its own TIdHTTP, stores it,
// and classifies failures by substrings of their text (download/Failures.h;
// retry, blank substitute, failure record, or stop). Log lines, failure
// records and its finish reach the main window through Synchronize and
// IWorkerHost.
//
// Life of a worker: created and started by the main window -> stagger pause
// -> scan (one tile at a time, stop flag read before each) -> " Finished."
// logged -> ThreadDone -> released by the main window after the count hits 0.
//
// Where a tile could otherwise hang or a worker never finish:
// - Connection resets ("10054", "Connection Closed Gracefully") and an
//   address in use ("10048") are retried, but a stop request is honoured
//   between those retries (the tile then ends without recording its
//   position, so a resumed task asks for it again), and after 10 such
//   retries in a row the tile is given up like any other failure: failure
//   line, failure record, blank substitute.
// - A proxy that refuses the credentials (407, or 401, while a proxy is in
//   use) is handled like a lasting network failure, with its own message:
//   giving every tile a blank and recording it as done would turn the whole
//   task into blanks that a continued task never asks for again.
// - A proxy port that is not a decimal port number: one log line naming it,
//   then " Finished." and ThreadDone, exactly once, like every other end.
// - Whatever goes wrong inside the scan, the finish still runs once, after a
//   log line that says what it was (WorkerErrorLine); when the log itself
//   fails, the worker writes what happened to standard error instead.
// - The position is published as one 64-bit value, so the timer never sees
//   the column of one tile with the row of another.
// - Every request starts from an empty buffer; the tile file is written to a
//   temporary name and renamed; a blank substitute never replaces a file.
// - A tile that cannot be written (a full disk) is logged " NULL", reported
//   to the host as a TileWriteFailure, and the worker stops there: its
//   position never passes a tile that is not on disk.
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "download/Failures.h" // the fixed texts of the worker's log
#include "platform/Threads.h"

namespace kartivo::task {
class KvTask;
}

namespace kartivo::download {

class TIdHTTP;

// A tile whose bytes arrived but could not be written (a full disk, an I/O
// error). It never counts as done: the worker that met it stops with its
// saved position before the tile, so a continued task asks for it again.
struct TileWriteFailure {
    std::string Path; // the tile's file
    int Error = 0;    // errno of the failed step (ENOSPC: the disk is full)
    // What the user is told, e.g. "The disk is full: <folder>. Free some
    // space, then press Start to continue the task."
    std::string Message() const;
};

// What became of one tile a worker took.
enum class TileOutcome {
    Saved,    // stored as received (logged " OK")
    Blank,    // not on the server: the blank substitute stands in for it
    Failed,   // given up: in the failed list, blank substitute on disk
    NotSaved, // received but not written (logged " NULL"); the worker stops
    Stopped,  // the worker stopped at it (a ban, a lasting network or proxy
              // failure, a stop request between retries); not done
};

// A tile's outcome, reported in the same main-thread call as the log line
// that tells it (a tile stopped between retries has no line of its own).
struct TileReport {
    int X = 0;
    int Y = 0;
    TileOutcome Outcome = TileOutcome::Saved;
};

// What a worker needs of the main window; called on the main thread only.
class IWorkerHost {
public:
    virtual ~IWorkerHost() = default;
    virtual void AddLogLine(const std::string& line) = 0;    // Memo1
    virtual void AddFailedLine(const std::string& line) = 0; // Memo2
    virtual void WorkerDone() = 0;                           // running count - 1
    // The worker stops after this; a host that does not care ignores it.
    virtual void TileNotSaved(const TileWriteFailure& /*failure*/) {}
    // Right after the AddLogLine of the line that ends the tile, if any.
    virtual void TileEnded(const TileReport& /*report*/) {}
};

// The log line of a worker whose scan ended by an unexpected error (an
// exception: no memory, a failing window), before its " Finished.":
// "T<n> stopped by an error: <what>".
std::string WorkerErrorLine(int threadIndex, const std::string& what);

// final: the thread starts in the constructor, so a derived class's members
// would not exist yet while Execute already runs.
//
// A worker pauses this long after every tile it saves, so no worker saves
// more than 1000 / kPauseAfterSavedMs tiles a second, however fast the server.
inline constexpr int kPauseAfterSavedMs = 500;
// The most tiles a second that `workers` workers together can save: the
// bound that tells how long a task takes at best.
constexpr double MaxTilesPerSecond(int workers) { return workers * 1000.0 / kPauseAfterSavedMs; }

class TDownThread final : public platform::TThread {
public:
    // Starts at once unless createSuspended (then the creator calls Start()).
    TDownThread(bool createSuspended, int threadIndex, const task::KvTask& task, IWorkerHost& host);
    ~TDownThread() override;

    const task::KvTask& Task;
    const int ThreadIndex;

    // Last finished tile, published as one consistent pair; (0, 0) until then.
    int CurrentX() const { return CurrentPosition().first; }
    int CurrentY() const { return CurrentPosition().second; }
    std::pair<int, int> CurrentPosition() const;

    // Terminate, and the tile in flight is given up at once rather than
    // after its last byte or its time limit: its request fails, it counts
    // as stopped (asked for again on resume) and is not a failure. For an
    // owner that is going away (the window closing); any thread.
    void Abandon();

    // Consecutive retries of a reset or an address in use before the tile
    // is given up.
    static constexpr int kMaxUnboundedRetries = 10;

private:
    void Execute() override;

    enum class TileEnd { Next, StopWorker };

    void Scan();
    TileEnd DownloadTile(TIdHTTP& http, int x, int y, std::int64_t seq);
    // Blank for a tile not on the server, Failed for one given up.
    void SubstituteBlank(int x, int y, TileOutcome outcome);
    bool ConfigureProxy(TIdHTTP& http);

    void AddToLog();
    void AddToFailedList();
    void ThreadDone();
    void Log(const std::string& line);
    // The line that ends a tile, with the tile's outcome, in one call.
    void LogTileEnd(const std::string& line, int x, int y, TileOutcome outcome);
    void ReportTileEnd(int x, int y, TileOutcome outcome); // no line of its own
    void RecordFailure(int x, int y, const std::string& url);
    void SetCurrent(int x, int y);
    void ReportOutsideLog(const std::string& step, const std::exception_ptr& error) const;

    IWorkerHost& host_;
    std::string StatusText;
    TileReport tileEnd_;
    TileWriteFailure writeFailure_;
    std::string number_; // ThreadIndex + 1, as shown in every line
    std::string blankImage_;
    std::atomic<std::uint64_t> current_{0};
    std::mutex httpMutex_;
    TIdHTTP* http_ = nullptr; // the scan's client while it lives, under httpMutex_
};

} // namespace kartivo::download
