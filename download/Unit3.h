#pragma once
// TDownThread: one download worker. It walks the task's whole tile range,
// takes the tiles of its share, fetches each with its own TIdHTTP, stores it,
// and classifies failures by substrings of their text (retry, blank
// substitute, failure record, or stop). Log lines, failure records and its
// finish reach the main window through Synchronize and IWorkerHost.
//
// Life of a worker: created and started by the main window -> stagger pause
// -> scan (one tile at a time, stop flag read before each) -> " Finished."
// logged -> ThreadDone -> released by the main window after the count hits 0.
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/Threads.h"

class KvTask;
class TIdHTTP;

// What a worker needs of the main window; called on the main thread only.
class IWorkerHost {
public:
    virtual ~IWorkerHost() = default;
    virtual void AddLogLine(const std::string& line) = 0;      // Memo1
    virtual void AddFailedLine(const std::string& line) = 0;   // Memo2
    virtual void WorkerDone() = 0;                             // running count - 1
};

class TDownThread : public platform::TThread {
public:
    // Starts at once unless createSuspended (then the creator calls Start()).
    TDownThread(bool createSuspended, int threadIndex, const KvTask& task, IWorkerHost& host);
    ~TDownThread() override;

    const KvTask& Task;
    const int ThreadIndex;

    // Last finished tile, published as one consistent pair; (0, 0) until then.
    int CurrentX() const { return CurrentPosition().first; }
    int CurrentY() const { return CurrentPosition().second; }
    std::pair<int, int> CurrentPosition() const;

protected:
    void Execute() override;

private:
    void AddToLog();
    void AddToFailedList();
    void ThreadDone();
    void Log(const std::string& line);
    void RecordFailure(int x, int y, const std::string& url);
    void SetCurrent(int x, int y);

    IWorkerHost& host_;
    std::string StatusText;
    std::atomic<std::uint64_t> current_{0};
};
