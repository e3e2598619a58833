#include "platform/qt/BackgroundJob.h"

#include <QCoreApplication>
#include <QEvent>

#include <atomic>

namespace kartivo::platform::qt {

namespace {

std::atomic<int> g_leftBehind{0};

} // namespace

// What the job's thread and the job share; kept by whichever goes last.
struct BackgroundJob::Shared {
    std::mutex m;
    std::condition_variable ended;
    // Lives on the main thread and receives the posted calls; null once the
    // owner has gone, and deleting it drops the calls still queued to it.
    QObject* receiver = nullptr;
    bool threadEnded = true;
    bool leftBehind = false;
};

void BackgroundJob::Poster::operator()(std::function<void()> fn) const
{
    std::lock_guard<std::mutex> lock(shared_->m);
    if (shared_->receiver)
        QMetaObject::invokeMethod(shared_->receiver, std::move(fn), Qt::QueuedConnection);
}

BackgroundJob::BackgroundJob(std::chrono::milliseconds stopWait)
    : stopWait_(stopWait), shared_(std::make_shared<Shared>())
{
    shared_->receiver = new QObject;
}

BackgroundJob::~BackgroundJob()
{
    RequestStop();
    WaitFor(stopWait_);
    QObject* receiver = nullptr;
    bool leaveBehind = false;
    {
        std::lock_guard<std::mutex> lock(shared_->m);
        std::swap(receiver, shared_->receiver);
        if (!shared_->threadEnded) {
            shared_->leftBehind = leaveBehind = true;
            ++g_leftBehind;
        }
    }
    if (leaveBehind)
        thread_.detach();
    delete receiver;
}

void BackgroundJob::Launch(std::function<void(std::stop_token, const Poster&)> body)
{
    // The thread of a job that has delivered its result is ending: join it.
    if (thread_.joinable())
        thread_.join();
    {
        std::lock_guard<std::mutex> lock(shared_->m);
        shared_->threadEnded = false;
    }
    running_ = true;
    thread_ = std::jthread([shared = shared_, body = std::move(body)](std::stop_token stop) {
        body(std::move(stop), Poster(shared));
        std::lock_guard<std::mutex> lock(shared->m);
        shared->threadEnded = true;
        if (shared->leftBehind)
            --g_leftBehind;
        shared->ended.notify_all();
    });
}

void BackgroundJob::RequestStop() { thread_.request_stop(); }

bool BackgroundJob::WaitFor(std::chrono::milliseconds bound)
{
    std::unique_lock<std::mutex> lock(shared_->m);
    return shared_->ended.wait_for(lock, bound, [this] { return shared_->threadEnded; });
}

bool BackgroundJob::Finish(std::chrono::milliseconds bound)
{
    const bool ended = WaitFor(bound);
    QObject* receiver = nullptr;
    {
        std::lock_guard<std::mutex> lock(shared_->m);
        receiver = shared_->receiver;
    }
    // The receiver lives on this thread and only the destructor deletes it.
    QCoreApplication::sendPostedEvents(receiver, QEvent::MetaCall);
    return ended;
}

int BackgroundJob::LeftBehind() { return g_leftBehind.load(); }

} // namespace kartivo::platform::qt
