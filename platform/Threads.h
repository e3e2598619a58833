#pragma once
// Threads for the engine: TThread (started by its creator right after
// construction, atomic stop flag, Synchronize onto the main thread, joined
// on destruction), the main-thread dispatcher interface, and the one sleep
// function through which every pause goes so that tests can scale time.
//
// Life of a TThread: constructed -> Start() -> Execute() runs on its own
// thread -> Execute returns or throws (Finished) -> WaitFor()/destructor joins.
// An exception that leaves Execute ends the thread like a return, and is kept
// as FatalException for the owner to read once the thread has finished.
// A derived class must call WaitFor() in its own destructor, because its
// members are gone by the time ~TThread runs.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kartivo::platform {

// Every pause of the engine. The program sleeps the real time; tests install
// a hook that records and scales the requested durations.
void SleepMs(int milliseconds);
using SleepHook = std::function<void(int milliseconds)>;
void SetSleepHook(SleepHook hook); // empty hook: real sleeping

// Runs a function on the main thread and blocks the caller until it has run.
class IMainDispatcher {
public:
    virtual ~IMainDispatcher() = default;
    virtual void RunOnMain(const std::function<void()>& fn) = 0;
};
void SetMainDispatcher(IMainDispatcher* dispatcher);
IMainDispatcher* MainDispatcher();

// Dispatcher for tests and headless use: RunOnMain queues the call and waits;
// the main thread runs queued calls in Pump(). A call made on the main thread
// itself runs at once. After Shutdown() queued and new calls return without
// running, so that no worker stays blocked when the main thread stops pumping.
class QueueDispatcher : public IMainDispatcher {
public:
    QueueDispatcher();           // the constructing thread is the main thread
    ~QueueDispatcher() override; // shuts down; uninstalls itself if installed
    QueueDispatcher(const QueueDispatcher&) = delete;
    QueueDispatcher& operator=(const QueueDispatcher&) = delete;
    // An exception thrown by fn on the main thread is rethrown in the caller.
    void RunOnMain(const std::function<void()>& fn) override;
    std::size_t Pump(); // runs all queued calls, returns how many
    // Pumps until pred() holds or the time-out passes; returns pred().
    bool PumpUntil(const std::function<bool()>& pred,
                   std::chrono::milliseconds timeout = std::chrono::seconds(30));
    void Shutdown();

private:
    struct Call;
    std::thread::id mainThread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Call*> queue_;
    bool shutdown_ = false;
};

// Lowers the calling thread's scheduling priority a little, so that work
// done behind the scenes (decoding images) leaves the cores to a thread
// that draws the window whenever both want one. Best effort: no error.
void LowerThisThreadPriority();

// The text of an exception: what() of a std::exception, otherwise
// "unknown exception"; "" for no exception.
std::string ExceptionText(const std::exception_ptr& error);

class TThread {
public:
    TThread();
    virtual ~TThread(); // joins
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Start(); // runs Execute() on a new thread
    void Terminate() { terminated_.store(true); }
    bool Terminated() const { return terminated_.load(); }
    bool Finished() const { return finished_.load(); }
    void WaitFor(); // joins; safe to call twice, from any thread

    // The exception that ended Execute, or null when it returned. Read it
    // once Finished() holds (or after WaitFor()): the thread sets it before
    // it counts as finished and never changes it afterwards.
    std::exception_ptr FatalException() const { return fatal_; }
    std::string FatalExceptionText() const { return ExceptionText(fatal_); }

protected:
    virtual void Execute() = 0;
    // Runs fn on the main thread through MainDispatcher() while this thread
    // waits; runs it directly when no dispatcher is installed.
    void Synchronize(const std::function<void()>& fn);

private:
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::exception_ptr fatal_; // written by the thread before finished_
    std::mutex joinMutex_;     // Start and WaitFor may race from two threads
    std::thread thread_;
};

} // namespace kartivo::platform
