#include "view/qt/TileLoader.h"

#include <algorithm>
#include <exception>

#include "platform/Threads.h"

namespace kartivo::view::qt {

TileLoader::TileLoader(const task::SavedProject& project, const MapGrid& grid, int threads,
                       const OverviewPyramid* pyramid)
    : project_(project), grid_(grid), pyramid_(pyramid)
{
    if (threads <= 0)
        threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency() + 1, 3u, 16u));
    for (int i = 0; i < threads; ++i)
        workers_.emplace_back([this] { Work(); });
}

TileLoader::~TileLoader()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        queue_.clear();
    }
    workCv_.notify_all();
    for (std::thread& t : workers_)
        t.join();
}

void TileLoader::SetNotifier(std::function<void()> notify)
{
    std::lock_guard<std::mutex> lock(mutex_);
    notify_ = std::move(notify);
}

void TileLoader::Want(const std::vector<PyramidKey>& keys)
{
    std::vector<Wish> wishes;
    wishes.reserve(keys.size());
    for (const PyramidKey& k : keys)
        wishes.push_back({k, {}});
    Want(std::move(wishes));
}

void TileLoader::Want(std::vector<Wish> wishes)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.clear();
        for (Wish& w : wishes) {
            const PyramidKey& k = w.Key;
            const bool busy =
                std::find(running_.begin(), running_.end(), k) != running_.end() ||
                std::any_of(done_.begin(), done_.end(), [&](const Result& r) { return r.first == k; });
            if (!busy)
                queue_.push_back(std::move(w));
        }
    }
    workCv_.notify_all();
    idleCv_.notify_all();
}

std::vector<TileLoader::Result> TileLoader::TakeDone()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Result> results;
    results.swap(done_);
    notified_ = false;
    return results;
}

void TileLoader::WaitIdle()
{
    std::unique_lock<std::mutex> lock(mutex_);
    idleCv_.wait(lock, [this] { return queue_.empty() && running_.empty(); });
}

void TileLoader::Work()
{
    platform::LowerThisThreadPriority();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        workCv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (stop_)
            return;
        Wish wish = std::move(queue_.front());
        queue_.pop_front();
        const PyramidKey key = wish.Key;
        running_.push_back(key);
        lock.unlock();
        TileEntry entry;
        try {
            entry = LoadPyramidImage(project_, grid_, key, pyramid_, wish.Parts);
        } catch (const std::exception&) {
            // Out of memory for one image: shown as unreadable, the rest carries on.
            entry = TileEntry();
            entry.Marks.push_back({QRect(0, 0, grid_.TileWidth(), grid_.TileHeight()), task::TileState::Saved,
                                   TileFault::Damaged});
        }
        lock.lock();
        running_.erase(std::find(running_.begin(), running_.end(), key));
        done_.emplace_back(key, std::move(entry));
        const bool tell = !notified_ && notify_;
        notified_ = true;
        if (queue_.empty() && running_.empty())
            idleCv_.notify_all();
        if (tell) {
            // Outside the lock: the notifier may post to another thread.
            std::function<void()> notify = notify_;
            lock.unlock();
            notify();
            lock.lock();
        }
    }
}

} // namespace kartivo::view::qt
