#include "platform/TextFile.h"

#include "platform/CommitFile.h"
#include "platform/Errors.h"
#include "platform/FileOps.h"
#include "platform/Files.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace kartivo::platform {

namespace {

// Bytes gathered before TextFileWriter hands them to the file in one write.
constexpr std::size_t kWriterChunk = 1 << 20;

constexpr std::string_view kLineEnd = "\r\n";

// The lines of text from pos on: CR LF, a lone LF and a lone CR each end a
// line; a final line end does not start another (empty) line.
std::vector<std::string> SplitLines(const std::string& text, std::size_t pos)
{
    std::vector<std::string> lines;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) {
            lines.emplace_back(text, pos);
            break;
        }
        lines.emplace_back(text, pos, end - pos);
        pos = end + 1;
        if (text[end] == '\r' && pos < text.size() && text[pos] == '\n')
            ++pos;
    }
    return lines;
}

} // namespace

std::vector<std::string> ReadLines(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        throw EFOpenError(path);
    std::string text;
    char buffer[64 * 1024];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    bool failed = std::ferror(file) != 0; // e.g. the path names a folder
    std::fclose(file);
    if (failed)
        throw EFOpenError(path);

    return SplitLines(text, 0);
}

void WriteLines(const std::string& path, const std::vector<std::string>& lines)
{
    std::size_t total = 0;
    for (const std::string& line : lines)
        total += line.size() + kLineEnd.size();
    std::string text;
    text.reserve(total);
    for (const std::string& line : lines) {
        text += line;
        text += kLineEnd;
    }
    // Whole or not at all: a crash or a full disk leaves the old file.
    WriteFileAtomic(path, text.data(), text.size());
}

bool EndsWithLineEnd(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ends = false;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char last = 0;
        ends =
            st.st_size == 0 || (::pread(fd, &last, 1, st.st_size - 1) == 1 && (last == '\n' || last == '\r'));
    }
    ::close(fd);
    return ends;
}

void AppendLines(const std::string& path, const std::vector<std::string>& lines)
{
    // Non-blocking: a named pipe under the file's name is refused below,
    // never waited on.
    const int fd = fileops::Open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        throw EFCreateError(path, errno);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw EFCreateError(path, EINVAL);
    }
    std::string text;
    if (!EndsWithLineEnd(path))
        text += kLineEnd;
    for (const std::string& line : lines) {
        text += line;
        text += kLineEnd;
    }
    bool ok = fileops::WriteAll(fd, text.data(), text.size()) && fileops::Fsync(fd) == 0;
    const int error = errno;
    if (!ok)
        (void)::ftruncate(fd, st.st_size); // no part of the new lines stays
    ok = (::close(fd) == 0) && ok;
    if (!ok)
        throw EFCreateError(path, error);
}

std::vector<std::string> ReadLastLines(const std::string& path, std::size_t maxLines, std::size_t maxBytes)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw EFOpenError(path);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw EFOpenError(path);
    }
    // Read backwards in chunks until enough line ends have been seen.
    const off_t size = st.st_size;
    const off_t limit =
        static_cast<off_t>(std::min<std::uint64_t>(maxBytes, static_cast<std::uint64_t>(size)));
    std::string tail; // the last `tail.size()` bytes of the file
    std::size_t lineEnds = 0;
    constexpr off_t kChunk = 1 << 20;
    // A line ends in one or two of CR and LF: twice the lines' count of
    // them is sure to hold enough lines.
    while (static_cast<off_t>(tail.size()) < limit && lineEnds <= 2 * maxLines + 2) {
        const off_t want = std::min<off_t>(kChunk, limit - static_cast<off_t>(tail.size()));
        const off_t at = size - static_cast<off_t>(tail.size()) - want;
        std::string chunk(static_cast<std::size_t>(want), '\0');
        const ssize_t n = ::pread(fd, chunk.data(), chunk.size(), at);
        if (n != want) {
            ::close(fd);
            throw EFOpenError(path);
        }
        for (char c : chunk)
            if (c == '\n' || c == '\r')
                ++lineEnds;
        tail.insert(0, chunk);
    }
    ::close(fd);

    // Unless the whole file was read, the tail may begin inside a line (or
    // with the LF of a CR LF): everything up to its first line end goes.
    std::size_t pos = 0;
    if (static_cast<off_t>(tail.size()) < size) {
        const std::size_t end = tail.find_first_of("\r\n");
        pos = end == std::string::npos ? tail.size() : end + 1;
        if (end != std::string::npos && tail[end] == '\r' && pos < tail.size() && tail[pos] == '\n')
            ++pos;
    }
    std::vector<std::string> lines = SplitLines(tail, pos);
    if (lines.size() > maxLines)
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(lines.size() - maxLines));
    return lines;
}

TextFileWriter::TextFileWriter(const std::string& path)
    : path_(path), temp_(TempFileNameFor(ResolveFileLinks(path)))
{
    fd_ = fileops::Open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0)
        throw EFCreateError(path, errno);
    buffer_.resize(kWriterChunk);
}

TextFileWriter::~TextFileWriter()
{
    // Not closed: the file was not finished, and the target stays as it was.
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(temp_.c_str());
    }
}

void TextFileWriter::Fail(int error)
{
    ::close(fd_);
    fd_ = -1;
    ::unlink(temp_.c_str());
    throw EFCreateError(path_, error);
}

void TextFileWriter::Flush()
{
    const std::size_t pending = used_;
    used_ = 0;
    if (pending > 0 && !fileops::WriteAll(fd_, buffer_.data(), pending))
        Fail(errno);
}

// Plain copies into the pending chunk: this runs once per piece of every
// line of a million-line file.
void TextFileWriter::Append(std::string_view piece)
{
    if (piece.size() > buffer_.size() - used_) {
        Flush();
        if (piece.size() > buffer_.size()) {
            if (!fileops::WriteAll(fd_, piece.data(), piece.size()))
                Fail(errno);
            return;
        }
    }
    std::memcpy(buffer_.data() + used_, piece.data(), piece.size());
    used_ += piece.size();
}

void TextFileWriter::WriteLineSlow(std::initializer_list<std::string_view> pieces)
{
    if (fd_ < 0)
        throw EFCreateError(path_);
    for (std::string_view piece : pieces)
        Append(piece);
    Append(kLineEnd);
}

void TextFileWriter::Close()
{
    if (fd_ < 0)
        return;
    Flush();
    buffer_.clear();
    buffer_.shrink_to_fit();
    const int fd = fd_;
    fd_ = -1;
    if (const int error = CommitFile(fd, temp_, ResolveFileLinks(path_)); error != 0) {
        ::unlink(temp_.c_str());
        throw EFCreateError(path_, error);
    }
}

} // namespace kartivo::platform
