#include "join/TileSource.h"

#include "platform/SafeRead.h"

namespace kartivo::join {

TileSource::TileSource(const task::SavedProject& project) : project_(project) { problems_ = std::tmpfile(); }

TileSource::~TileSource()
{
    if (problems_)
        std::fclose(problems_);
}

void TileSource::Problem(int x, int y, const std::string& what)
{
    const std::string line = project_.Task().GetTileFileName(x, y) + "  " + what;
    if (firstProblems_.size() < kKeptProblems)
        firstProblems_.push_back(line);
    if (problems_) {
        std::fputs(line.c_str(), problems_);
        std::fputs("\r\n", problems_);
    }
}

void TileSource::CopyProblemsTo(std::FILE* out) const
{
    if (!problems_) {
        // No temporary file could be made: only the first lines are known.
        for (const std::string& line : firstProblems_)
            std::fprintf(out, "%s\r\n", line.c_str());
        return;
    }
    std::fflush(problems_);
    std::rewind(problems_);
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, problems_)) > 0)
        std::fwrite(buffer, 1, n, out);
    std::fseek(problems_, 0, SEEK_END);
}

bool TileSource::Read(int x, int y, bool count, std::string& bytes)
{
    const task::KvTask& task = project_.Task();
    // Only regular files of a tile's size at most are read: a named pipe
    // would block the run, a link to a device would fill the memory.
    const platform::ReadStatus status =
        platform::ReadRegularFile(task.GetTileFilePath(x, y), task::kMaxTileFileBytes, bytes);
    if (status != platform::ReadStatus::Ok && status != platform::ReadStatus::Missing) {
        bytes.clear();
        if (count) {
            ++counts_.Undecodable;
            Problem(x, y, "undecodable: " + platform::ReadStatusText(status, task::kMaxTileFileBytes));
        }
        return false;
    }
    lastState_ = project_.StateOfBytes(task.GetTileFileName(x, y), bytes);
    const bool image = lastState_ == task::TileState::Saved || lastState_ == task::TileState::Blank;
    if (!count)
        return image;
    switch (lastState_) {
    case task::TileState::Saved: ++counts_.Saved; break;
    case task::TileState::Blank: ++counts_.Blank; break;
    case task::TileState::Missing:
        ++counts_.Missing;
        Problem(x, y, "missing");
        break;
    case task::TileState::Failed:
        ++counts_.Failed;
        Problem(x, y, "failed to download");
        break;
    }
    return image;
}

void TileSource::Undecodable(int x, int y, const std::string& reason)
{
    --(lastState_ == task::TileState::Blank ? counts_.Blank : counts_.Saved);
    ++counts_.Undecodable;
    Problem(x, y, "undecodable: " + reason);
}

const std::vector<std::uint8_t>* TileSource::Decoded(int x, int y, bool count)
{
    if (!count)
        for (const CacheEntry& e : cache_)
            if (e.Used && e.X == x && e.Y == y)
                return e.Ok ? &e.Rgba : nullptr;
    CacheEntry& slot = cache_[nextSlot_];
    nextSlot_ = (nextSlot_ + 1) % kCacheSize;
    slot.X = x;
    slot.Y = y;
    slot.Used = true;
    slot.Ok = false;
    const bool image = Read(x, y, count, bytes_);
    if (!image)
        return nullptr;
    std::string reason;
    const task::KvTask& task = project_.Task();
    if (!DecodeTile(bytes_, task.TileWidth, task.TileHeight, slot.Rgba, reason)) {
        if (count)
            Undecodable(x, y, reason);
        return nullptr;
    }
    slot.Ok = true;
    return &slot.Rgba;
}

bool TileSource::Stored(int x, int y, std::string& bytes, TileFormat& format)
{
    if (!Read(x, y, true, bytes))
        return false;
    format = DetectTileFormat(bytes);
    if (!LooksComplete(bytes)) {
        Undecodable(x, y, format == TileFormat::Unknown ? "not a PNG or JPEG image" : "truncated");
        return false;
    }
    // Stored as they are, but checked as every output checks them: a tile of
    // the wrong size or with damaged data inside would be a broken map tile.
    std::string reason;
    const task::KvTask& task = project_.Task();
    if (!DecodeTile(bytes, task.TileWidth, task.TileHeight, scratch_, reason)) {
        Undecodable(x, y, reason);
        return false;
    }
    return true;
}

} // namespace kartivo::join
