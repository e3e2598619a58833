#pragma once
// Where a running download stands, for the main window's status bar and the
// summary line at its end: tiles done, what became of them, the rate over the
// last 30 seconds and the time left. It counts on the main thread the
// outcome each worker reports with the line that ends a tile. Time comes from
// an injectable clock; no Qt.
//
// Life of one count: Begin (the tiles a continued task's workers will skip
// count as done already) -> OnTileEnded for every tile a worker ends ->
// Sample at every tick -> Summary when the task ends.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>

#include "download/Unit3.h"

namespace kartivo::task {
class KvTask;
}

namespace kartivo::ui {

// What became of the tiles a worker took and finished in this run.
struct TileCounts {
    std::int64_t Saved = 0;    // stored as received (" OK")
    std::int64_t Blank = 0;    // blank substitute for a tile the server does not have
    std::int64_t Failed = 0;   // given up: in the failed list, blank substitute on disk
    std::int64_t NotSaved = 0; // received but not written (" NULL")
    std::int64_t Stopped = 0;  // the worker stopped at it; not shown, not done
    // A tile that is not on disk is not done: a continued task fetches it.
    std::int64_t Done() const { return Saved + Blank + Failed; }
};

class DownloadProgress {
public:
    using Clock = std::chrono::steady_clock;
    using ClockFn = std::function<Clock::time_point()>;

    // The rate is averaged over this window; the time left is shown once this
    // much data has been gathered.
    static constexpr std::chrono::seconds kRateWindow{30};
    static constexpr std::chrono::seconds kEstimateAfter{10};

    explicit DownloadProgress(ClockFn clock = {});
    void SetClock(ClockFn clock);

    // A new count for a task of `total` tiles of which `earlier` were done by
    // an earlier run.
    void Begin(std::int64_t total, std::int64_t earlier);
    // The same for a task about to start its workers: the tiles every worker
    // will skip by its resume position count as done.
    void Begin(const task::KvTask& task);

    // A tile's outcome as its worker reports it.
    void OnTileEnded(const download::TileReport& report);
    // One tick: notes the count at this moment for the rate.
    void Sample();

    bool Active() const { return active_; }
    std::int64_t Total() const { return total_; }
    std::int64_t Earlier() const { return earlier_; }
    std::int64_t Done() const { return earlier_ + counts_.Done(); }
    std::int64_t Left() const;
    const TileCounts& Counts() const { return counts_; }
    // Per mille of the task done, 0 to 1000, for the progress bar.
    int Permille() const;
    // Tiles per second over the last kRateWindow; negative before a second
    // of data.
    double Rate() const;
    // Seconds left at the current rate, or negative while there are fewer
    // than kEstimateAfter of data or nothing moves.
    double SecondsLeft() const;
    double ElapsedSeconds() const;

    // "12,345 of 50,000 tiles (24.7 %) · 15.8 tiles/s · about 39 min left"
    std::string StatusText() const;
    // "saved 12,000 · blank 300 · failed 45" (and "· not saved N" when any)
    std::string CountsText() const;
    // The closing line of the log; says what is left when workers stopped early.
    std::string Summary() const;

    // The text for a label that wraps: the blank before the last word, and
    // each blank between a number and the word after it ("256 tiles",
    // "18 s"), become no-break spaces (UTF-8), so that no line ends up
    // holding one word alone or a unit apart from its number.
    static std::string KeepWordsTogether(const std::string& text);

private:
    Clock::time_point Now() const;

    ClockFn clock_;
    bool active_ = false;
    std::int64_t total_ = 0;
    std::int64_t earlier_ = 0;
    TileCounts counts_;
    Clock::time_point start_{};
    std::deque<std::pair<Clock::time_point, std::int64_t>> samples_;
};

} // namespace kartivo::ui
