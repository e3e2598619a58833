#include "ui/MemoLines.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Errors.h"
#include "platform/FileOps.h"
#include "platform/Files.h"
#include "platform/TextFile.h"

namespace kartivo::ui {

// ---- LineList ---------------------------------------------------------------

void LineList::Add(std::string_view line)
{
    if (line.size() > UINT32_MAX)
        throw std::length_error("line too long");
    if (blocks_.empty() || blocks_.back().capacity - blocks_.back().used < line.size()) {
        Block block;
        block.capacity = std::max(kBlockSize, line.size());
        block.data = std::make_unique<char[]>(block.capacity);
        blocks_.push_back(std::move(block));
    }
    Block& block = blocks_.back();
    if (!line.empty())
        std::memcpy(block.data.get() + block.used, line.data(), line.size());
    index_.push_back(Entry{static_cast<std::uint32_t>(firstBlock_ + blocks_.size() - 1),
                           static_cast<std::uint32_t>(block.used), static_cast<std::uint32_t>(line.size())});
    block.used += line.size();
    textBytes_ += line.size();
    if (index_.size() > tailLimit_)
        Trim();
}

void LineList::SetTailLimit(std::size_t maxLines)
{
    tailLimit_ = maxLines;
    Trim();
}

void LineList::KeepFrom(std::uint64_t absolute)
{
    keepFrom_ = absolute;
    Trim();
}

void LineList::Trim()
{
    // Dropped in steps of an eighth of the limit, so that a display that
    // re-renders when lines go does so once per many lines, not per line.
    if (tailLimit_ == SIZE_MAX || index_.size() <= tailLimit_ + tailLimit_ / 8)
        return;
    std::uint64_t drop = index_.size() - tailLimit_;
    if (keepFrom_ < dropped_ + drop)
        drop = keepFrom_ > dropped_ ? keepFrom_ - dropped_ : 0;
    for (std::uint64_t i = 0; i < drop; ++i) {
        textBytes_ -= index_.front().length;
        index_.pop_front();
    }
    dropped_ += drop;
    // Free the blocks no held line points into any more (the last block,
    // which takes the next lines, stays).
    const std::uint32_t firstUsed =
        index_.empty() ? static_cast<std::uint32_t>(firstBlock_ + blocks_.size() - 1) : index_.front().block;
    while (firstBlock_ < firstUsed && blocks_.size() > 1) {
        blocks_.pop_front();
        ++firstBlock_;
    }
    if (drop > 0)
        index_.shrink_to_fit();
}

void LineList::Assign(const std::vector<std::string>& lines)
{
    Clear();
    for (const auto& line : lines)
        Add(line);
}

void LineList::Clear()
{
    blocks_.clear();
    firstBlock_ = 0;
    index_.clear();
    textBytes_ = 0;
    dropped_ = 0;
    keepFrom_ = UINT64_MAX;
    ++generation_;
}

std::string_view LineList::operator[](std::size_t i) const
{
    const Entry& e = index_[i];
    return std::string_view(blocks_[e.block - firstBlock_].data.get() + e.offset, e.length);
}

std::vector<std::string> LineList::ToVector() const
{
    std::vector<std::string> out;
    out.reserve(Count());
    for (std::size_t i = 0; i < Count(); ++i)
        out.emplace_back((*this)[i]);
    return out;
}

// ---- LinesFileSaver ---------------------------------------------------------

namespace {

// Writes all of `data` or throws the file error of `path`.
void WriteAll(int fd, const std::string& data, const std::string& path)
{
    if (!platform::fileops::WriteAll(fd, data.data(), data.size()))
        throw platform::EFCreateError(path, errno);
}

// Writes held lines [from, Count()) to fd, each followed by CR LF, in large
// pieces, after `prefix`.
void WriteLinesFrom(int fd, const LineList& lines, std::size_t from, const std::string& path,
                    std::string prefix = std::string())
{
    constexpr std::size_t kChunk = std::size_t{1} << 20;
    std::string buffer = std::move(prefix);
    buffer.reserve(kChunk + 4096);
    for (std::size_t i = from; i < lines.Count(); ++i) {
        buffer.append(lines[i]);
        buffer.append("\r\n");
        if (buffer.size() >= kChunk) {
            WriteAll(fd, buffer, path);
            buffer.clear();
        }
    }
    WriteAll(fd, buffer, path);
}

// The whole list as the file's bytes.
std::string WholeText(const LineList& lines)
{
    std::string text;
    text.reserve(static_cast<std::size_t>(lines.FileBytes()));
    for (std::size_t i = 0; i < lines.Count(); ++i) {
        text.append(lines[i]);
        text.append("\r\n");
    }
    return text;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool CloseChecked()
    {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

} // namespace

bool LinesFileSaver::FileIsAsLeft(const std::string& path) const
{
    if (!synced_ || path != path_)
        return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return static_cast<std::uint64_t>(st.st_size) == size_ && st.st_dev == device_ && st.st_ino == inode_ &&
           st.st_mtim.tv_sec == mtimeSec_ && st.st_mtim.tv_nsec == mtimeNsec_;
}

void LinesFileSaver::Remember(const LineList& lines, const std::string& path, bool saved)
{
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    synced_ = exists &&
              (tail_ || static_cast<std::uint64_t>(st.st_size) == lines.FileBytes() || (!saved && synced_));
    path_ = path;
    generation_ = lines.Generation();
    if (saved)
        linesWritten_ = lines.Total();
    size_ = static_cast<std::uint64_t>(st.st_size);
    device_ = st.st_dev;
    inode_ = st.st_ino;
    mtimeSec_ = st.st_mtim.tv_sec;
    mtimeNsec_ = st.st_mtim.tv_nsec;
}

void LinesFileSaver::Adopt(const LineList& lines, const std::string& path)
{
    // Lines read from a file hold no CR or LF, and every line costs at least
    // its text plus one terminator; the sizes agree only if every line ended
    // in CR LF, i.e. writing the lines back gives exactly these bytes.
    tail_ = false;
    Remember(lines, path);
}

void LinesFileSaver::AdoptTail(const LineList& lines, const std::string& path)
{
    // A tail that is the whole file is adopted as the whole file.
    tail_ = false;
    Remember(lines, path);
    if (!synced_) {
        tail_ = true;
        synced_ = true;
    }
}

void LinesFileSaver::Append(const LineList& lines, const std::string& path)
{
    const std::uint64_t total = lines.Total();
    if (linesWritten_ >= total)
        return; // nothing new: the file is already right
    Fd fd(
        platform::fileops::Open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666));
    if (fd.get() < 0)
        throw platform::EFCreateError(path, errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw platform::EFCreateError(path, EINVAL);
    // A file cut inside its last line (a crash while it was written) gets
    // that line ended first, so the new lines never run into it.
    std::string prefix;
    if (st.st_size > 0 && !platform::EndsWithLineEnd(path))
        prefix = "\r\n";
    // Lines dropped before they were saved cannot be written; the list keeps
    // unsaved lines (KeepFrom), so this only skips what no longer exists.
    const std::size_t from =
        linesWritten_ > lines.Dropped() ? static_cast<std::size_t>(linesWritten_ - lines.Dropped()) : 0;
    try {
        WriteLinesFrom(fd.get(), lines, from, path, std::move(prefix));
        if (platform::fileops::Fsync(fd.get()) != 0)
            throw platform::EFCreateError(path, errno);
    } catch (const platform::EFCreateError&) {
        // No part of these lines stays: the next save writes them again,
        // and the file holds each line once.
        (void)::ftruncate(fd.get(), st.st_size);
        throw;
    }
    if (!fd.CloseChecked())
        throw platform::EFCreateError(path, errno);
}

void LinesFileSaver::Save(const LineList& lines, const std::string& path)
{
    const bool sameList =
        path == path_ && generation_ == lines.Generation() && linesWritten_ <= lines.Total();
    // A list that lacks lines of the file (a tail, or lines dropped) can only
    // be appended; one that holds them all is written whole when the file is
    // not as this saver left it.
    const bool partial = tail_ || lines.Dropped() > 0;
    const bool append = sameList && (partial || FileIsAsLeft(path));
    lastAppended_ = append;
    if (append) {
        try {
            Append(lines, path);
        } catch (const platform::EFCreateError&) {
            Remember(lines, path, false); // the file as it was before the save
            throw;
        }
    } else {
        tail_ = false;
        synced_ = false;
        const std::string text = WholeText(lines);
        platform::WriteFileAtomic(path, text.data(), text.size());
    }
    Remember(lines, path);
}

} // namespace kartivo::ui
