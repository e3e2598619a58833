// Real download workers through the program's own Qt dispatcher: every
// synchronized call runs on the main thread inside the Qt event loop, while a
// timer reads the workers' positions as the progress monitor does and the
// main thread may stop them. This suite is part of the ThreadSanitizer run,
// so the dispatcher, the workers and their shared state meet under it.
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "download/Unit3.h"
#include "platform/Files.h"
#include "platform/Threads.h"
#include "platform/qt/QtDispatcher.h"
#include "task/Unitclasstask.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TaskShapes.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestServer.h"

namespace kartivo::platform::qt {

namespace {

using testing::ScriptedReply;

constexpr int kWorkers = 8;

// The main window's part, as the workers see it; quits the loop when every
// worker has counted itself out.
class LoopHost : public download::IWorkerHost {
public:
    explicit LoopHost(QEventLoop& loop) : loop_(loop), main_(std::this_thread::get_id()) {}
    void AddLogLine(const std::string& line) override
    {
        Check();
        Log.push_back(line);
        if (OnLine)
            OnLine(line);
    }
    void AddFailedLine(const std::string& line) override
    {
        Check();
        Failed.push_back(line);
    }
    void WorkerDone() override
    {
        Check();
        if (++Done == kWorkers)
            loop_.quit();
    }
    int Saved() const
    {
        int n = 0;
        for (const auto& l : Log)
            n += l.size() > 3 && l.compare(l.size() - 3, 3, " OK") == 0;
        return n;
    }

    std::vector<std::string> Log, Failed;
    int Done = 0;
    int OffMainThread = 0;
    std::function<void(const std::string&)> OnLine;

private:
    void Check() { OffMainThread += std::this_thread::get_id() != main_; }
    QEventLoop& loop_;
    std::thread::id main_;
};

class QtDispatchedWorkers : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(temp.Path() + "prog/blankimg");
        std::filesystem::create_directories(temp.Path() + "save");
        testing::WriteBytes(temp.Path() + "prog/blankimg/blank256.png", "BLANK");
        platform::SetProgramFolderForTests(temp.Path() + "prog/");
        platform::SetSleepHook([](int) {}); // the pauses are not what is tested
        dispatcher = std::make_unique<QtMainDispatcher>();
        platform::SetMainDispatcher(dispatcher.get());

        params = testing::ProxiedTaskParams(temp.Path() + "save/", "job.kvpd", 5, server.Port());
        task = task::KvTask::Create(params).Task;
        ASSERT_NE(task, nullptr);
        testing::SetTileRange(*task, 4149, 4152, 5373, 5382); // 40 tiles
        task->Params.ThreadCount = kWorkers;
        // Every tile is served, except that every seventh request is reset
        // and every eleventh is not found: retries and blanks as well.
        server.SetHandler([this](const testing::RecordedRequest&) {
            const int n = ++requests;
            if (n % 7 == 0)
                return ScriptedReply::ResetConnection();
            if (n % 11 == 0)
                return ScriptedReply::Status(404, "Not Found");
            return ScriptedReply::Ok("tile");
        });
    }

    void TearDown() override
    {
        for (auto& w : workers)
            w->Terminate();
        server.Stop();
        dispatcher->Shutdown();
        workers.clear();
        platform::SetMainDispatcher(nullptr);
        dispatcher.reset();
        platform::SetSleepHook(nullptr);
        platform::SetProgramFolderForTests("");
    }

    // Starts the workers and runs the event loop until all are done, with a
    // one-millisecond timer that reads every worker's position meanwhile.
    void Run(LoopHost& host, QEventLoop& loop)
    {
        for (int i = 0; i < kWorkers; ++i)
            workers.push_back(std::make_unique<download::TDownThread>(false, i, *task, host));
        QTimer monitor;
        QObject::connect(&monitor, &QTimer::timeout, [this] {
            for (const auto& w : workers) {
                const auto [x, y] = w->CurrentPosition();
                positionsSeen += x > 0 && y > 0;
            }
        });
        monitor.start(1);
        QTimer::singleShot(60000, &loop, &QEventLoop::quit); // a hang fails, it does not block
        loop.exec();
        monitor.stop();
        for (auto& w : workers)
            w->WaitFor();
        EXPECT_EQ(host.Done, kWorkers);
        EXPECT_EQ(host.OffMainThread, 0);
        for (int i = 1; i <= kWorkers; ++i) {
            const std::string fin = "T" + std::to_string(i) + " Finished.";
            EXPECT_EQ(std::count(host.Log.begin(), host.Log.end(), fin), 1) << fin;
        }
    }

    testing::TempFolder temp;
    testing::TestServer server;
    std::atomic<int> requests{0};
    std::unique_ptr<QtMainDispatcher> dispatcher;
    task::TaskParameters params;
    std::unique_ptr<task::KvTask> task;
    std::vector<std::unique_ptr<download::TDownThread>> workers;
    long positionsSeen = 0;
};

TEST_F(QtDispatchedWorkers, EveryTileEndsAndEveryCallRunsOnTheMainThread)
{
    QEventLoop loop;
    LoopHost host(loop);
    Run(host, loop);
    int blanks = 0;
    for (const auto& l : host.Log)
        blanks += l.find(" got a blank image!") != std::string::npos;
    EXPECT_EQ(host.Saved() + blanks, 40);
    for (const auto& w : workers)
        EXPECT_NE(w->CurrentPosition(), std::make_pair(0, 0));
}

// The Stop button: the main thread sets every stop flag while the workers
// run; each ends after its current tile.
TEST_F(QtDispatchedWorkers, StopFromTheMainThreadEndsEveryWorker)
{
    QEventLoop loop;
    LoopHost host(loop);
    host.OnLine = [this, &host](const std::string&) {
        if (host.Saved() == 5)
            for (auto& w : workers)
                w->Terminate();
    };
    Run(host, loop);
    EXPECT_LT(host.Saved(), 40);
}

} // namespace

} // namespace kartivo::platform::qt
