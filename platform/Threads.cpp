#include "platform/Threads.h"

#include <algorithm>
#include <cerrno>
#include <exception>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kartivo::platform {

// ---------------------------------------------------------------- priority

void LowerThisThreadPriority()
{
    // On Linux a nice value belongs to the thread, named by its kernel id.
    const id_t tid = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, tid);
    if (errno == 0 && now < 19)
        ::setpriority(PRIO_PROCESS, tid, std::min(19, now + 5));
}

// ---------------------------------------------------------------- sleeping

namespace {
std::mutex g_sleepMutex;
SleepHook g_sleepHook;
std::atomic<IMainDispatcher*> g_dispatcher{nullptr};
} // namespace

void SleepMs(int milliseconds)
{
    SleepHook hook;
    {
        std::lock_guard<std::mutex> lock(g_sleepMutex);
        hook = g_sleepHook;
    }
    // The hook runs outside the lock: it may itself sleep (a scaled pause).
    if (hook) {
        hook(milliseconds);
        return;
    }
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SetSleepHook(SleepHook hook)
{
    std::lock_guard<std::mutex> lock(g_sleepMutex);
    g_sleepHook = std::move(hook);
}

// ------------------------------------------------------------- dispatching

void SetMainDispatcher(IMainDispatcher* dispatcher) { g_dispatcher.store(dispatcher); }
IMainDispatcher* MainDispatcher() { return g_dispatcher.load(); }

// One queued call. It lives on the stack of the waiting caller, which leaves
// only when the call is done, or when the dispatcher shut down before the
// main thread picked the call up (a running call is always waited for).
struct QueueDispatcher::Call {
    const std::function<void()>* fn;
    bool running = false;
    bool done = false;
    std::exception_ptr error{};
};

QueueDispatcher::QueueDispatcher() : mainThread_(std::this_thread::get_id()) {}

QueueDispatcher::~QueueDispatcher()
{
    IMainDispatcher* self = this;
    g_dispatcher.compare_exchange_strong(self, nullptr);
    Shutdown();
}

void QueueDispatcher::RunOnMain(const std::function<void()>& fn)
{
    if (std::this_thread::get_id() == mainThread_) {
        fn();
        return;
    }
    Call call{&fn};
    std::unique_lock<std::mutex> lock(mutex_);
    if (shutdown_)
        return;
    queue_.push_back(&call);
    cv_.notify_all();
    cv_.wait(lock, [&] { return call.done || (shutdown_ && !call.running); });
    if (!call.done) {
        // Shut down before it ran: take it out of the queue if still there.
        for (auto it = queue_.begin(); it != queue_.end(); ++it)
            if (*it == &call) {
                queue_.erase(it);
                break;
            }
        return;
    }
    if (call.error)
        std::rethrow_exception(call.error);
}

std::size_t QueueDispatcher::Pump()
{
    std::size_t count = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!queue_.empty()) {
        Call* call = queue_.front();
        queue_.pop_front();
        call->running = true;
        lock.unlock();
        try {
            (*call->fn)();
        } catch (...) {
            call->error = std::current_exception();
        }
        lock.lock();
        call->running = false;
        call->done = true;
        ++count;
        cv_.notify_all();
    }
    return count;
}

bool QueueDispatcher::PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Pump();
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
        // Wake at once for a new call; the condition itself may change
        // without any call (a thread ending), so look again every 2 ms.
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(2), [&] { return !queue_.empty(); });
    }
}

void QueueDispatcher::Shutdown()
{
    std::lock_guard<std::mutex> lock(mutex_);
    shutdown_ = true;
    cv_.notify_all();
}

// ------------------------------------------------------------------ TThread

std::string ExceptionText(const std::exception_ptr& error)
{
    if (!error)
        return std::string();
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

TThread::TThread() = default;

TThread::~TThread() { WaitFor(); }

void TThread::Start()
{
    std::lock_guard<std::mutex> lock(joinMutex_);
    if (thread_.joinable() || finished_.load())
        return; // started once already
    thread_ = std::thread([this] {
        try {
            Execute();
        } catch (...) {
            // The thread ends as a stopped one would; what ended it stays
            // readable for the owner.
            fatal_ = std::current_exception();
        }
        finished_.store(true);
    });
}

void TThread::WaitFor()
{
    std::lock_guard<std::mutex> lock(joinMutex_);
    if (!thread_.joinable())
        return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        // Waiting for oneself would never end; let the thread go instead.
        thread_.detach();
        return;
    }
    thread_.join();
}

void TThread::Synchronize(const std::function<void()>& fn)
{
    if (IMainDispatcher* dispatcher = MainDispatcher())
        dispatcher->RunOnMain(fn);
    else
        fn();
}

} // namespace kartivo::platform
