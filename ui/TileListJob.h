#pragma once
// Writes a task's tile list on a thread of its own: the list of a huge task
// runs to gigabytes (7.1 GB for the world at zoom 13) and would freeze the
// window for as long as it takes. The owner polls the job from its timer.
//
// Life of a job: constructed (the thread starts) -> the lines written are
// counted as they go -> Cancel() at any time -> Finished() -> Result(). An
// abandoned or failed list leaves no file behind (KvTask::WriteTileList).
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace kartivo::task {
class KvTask;
}

namespace kartivo::ui {

class TileListJob {
public:
    enum class Outcome { Running, Written, Cancelled, Failed };

    // `onProgress` (may be empty) is called on the writer's thread with the
    // lines written so far, every few thousand lines. The task must outlive
    // the job.
    explicit TileListJob(const task::KvTask& task, std::function<void(std::int64_t)> onProgress = {});
    // Cancels a list still being written and waits for the thread.
    ~TileListJob();
    TileListJob(const TileListJob&) = delete;
    TileListJob& operator=(const TileListJob&) = delete;

    void Cancel() { cancel_.store(true); }
    bool Finished() const { return outcome_.load(std::memory_order_acquire) != Outcome::Running; }
    std::int64_t LinesWritten() const { return lines_.load(std::memory_order_relaxed); }
    Outcome Result() const { return outcome_.load(std::memory_order_acquire); }
    // The file error of a failed list; read once Finished().
    const std::string& Error() const { return error_; }

private:
    void Run(const task::KvTask& task);

    std::function<void(std::int64_t)> onProgress_;
    std::atomic<bool> cancel_{false};
    std::atomic<std::int64_t> lines_{0};
    std::atomic<Outcome> outcome_{Outcome::Running};
    std::string error_;  // written before outcome_ is published
    std::thread thread_; // last: starts once every member above is in place
};

} // namespace kartivo::ui
