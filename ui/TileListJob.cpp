#include "ui/TileListJob.h"

#include <exception>

#include "task/Unitclasstask.h"

namespace kartivo::ui {

TileListJob::TileListJob(const task::KvTask& task, std::function<void(std::int64_t)> onProgress)
    : onProgress_(std::move(onProgress)), thread_([this, &task] { Run(task); })
{
}

TileListJob::~TileListJob()
{
    Cancel();
    if (thread_.joinable())
        thread_.join();
}

void TileListJob::Run(const task::KvTask& task)
{
    Outcome outcome = Outcome::Failed;
    try {
        const bool written = task.WriteTileList([this](std::int64_t lines) {
            lines_.store(lines, std::memory_order_relaxed);
            if (onProgress_)
                onProgress_(lines);
            return !cancel_.load();
        });
        outcome = written ? Outcome::Written : Outcome::Cancelled;
    } catch (const std::exception& e) {
        error_ = e.what();
    } catch (...) {
        error_ = "The tile list could not be written: " + task.ListFile;
    }
    outcome_.store(outcome, std::memory_order_release);
}

} // namespace kartivo::ui
