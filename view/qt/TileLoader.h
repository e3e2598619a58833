#pragma once
// Reads and decodes pyramid images on worker threads, so that the window
// never waits for a disk read. Life of a request: the renderer names what a
// frame lacks (Want), which replaces every request not yet started; a worker
// takes the next one, builds its image and files it among the results; the
// first result since the last collection calls the notifier (on the worker's
// thread); the renderer collects the results on its own thread (TakeDone).
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "view/MapGrid.h"
#include "view/qt/TileImages.h"

namespace kartivo::view::qt {

class TileLoader {
public:
    using Result = std::pair<PyramidKey, TileEntry>;
    // One image wanted, with the finer images already at hand that it may
    // be made of (see LoadPyramidImage).
    struct Wish {
        PyramidKey Key;
        FinerParts Parts;
    };

    // `project` and `grid` must outlive the loader. `threads` 0 picks one per
    // core and one more, so that a core is never idle while a worker waits
    // for the disk (at least three, at most sixteen). Workers run at a
    // lower priority than the thread that paints.
    // `pyramid`, when given, supplies the kept overviews and must outlive it too.
    TileLoader(const task::SavedProject& project, const MapGrid& grid, int threads = 0,
               const OverviewPyramid* pyramid = nullptr);
    // Stops the workers after their current image and joins them.
    ~TileLoader();
    TileLoader(const TileLoader&) = delete;
    TileLoader& operator=(const TileLoader&) = delete;

    // Called from a worker when results wait to be collected; set before the
    // first Want. It must not call back into the loader.
    void SetNotifier(std::function<void()> notify);
    // The images wanted now, most wanted first. Images being built or
    // waiting to be collected are not asked for twice.
    void Want(const std::vector<PyramidKey>& keys);
    void Want(std::vector<Wish> wishes);
    std::vector<Result> TakeDone();
    // Blocks until nothing is queued or being built.
    void WaitIdle();

private:
    void Work();

    const task::SavedProject& project_;
    const MapGrid& grid_;
    const OverviewPyramid* pyramid_;
    std::function<void()> notify_;

    std::mutex mutex_;
    std::condition_variable workCv_, idleCv_;
    std::deque<Wish> queue_;
    std::vector<PyramidKey> running_;
    std::vector<Result> done_;
    bool notified_ = false; // a notification went out that no TakeDone has answered
    bool stop_ = false;
    std::vector<std::thread> workers_;
};

} // namespace kartivo::view::qt
