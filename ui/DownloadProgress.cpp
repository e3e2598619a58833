#include "ui/DownloadProgress.h"

#include "platform/Formats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "task/Unitclasstask.h"

namespace kartivo::ui {

using platform::DurationText;
using platform::GroupThousands;
using platform::TimeLeftText;

namespace {

const std::string kDot = " \xC2\xB7 "; // " · " between the parts of a status text

std::string Fixed1(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v); // digits and '.', whatever the locale
    std::string s(buf);
    std::replace(s.begin(), s.end(), ',', '.');
    return s;
}

} // namespace

DownloadProgress::DownloadProgress(ClockFn clock) { SetClock(std::move(clock)); }

void DownloadProgress::SetClock(ClockFn clock)
{
    clock_ = clock ? std::move(clock) : ClockFn([] { return Clock::now(); });
}

DownloadProgress::Clock::time_point DownloadProgress::Now() const { return clock_(); }

void DownloadProgress::Begin(std::int64_t total, std::int64_t earlier)
{
    active_ = true;
    total_ = std::max<std::int64_t>(0, total);
    earlier_ = std::clamp<std::int64_t>(earlier, 0, total_);
    counts_ = TileCounts{};
    start_ = Now();
    samples_.clear();
    samples_.emplace_back(start_, Done());
}

void DownloadProgress::Begin(const task::KvTask& task) { Begin(task.TileCount, task.TilesDoneBefore()); }

void DownloadProgress::OnTileEnded(const download::TileReport& report)
{
    if (!active_)
        return;
    switch (report.Outcome) {
    case download::TileOutcome::Saved: ++counts_.Saved; break;
    case download::TileOutcome::Blank: ++counts_.Blank; break;
    case download::TileOutcome::Failed: ++counts_.Failed; break;
    case download::TileOutcome::NotSaved: ++counts_.NotSaved; break;
    case download::TileOutcome::Stopped: ++counts_.Stopped; break;
    }
}

void DownloadProgress::Sample()
{
    if (!active_)
        return;
    const auto now = Now();
    samples_.emplace_back(now, Done());
    // Keep the newest sample at or beyond the window's start, and everything after it.
    while (samples_.size() > 2 && now - samples_[1].first >= kRateWindow)
        samples_.pop_front();
}

std::int64_t DownloadProgress::Left() const { return std::max<std::int64_t>(0, total_ - Done()); }

int DownloadProgress::Permille() const
{
    if (total_ <= 0)
        return 0;
    return static_cast<int>(std::min<std::int64_t>(1000, Done() * 1000 / total_));
}

double DownloadProgress::Rate() const
{
    if (samples_.size() < 2)
        return -1;
    const auto& [t0, d0] = samples_.front();
    const auto& [t1, d1] = samples_.back();
    const double seconds = std::chrono::duration<double>(t1 - t0).count();
    if (seconds < 1.0)
        return -1;
    return static_cast<double>(d1 - d0) / seconds;
}

double DownloadProgress::ElapsedSeconds() const
{
    return std::chrono::duration<double>(Now() - start_).count();
}

double DownloadProgress::SecondsLeft() const
{
    if (samples_.empty())
        return -1;
    const double gathered = std::chrono::duration<double>(samples_.back().first - start_).count();
    const double rate = Rate();
    if (gathered < static_cast<double>(kEstimateAfter.count()) || rate <= 0)
        return -1;
    return static_cast<double>(Left()) / rate;
}

std::string DownloadProgress::KeepWordsTogether(const std::string& text)
{
    static const std::string kNoBreakSpace = "\xC2\xA0";
    const std::size_t last = text.find_last_of(' ', text.find_last_not_of(' '));
    std::string out;
    out.reserve(text.size() + 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool afterNumber = i > 0 && text[i - 1] >= '0' && text[i - 1] <= '9';
        if (text[i] == ' ' && (i == last || afterNumber))
            out += kNoBreakSpace;
        else
            out += text[i];
    }
    return out;
}

std::string DownloadProgress::StatusText() const
{
    const double percent = total_ > 0 ? static_cast<double>(Done()) * 100.0 / static_cast<double>(total_) : 0;
    std::string text =
        GroupThousands(Done()) + " of " + GroupThousands(total_) + " tiles (" + Fixed1(percent) + " %)";
    const double rate = Rate();
    if (rate >= 0)
        text += kDot + Fixed1(rate) + " tiles/s";
    if (Left() == 0)
        return text;
    const double left = SecondsLeft();
    text += kDot + (left >= 0 ? TimeLeftText(left) : std::string("estimating..."));
    return text;
}

std::string DownloadProgress::CountsText() const
{
    std::string text = "saved " + GroupThousands(counts_.Saved) + kDot + "blank " +
                       GroupThousands(counts_.Blank) + kDot + "failed " + GroupThousands(counts_.Failed);
    if (counts_.NotSaved > 0)
        text += kDot + "not saved " + GroupThousands(counts_.NotSaved);
    return text;
}

std::string DownloadProgress::Summary() const
{
    std::string text = "Summary: " + GroupThousands(Done()) + " of " + GroupThousands(total_) +
                       " tiles done in " + DurationText(ElapsedSeconds()) + ": ";
    if (earlier_ > 0)
        text += GroupThousands(earlier_) + " done before, ";
    text += GroupThousands(counts_.Saved) + " saved, " + GroupThousands(counts_.Blank) + " blank, " +
            GroupThousands(counts_.Failed) + " failed, " + GroupThousands(counts_.NotSaved) + " not saved.";
    if (Left() > 0)
        text += " " + GroupThousands(Left()) + (Left() == 1 ? " tile" : " tiles") +
                " left: Start continues the task.";
    return text;
}

} // namespace kartivo::ui
