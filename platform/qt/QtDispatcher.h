#pragma once
// The main-thread dispatcher of the program: a worker's Synchronize posts its
// call into the Qt event loop and waits until the main thread has run it.
// Shutdown() releases every waiting worker without running its call, so that
// a window closing mid-download never leaves a worker blocked forever.
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Threads.h"

class QObject;

namespace kartivo::platform::qt {

class QtMainDispatcher : public platform::IMainDispatcher {
public:
    // Must be constructed on the thread that runs the Qt event loop.
    QtMainDispatcher();
    ~QtMainDispatcher() override; // shuts down first
    QtMainDispatcher(const QtMainDispatcher&) = delete;
    QtMainDispatcher& operator=(const QtMainDispatcher&) = delete;

    // On the main thread the call runs at once; from any other thread it is
    // queued to the main thread and the caller blocks until it has run, or
    // until Shutdown() (then it returns without running).
    void RunOnMain(const std::function<void()>& fn) override;

    // From now on queued and new calls return without running. Idempotent.
    void Shutdown();
    bool IsShutDown() const;

private:
    struct Call;
    void RunNextQueued(); // on the main thread, once per posted wake-up

    QObject* receiver_; // lives on the main thread; queued calls are delivered to it
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Call>> pending_;
    bool shutdown_ = false;
};

} // namespace kartivo::platform::qt
