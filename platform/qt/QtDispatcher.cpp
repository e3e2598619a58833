#include "platform/qt/QtDispatcher.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <algorithm>

#include "platform/qt/EventGuard.h"

namespace kartivo::platform::qt {

// One queued call. A plain Qt::BlockingQueuedConnection cannot be cancelled:
// a worker blocked in it while the main thread has stopped serving events
// (the window is closing, or a test is tearing down and joining workers)
// would wait forever. So the worker waits on our own condition instead,
// which Shutdown() can end.
struct QtMainDispatcher::Call {
    enum class State { Queued, Running, Done, Dropped };
    const std::function<void()>* fn; // the caller's function; the caller waits, so it lives
    State state = State::Queued;
    std::condition_variable finished; // one per call: only its own worker wakes
};

namespace {

// The main thread's end of the dispatcher. Only a wake-up, posted by slot
// name, crosses Qt's event queue; the call itself waits in the dispatcher's
// list, guarded by its mutex. So nothing a worker allocates is read on the
// main thread through Qt's queue, whose locking ThreadSanitizer cannot see
// (Qt's libraries are not instrumented), and a race report means a race.
class Receiver : public QObject {
    Q_OBJECT
public:
    explicit Receiver(std::function<void()> run) : run_(std::move(run)) {}
    Q_INVOKABLE void RunNext() { run_(); }

private:
    std::function<void()> run_;
};

} // namespace

QtMainDispatcher::QtMainDispatcher() : receiver_(new Receiver([this] { RunNextQueued(); })) {}

QtMainDispatcher::~QtMainDispatcher()
{
    Shutdown();
    // Deleting the receiver discards events still posted to it; each only
    // holds a shared_ptr to a call already marked Dropped.
    delete receiver_;
}

void QtMainDispatcher::RunOnMain(const std::function<void()>& fn)
{
    if (QThread::currentThread() == receiver_->thread()) {
        fn();
        return;
    }
    auto call = std::make_shared<Call>();
    call->fn = &fn;
    std::unique_lock<std::mutex> lock(mutex_);
    if (shutdown_)
        return;
    pending_.push_back(call);
    // One wake-up per call, posted under the lock so that Shutdown() sees
    // every call it must release.
    QMetaObject::invokeMethod(receiver_, "RunNext", Qt::QueuedConnection);
    call->finished.wait(
        lock, [&] { return call->state == Call::State::Done || call->state == Call::State::Dropped; });
}

void QtMainDispatcher::RunNextQueued()
{
    // One call per wake-up, in the order they came, so that other events
    // (the timer, the user's clicks) get their turn between calls. A wake-up
    // whose call Shutdown() dropped finds nothing to do.
    std::shared_ptr<Call> call;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(pending_.begin(), pending_.end(),
                               [](const auto& c) { return c->state == Call::State::Queued; });
        if (it == pending_.end())
            return;
        call = *it;
        call->state = Call::State::Running;
    }
    // A synchronized call is an event handler of the main thread like any
    // other: nothing it raises may cross the Qt event loop.
    RunGuarded(*call->fn);
    std::lock_guard<std::mutex> lock(mutex_);
    call->state = Call::State::Done;
    pending_.erase(std::remove(pending_.begin(), pending_.end(), call), pending_.end());
    call->finished.notify_one();
}

void QtMainDispatcher::Shutdown()
{
    std::lock_guard<std::mutex> lock(mutex_);
    shutdown_ = true;
    for (auto& call : pending_) {
        // A call already running is on the main thread, which is us: it
        // cannot be running here unless Shutdown() is called from inside it,
        // and then it completes normally.
        if (call->state == Call::State::Queued) {
            call->state = Call::State::Dropped;
            call->finished.notify_one();
        }
    }
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                  [](const auto& c) { return c->state == Call::State::Dropped; }),
                   pending_.end());
}

bool QtMainDispatcher::IsShutDown() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return shutdown_;
}

} // namespace kartivo::platform::qt

#include "QtDispatcher.moc"
