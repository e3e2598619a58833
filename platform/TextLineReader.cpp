#include "platform/TextLineReader.h"

#include "platform/Errors.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kartivo::platform {

namespace {
constexpr std::size_t kChunkBytes = 64 * 1024;
}

TextLineReader::TextLineReader(const std::string& path, std::size_t maxLineBytes)
    : path_(path), maxLineBytes_(maxLineBytes == 0 ? 1 : maxLineBytes)
{
    // Checked before opening, so that opening has no side effects (a pipe's
    // writer, a terminal), and again on the open file, which may have been
    // swapped in between.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw EFOpenError(path);
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd_ < 0)
        throw EFOpenError(path);
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        throw EFOpenError(path);
    }
    buffer_.reserve(kChunkBytes);
}

TextLineReader::~TextLineReader()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool TextLineReader::Fill()
{
    if (eof_)
        return false;
    buffer_.erase(0, pos_);
    pos_ = 0;
    const std::size_t old = buffer_.size();
    buffer_.resize(old + kChunkBytes);
    ssize_t n;
    do {
        n = ::read(fd_, buffer_.data() + old, kChunkBytes);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        buffer_.resize(old);
        throw EFOpenError(path_);
    }
    buffer_.resize(old + static_cast<std::size_t>(n));
    if (n == 0)
        eof_ = true;
    return n > 0;
}

bool TextLineReader::Next(std::string& line)
{
    line.clear();
    cut_ = false;
    bool any = false; // a line has begun (even an empty one ended by its line end)
    for (;;) {
        if (pos_ == buffer_.size() && !Fill()) {
            skipLf_ = false;
            return any;
        }
        if (skipLf_) {
            skipLf_ = false;
            if (buffer_[pos_] == '\n')
                ++pos_;
            continue;
        }
        any = true;
        std::size_t end = pos_;
        while (end < buffer_.size() && buffer_[end] != '\r' && buffer_[end] != '\n')
            ++end;
        const std::size_t room = maxLineBytes_ - line.size();
        if (end - pos_ > room) {
            line.append(buffer_, pos_, room);
            cut_ = true;
        } else {
            line.append(buffer_, pos_, end - pos_);
        }
        if (end == buffer_.size()) {
            pos_ = end;
            continue; // the line goes on in the next chunk
        }
        skipLf_ = buffer_[end] == '\r';
        pos_ = end + 1;
        return true;
    }
}

void TextLineReader::Rewind()
{
    if (::lseek(fd_, 0, SEEK_SET) < 0)
        throw EFOpenError(path_);
    buffer_.clear();
    pos_ = 0;
    eof_ = false;
    skipLf_ = false;
    cut_ = false;
}

std::size_t TextLineReader::CountRemaining()
{
    std::size_t count = 0;
    std::string line;
    while (Next(line))
        ++count;
    return count;
}

} // namespace kartivo::platform
