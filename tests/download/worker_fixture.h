#pragma once
// Shared harness of the worker tests: a temporary program folder with its
// own blank images, a task whose tile range the test chooses, the scriptable
// test server as the workers' proxy, a recording sleep hook, a host that
// keeps the log and failure lines and the tiles' outcomes, and a queue
// dispatcher that the test's
// main thread pumps until every worker has counted itself out.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "download/Unit3.h"
#include "platform/Threads.h"
#include "task/Unitclasstask.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestServer.h"

namespace kartivo::testing {

// Lives on the test's main thread; every call must arrive there.
class FakeHost : public download::IWorkerHost {
public:
    FakeHost() : mainThread_(std::this_thread::get_id()) {}
    void AddLogLine(const std::string& line) override
    {
        Check();
        if (BeforeLog)
            BeforeLog(line); // may throw, as a failing window would
        Log.push_back(line);
        Events.push_back({Event::LogLine, line, {}});
    }
    void AddFailedLine(const std::string& line) override
    {
        Check();
        Failed.push_back(line);
        Events.push_back({Event::FailedLine, line, {}});
    }
    void TileEnded(const download::TileReport& report) override
    {
        Check();
        Events.push_back({Event::TileEnd, {}, report});
    }
    void WorkerDone() override
    {
        Check();
        ++Done;
    }
    void TileNotSaved(const download::TileWriteFailure& failure) override
    {
        Check();
        NotSaved.push_back(failure);
    }

    // Every call that carries a line or an outcome, in the order of arrival.
    struct Event {
        enum Kind { LogLine, FailedLine, TileEnd } What;
        std::string Line;
        download::TileReport Report;
    };

    std::function<void(const std::string& line)> BeforeLog; // runs on the main thread
    std::vector<std::string> Log;
    std::vector<Event> Events;
    std::vector<download::TileWriteFailure> NotSaved;
    std::vector<std::string> Failed;
    int Done = 0;
    int OffMainThreadCalls = 0;

private:
    void Check()
    {
        if (std::this_thread::get_id() != mainThread_)
            ++OffMainThreadCalls;
    }
    std::thread::id mainThread_;
};

// Every pause requested through platform::SleepMs, per calling thread, in order.
class SleepRecorder {
public:
    void Record(int ms);
    std::vector<std::vector<int>> PerThread() const; // in order of first pause
    std::vector<int> All() const;
    // Runs once, on the pausing thread, when a pause of `ms` is requested.
    void OnPause(int ms, std::function<void()> action);

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::thread::id, std::vector<int>>> byThread_;
    std::vector<int> all_;
    std::map<int, std::function<void()>> actions_;
};

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A task of map type `mapsType` whose range is columns x0..x1, rows y0..y1.
    task::KvTask& MakeTask(int x0, int x1, int y0, int y1, int mapsType = 5);
    // Per-tile scripts: replies used in order; afterwards the tile is served OK.
    void Script(int x, int y, std::vector<ScriptedReply> replies);
    // Called on the server thread before each tile request is answered.
    void OnRequest(std::function<void(int x, int y, int nth)> fn);

    // Starts workers with the given indexes (all of ThreadCount by default)
    // and pumps until each has finished; then checks the finish invariants.
    void RunWorkers(std::vector<int> indexes = {});
    download::TDownThread& Worker(int index);

    std::string TileBody(int x, int y) const { return "tile " + std::to_string(x) + "-" + std::to_string(y); }
    std::string Url(int x, int y) const { return task_->GetTileUrl(x, y); }
    std::string Path(int x, int y) const { return task_->GetTileFilePath(x, y); }
    std::string Name(int x, int y) const { return task_->GetTileFileName(x, y); }
    int Requests(int x, int y) const;
    std::size_t TotalRequests() const { return server_->RequestCount(); }
    // Log lines of one worker ("T<n>..."), in order.
    std::vector<std::string> LinesOf(int index) const;
    // Sequence numbers that the worker logged as saved.
    std::vector<long long> SavedSeqs(int index) const;
    // The outcomes reported so far, in order.
    std::vector<download::TileReport> Outcomes() const;
    // Each line that ends a tile comes with its outcome, and only such lines
    // do: what the log tells of every tile and what the progress counts agree.
    void ExpectOutcomesMatchLines() const;

    static std::string ReadFile(const std::string& path);
    static void WriteFile(const std::string& path, const std::string& bytes);
    static bool Exists(const std::string& path);

    std::unique_ptr<TempFolder> temp_;
    std::string root_;          // folder of the test's files, inside temp_
    std::string programFolder_; // holds blankimg/
    std::unique_ptr<TestServer> server_;
    std::unique_ptr<task::KvTask> task_;
    FakeHost host_;
    SleepRecorder sleeps_;
    std::unique_ptr<platform::QueueDispatcher> dispatcher_;
    std::map<int, std::unique_ptr<download::TDownThread>> workers_;

private:
    ScriptedReply Answer(const RecordedRequest& r);
    mutable std::mutex scriptMutex_;
    std::map<std::string, std::pair<int, int>> tileOfUrl_;
    std::map<std::pair<int, int>, std::deque<ScriptedReply>> scripts_;
    std::map<std::pair<int, int>, int> requests_;
    std::function<void(int, int, int)> onRequest_;
};

// The contents of the test's blank images, told apart by name.
inline const char* kBlankPng = "BLANK 256 PNG";
inline const char* kBlankJpg = "BLANK 256 JPG";
inline const char* kBlank180 = "BLANK 180 JPG";

} // namespace kartivo::testing
