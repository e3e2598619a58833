// BackgroundJob: the result and every posted call arrive on the main thread
// in order; the owner going stops the work and waits for it, but never past
// the bound, after which the work is left behind and nothing it sends runs.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/qt/BackgroundJob.h"

namespace kartivo::platform::qt {

namespace {

using namespace std::chrono_literals;

// Runs the event loop until `condition` holds (a minute at most).
bool PumpUntil(const std::function<bool()>& condition)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > 60000)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

// A gate the test opens; the work waits at it.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    void Open()
    {
        {
            std::lock_guard<std::mutex> lock(m);
            open = true;
        }
        cv.notify_all();
    }
    void Wait()
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return open; });
    }
};

TEST(BackgroundJob, ResultAndPostedCallsArriveOnTheMainThreadInOrder)
{
    BackgroundJob job;
    std::vector<std::string> seen;
    bool postedOnMain = true;
    std::thread::id workThread;
    job.Start<int>(
        [&workThread, post = job.MainThread(), &seen, &postedOnMain](std::stop_token) {
            workThread = std::this_thread::get_id();
            for (int i = 0; i < 3; ++i)
                post([&seen, &postedOnMain, i] {
                    postedOnMain = postedOnMain && QThread::currentThread() == qApp->thread();
                    seen.push_back("step " + std::to_string(i));
                });
            return 42;
        },
        [&](int result) {
            EXPECT_EQ(QThread::currentThread(), qApp->thread());
            seen.push_back("done " + std::to_string(result));
        },
        [&](const std::string& error) { ADD_FAILURE() << error; });
    EXPECT_TRUE(job.Running());
    ASSERT_TRUE(PumpUntil([&] { return !job.Running(); }));
    EXPECT_EQ(seen, (std::vector<std::string>{"step 0", "step 1", "step 2", "done 42"}));
    EXPECT_TRUE(postedOnMain);
    EXPECT_NE(workThread, std::this_thread::get_id());

    // A job that has ended starts again; an exception reaches `failed`.
    std::string failure;
    job.Start<int>([](std::stop_token) -> int { throw std::runtime_error("disk full"); },
                   [&](int) { ADD_FAILURE() << "done after an exception"; },
                   [&](const std::string& error) { failure = error; });
    ASSERT_TRUE(PumpUntil([&] { return !job.Running(); }));
    EXPECT_EQ(failure, "disk full");
}

// The owner going sets the stop token (its callbacks run) and waits for the
// work to end; what the work then delivers is dropped with the owner.
TEST(BackgroundJob, GoingRequestsStopAndWaits)
{
    auto stopSeen = std::make_shared<std::atomic<bool>>(false);
    auto ended = std::make_shared<std::atomic<bool>>(false);
    auto started = std::make_shared<Gate>();
    bool delivered = false;
    {
        BackgroundJob job;
        job.Start<int>(
            [stopSeen, ended, started](std::stop_token stop) {
                Gate wake;
                std::stop_callback onStop(stop, [&] {
                    stopSeen->store(true);
                    wake.Open();
                });
                started->Open();
                wake.Wait();
                ended->store(true);
                return 0;
            },
            [&](int) { delivered = true; }, [&](const std::string&) { delivered = true; });
        started->Wait();
    }
    EXPECT_TRUE(stopSeen->load());
    EXPECT_TRUE(ended->load());
    EXPECT_EQ(BackgroundJob::LeftBehind(), 0);
    QCoreApplication::processEvents();
    EXPECT_FALSE(delivered);
}

// Work that ignores the stop is waited for only up to the bound, then left
// behind (and counted) until it ends on its own; what it sends never runs.
TEST(BackgroundJob, WorkIgnoringTheStopIsLeftBehindAfterTheBound)
{
    auto release = std::make_shared<Gate>();
    auto started = std::make_shared<Gate>();
    bool delivered = false;
    {
        BackgroundJob job(20ms);
        job.Start<int>(
            [release, started, post = job.MainThread(), &delivered](std::stop_token) {
                started->Open();
                release->Wait();
                post([&delivered] { delivered = true; });
                return 0;
            },
            [&](int) { delivered = true; }, [&](const std::string&) { delivered = true; });
        started->Wait();
    }
    EXPECT_EQ(BackgroundJob::LeftBehind(), 1);
    release->Open();
    ASSERT_TRUE(PumpUntil([] { return BackgroundJob::LeftBehind() == 0; }));
    QCoreApplication::processEvents();
    EXPECT_FALSE(delivered);
}

// Finish waits for the work and runs its done at once, without an event loop.
TEST(BackgroundJob, FinishDeliversTheOutcomeAtOnce)
{
    BackgroundJob job;
    int result = 0;
    job.Start<int>([](std::stop_token) { return 7; }, [&](int r) { result = r; },
                   [&](const std::string& error) { ADD_FAILURE() << error; });
    EXPECT_TRUE(job.Finish(BackgroundJob::kStopWait));
    EXPECT_FALSE(job.Running());
    EXPECT_EQ(result, 7);
}

} // namespace

} // namespace kartivo::platform::qt
