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

const std::string kDot = " \xC2\xB7 ";   // " · " between the parts of a status text

bool EndsWith(const std::string& s, const char* tail, std::size_t n)
{
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Reads decimal digits at `pos`; false when there are none.
bool ReadNumber(const std::string& s, std::size_t& pos, std::int64_t& value)
{
    const std::size_t begin = pos;
    value = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' && pos - begin < 12)
        value = value * 10 + (s[pos++] - '0');
    return pos > begin;
}

// Tiles with sequence numbers 1..skip that the worker `index` of `threads`
// takes by the share rule (sequence number modulo worker count).
std::int64_t OwnTilesUpTo(std::int64_t skip, int index, int threads)
{
    if (skip <= 0 || threads <= 0)
        return 0;
    if (index == 0)
        return skip / threads;
    return skip >= index ? (skip - index) / threads + 1 : 0;
}

std::string Fixed1(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);   // digits and '.', whatever the locale
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

void DownloadProgress::Begin(std::int64_t total, std::int64_t earlier,
                             std::function<std::string(int, int)> tilePath)
{
    active_ = true;
    total_ = std::max<std::int64_t>(0, total);
    earlier_ = std::clamp<std::int64_t>(earlier, 0, total_);
    counts_ = TileCounts{};
    tilePath_ = std::move(tilePath);
    givenUp_.clear();
    start_ = Now();
    samples_.clear();
    samples_.emplace_back(start_, Done());
}

void DownloadProgress::Begin(const task::KvTask& task, int threadCount)
{
    std::int64_t earlier = 0;
    for (int i = 0; i < threadCount && i < task::kThreadSlots; ++i)
        earlier += OwnTilesUpTo(std::min<std::int64_t>(task.SkipCount(i), task.TileCount), i, threadCount);
    Begin(task.TileCount, earlier, [&task](int x, int y) { return task.GetTileFilePath(x, y); });
}

void DownloadProgress::OnLogLine(const std::string& line)
{
    // Worker lines start with "T" and the worker's number; only three kinds
    // end a tile: "T<n>:seq=<s>,<file> OK", the same with " NULL", and
    // "T<n>:<x>-<y> got a blank image!".
    if (!active_ || line.size() < 4 || line[0] != 'T')
        return;
    std::size_t pos = 1;
    std::int64_t worker = 0;
    if (!ReadNumber(line, pos, worker) || pos >= line.size() || line[pos] != ':')
        return;
    ++pos;
    if (line.compare(pos, 4, "seq=") == 0) {
        if (EndsWith(line, " OK", 3))
            ++counts_.Saved;
        else if (EndsWith(line, " NULL", 5))
            ++counts_.NotSaved;
        return;
    }
    static constexpr char kBlankTail[] = " got a blank image!";
    if (!EndsWith(line, kBlankTail, sizeof kBlankTail - 1))
        return;
    std::int64_t x = 0, y = 0;
    if (!ReadNumber(line, pos, x) || pos >= line.size() || line[pos] != '-')
        return;
    ++pos;
    if (!ReadNumber(line, pos, y) || pos != line.size() - (sizeof kBlankTail - 1))
        return;
    // A failure record for the same tile came just before: a given-up tile.
    if (tilePath_ && !givenUp_.empty() &&
        givenUp_.erase(tilePath_(static_cast<int>(x), static_cast<int>(y))) > 0)
        ++counts_.Failed;
    else
        ++counts_.Blank;
}

void DownloadProgress::OnFailedLine(const std::string& line)
{
    // Either a blank substitute follows (the tile is done, as failed), or the
    // worker stops at this tile (not done: Start requests it again).
    if (active_ && tilePath_)
        givenUp_.insert(task::SplitFailedLine(line).Path);
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
    std::string text = GroupThousands(Done()) + " of " + GroupThousands(total_) + " tiles (" + Fixed1(percent) + " %)";
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
    std::string text = "saved " + GroupThousands(counts_.Saved) + kDot + "blank " + GroupThousands(counts_.Blank) + kDot +
                       "failed " + GroupThousands(counts_.Failed);
    if (counts_.NotSaved > 0)
        text += kDot + "not saved " + GroupThousands(counts_.NotSaved);
    return text;
}

std::string DownloadProgress::Summary() const
{
    std::string text = "Summary: " + GroupThousands(Done()) + " of " + GroupThousands(total_) + " tiles done in " +
                       DurationText(ElapsedSeconds()) + ": ";
    if (earlier_ > 0)
        text += GroupThousands(earlier_) + " done before, ";
    text += GroupThousands(counts_.Saved) + " saved, " + GroupThousands(counts_.Blank) + " blank, " +
            GroupThousands(counts_.Failed) + " failed, " + GroupThousands(counts_.NotSaved) + " not saved.";
    if (Left() > 0)
        text += " " + GroupThousands(Left()) + (Left() == 1 ? " tile" : " tiles") + " left: Start continues the task.";
    return text;
}

} // namespace kartivo::ui
