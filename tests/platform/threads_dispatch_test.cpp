// The sleep hook, the dispatcher registry and the queue dispatcher that
// tests and headless code pump on their main thread.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Threads.h"

namespace kartivo::platform {

namespace {

TEST(SleepMs, GoesThroughTheHookWhileOneIsInstalled)
{
    std::vector<int> asked;
    SetSleepHook([&](int ms) { asked.push_back(ms); });
    SleepMs(500);
    SleepMs(8000); // would take 8 s without the hook
    SleepMs(0);
    SetSleepHook(nullptr);
    EXPECT_EQ(asked, (std::vector<int>{500, 8000, 0}));
    SleepMs(0); // no hook: sleeps for real, returns
    EXPECT_EQ(asked.size(), 3u);
}

TEST(MainDispatcher, RegistryHoldsTheInstalledDispatcherAndForgetsItOnDestruction)
{
    EXPECT_EQ(MainDispatcher(), nullptr);
    {
        QueueDispatcher dispatcher;
        SetMainDispatcher(&dispatcher);
        EXPECT_EQ(MainDispatcher(), &dispatcher);
    }
    EXPECT_EQ(MainDispatcher(), nullptr);
}

TEST(QueueDispatcher, CallFromTheMainThreadRunsAtOnce)
{
    QueueDispatcher dispatcher;
    int ran = 0;
    dispatcher.RunOnMain([&] { ++ran; });
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(dispatcher.Pump(), 0u);
}

TEST(QueueDispatcher, CallFromAnotherThreadRunsOnTheMainThreadAndBlocksTheCaller)
{
    QueueDispatcher dispatcher;
    const auto mainId = std::this_thread::get_id();
    std::thread::id ranOn;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        dispatcher.RunOnMain([&] { ranOn = std::this_thread::get_id(); });
        returned = true;
    });
    // Nothing runs until the main thread pumps, so the caller is still waiting.
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_EQ(ranOn, mainId);
}

TEST(QueueDispatcher, CallsFromManyThreadsAllRunInOnePumpingThread)
{
    QueueDispatcher dispatcher;
    int total = 0; // touched by the main thread only
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < 8; ++i)
        workers.emplace_back([&] {
            for (int k = 0; k < 50; ++k)
                dispatcher.RunOnMain([&] { ++total; });
            ++finished;
        });
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return finished.load() == 8; }));
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(total, 400);
}

TEST(QueueDispatcher, ExceptionOfTheCallReachesTheCaller)
{
    QueueDispatcher dispatcher;
    std::atomic<bool> caught{false};
    std::thread worker([&] {
        try {
            dispatcher.RunOnMain([] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error& e) {
            caught = std::string(e.what()) == "boom";
        }
    });
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return caught.load(); }));
    worker.join();
}

TEST(QueueDispatcher, ShutdownReleasesWaitingCallersWithoutRunningTheirCalls)
{
    QueueDispatcher dispatcher;
    std::atomic<int> ran{0};
    std::vector<std::thread> workers;
    // Nobody pumps: each caller either waits in the queue or arrives after
    // the shutdown; both must return without their call having run.
    for (int i = 0; i < 3; ++i)
        workers.emplace_back([&] { dispatcher.RunOnMain([&] { ++ran; }); });
    dispatcher.Shutdown();
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(dispatcher.Pump(), 0u);
}

TEST(QueueDispatcher, ShutdownWaitsForACallAlreadyRunning)
{
    QueueDispatcher dispatcher;
    bool finishedBody = false;
    bool sawFinishedBody = false;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        dispatcher.RunOnMain([&] {
            dispatcher.Shutdown(); // while this very call runs
            finishedBody = true;
        });
        sawFinishedBody = finishedBody;
        returned = true;
    });
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_TRUE(sawFinishedBody);
}

} // namespace

} // namespace kartivo::platform
