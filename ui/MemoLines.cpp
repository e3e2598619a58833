#include "ui/MemoLines.h"

#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Errors.h"

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
    index_.push_back(Entry{static_cast<std::uint32_t>(blocks_.size() - 1),
                           static_cast<std::uint32_t>(block.used),
                           static_cast<std::uint32_t>(line.size())});
    block.used += line.size();
    textBytes_ += line.size();
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
    index_.clear();
    textBytes_ = 0;
    ++generation_;
}

std::string_view LineList::operator[](std::size_t i) const
{
    const Entry& e = index_[i];
    return std::string_view(blocks_[e.block].data.get() + e.offset, e.length);
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
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw platform::EFCreateError(path);
        }
        done += static_cast<std::size_t>(n);
    }
}

// Writes lines [from, Count()) to fd, each followed by CR LF, in large pieces.
void WriteLinesFrom(int fd, const LineList& lines, std::size_t from, const std::string& path)
{
    constexpr std::size_t kChunk = std::size_t{1} << 20;
    std::string buffer;
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

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { if (fd_ >= 0) ::close(fd_); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool CloseChecked() { const int fd = fd_; fd_ = -1; return ::close(fd) == 0; }
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
    return static_cast<std::uint64_t>(st.st_size) == size_ && st.st_dev == device_ &&
           st.st_ino == inode_ && st.st_mtim.tv_sec == mtimeSec_ && st.st_mtim.tv_nsec == mtimeNsec_;
}

void LinesFileSaver::Remember(const LineList& lines, const std::string& path)
{
    struct stat st {};
    synced_ = ::stat(path.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) == lines.FileBytes();
    path_ = path;
    generation_ = lines.Generation();
    linesWritten_ = lines.Count();
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
    Remember(lines, path);
}

void LinesFileSaver::Save(const LineList& lines, const std::string& path)
{
    const bool append = FileIsAsLeft(path) && generation_ == lines.Generation() &&
                        linesWritten_ <= lines.Count();
    lastAppended_ = append;
    synced_ = false;   // until this save has completed
    if (append) {
        if (linesWritten_ == lines.Count()) {
            synced_ = true;   // nothing new: the file is already right
            return;
        }
        Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        if (fd.get() < 0)
            throw platform::EFCreateError(path);
        WriteLinesFrom(fd.get(), lines, linesWritten_, path);
        if (!fd.CloseChecked())
            throw platform::EFCreateError(path);
    } else {
        Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        if (fd.get() < 0)
            throw platform::EFCreateError(path);
        WriteLinesFrom(fd.get(), lines, 0, path);
        if (!fd.CloseChecked())
            throw platform::EFCreateError(path);
    }
    Remember(lines, path);
}

} // namespace kartivo::ui
