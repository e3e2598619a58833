// TThread: runs Execute on its own thread, stop flag, Synchronize through
// the installed dispatcher (or directly without one), idempotent joins.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>

#include "platform/Threads.h"

namespace kartivo::platform {

namespace {

class LambdaThread : public TThread {
public:
    explicit LambdaThread(std::function<void(LambdaThread&)> body) : body_(std::move(body)) {}
    ~LambdaThread() override { WaitFor(); }
    using TThread::Synchronize;

protected:
    void Execute() override { body_(*this); }

private:
    std::function<void(LambdaThread&)> body_;
};

TEST(TThread, ExecuteRunsOnItsOwnThreadOnlyAfterStart)
{
    std::atomic<bool> ran{false};
    std::thread::id ranOn;
    LambdaThread t([&](LambdaThread&) {
        ranOn = std::this_thread::get_id();
        ran = true;
    });
    EXPECT_FALSE(ran.load());
    EXPECT_FALSE(t.Finished());
    t.Start();
    t.Start(); // a second start is ignored
    t.WaitFor();
    t.WaitFor(); // and so is a second wait
    EXPECT_TRUE(ran.load());
    EXPECT_TRUE(t.Finished());
    EXPECT_NE(ranOn, std::this_thread::get_id());
}

TEST(TThread, TerminateIsSeenByTheRunningThread)
{
    std::atomic<bool> started{false};
    int rounds = 0;
    LambdaThread t([&](LambdaThread& self) {
        started = true;
        while (!self.Terminated())
            ++rounds, std::this_thread::yield();
    });
    t.Start();
    while (!started.load())
        std::this_thread::yield();
    EXPECT_FALSE(t.Terminated());
    t.Terminate();
    t.WaitFor();
    EXPECT_TRUE(t.Terminated());
    EXPECT_TRUE(t.Finished());
}

TEST(TThread, DestructorJoinsAndNeverStartedThreadIsHarmless)
{
    std::atomic<bool> ran{false};
    {
        LambdaThread t([&](LambdaThread&) { ran = true; });
        t.Start();
    }
    EXPECT_TRUE(ran.load());
    LambdaThread idle([](LambdaThread&) {});
    idle.WaitFor();
    EXPECT_FALSE(idle.Finished());
}

TEST(TThread, SynchronizeRunsOnTheMainThreadThroughTheDispatcher)
{
    QueueDispatcher dispatcher;
    SetMainDispatcher(&dispatcher);
    const auto mainId = std::this_thread::get_id();
    int onMain = 0; // main-thread data, touched only inside Synchronize
    LambdaThread t([&](LambdaThread& self) {
        for (int i = 0; i < 10; ++i)
            self.Synchronize([&] {
                if (std::this_thread::get_id() == mainId)
                    ++onMain;
            });
    });
    t.Start();
    ASSERT_TRUE(dispatcher.PumpUntil([&] { return t.Finished(); }));
    t.WaitFor();
    SetMainDispatcher(nullptr);
    EXPECT_EQ(onMain, 10);
}

TEST(TThread, SynchronizeWithoutDispatcherRunsInPlace)
{
    ASSERT_EQ(MainDispatcher(), nullptr);
    std::thread::id ranOn;
    std::thread::id threadId;
    LambdaThread t([&](LambdaThread& self) {
        threadId = std::this_thread::get_id();
        self.Synchronize([&] { ranOn = std::this_thread::get_id(); });
    });
    t.Start();
    t.WaitFor();
    EXPECT_EQ(ranOn, threadId);
}

TEST(TThread, ExceptionInExecuteEndsTheThreadQuietly)
{
    LambdaThread t([](LambdaThread&) { throw 42; });
    t.Start();
    t.WaitFor();
    EXPECT_TRUE(t.Finished());
}

// What ended the thread stays readable: the exception itself and its text,
// for a standard exception and for anything else thrown; a thread that
// returned has none.
TEST(TThread, ExceptionThatEndsExecuteIsKeptForTheOwner)
{
    LambdaThread failing([](LambdaThread&) { throw std::runtime_error("tile folder gone"); });
    failing.Start();
    failing.WaitFor();
    EXPECT_TRUE(failing.Finished());
    ASSERT_TRUE(failing.FatalException());
    EXPECT_THROW(std::rethrow_exception(failing.FatalException()), std::runtime_error);
    EXPECT_EQ(failing.FatalExceptionText(), "tile folder gone");

    LambdaThread odd([](LambdaThread&) { throw 42; });
    odd.Start();
    odd.WaitFor();
    EXPECT_EQ(odd.FatalExceptionText(), "unknown exception");

    LambdaThread fine([](LambdaThread&) {});
    fine.Start();
    fine.WaitFor();
    EXPECT_FALSE(fine.FatalException());
    EXPECT_EQ(fine.FatalExceptionText(), "");
}

TEST(TThread, WaitForFromTwoThreadsAtOnce)
{
    std::atomic<bool> release{false};
    LambdaThread t([&](LambdaThread&) {
        while (!release.load())
            std::this_thread::yield();
    });
    t.Start();
    std::thread other([&] { t.WaitFor(); });
    release = true;
    t.WaitFor();
    other.join();
    EXPECT_TRUE(t.Finished());
}

} // namespace

} // namespace kartivo::platform
