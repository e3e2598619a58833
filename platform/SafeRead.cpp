#include "platform/SafeRead.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kartivo::platform {

namespace {

struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

std::string SizeText(std::size_t bytes)
{
    if (bytes >= (std::size_t{1} << 20) && bytes % (std::size_t{1} << 20) == 0)
        return std::to_string(bytes >> 20) + " MB";
    if (bytes >= 1024 && bytes % 1024 == 0)
        return std::to_string(bytes >> 10) + " KB";
    return std::to_string(bytes) + " bytes";
}

} // namespace

ReadStatus ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string& bytes)
{
    bytes.clear();
    // stat first: opening a FIFO for reading blocks until a writer comes,
    // even before fstat could tell what it is.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return (errno == ENOENT || errno == ENOTDIR) ? ReadStatus::Missing : ReadStatus::Failed;
    if (!S_ISREG(st.st_mode))
        return ReadStatus::NotRegular;
    if (static_cast<unsigned long long>(st.st_size) > maxBytes)
        return ReadStatus::TooLarge;
    // O_NONBLOCK: should the name have been swapped for a FIFO since the
    // stat, the open returns at once instead of waiting for a writer.
    Fd file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (file.fd < 0)
        return errno == ENOENT ? ReadStatus::Missing : ReadStatus::Failed;
    if (::fstat(file.fd, &st) != 0)
        return ReadStatus::Failed;
    if (!S_ISREG(st.st_mode))
        return ReadStatus::NotRegular;
    if (static_cast<unsigned long long>(st.st_size) > maxBytes)
        return ReadStatus::TooLarge;
    bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t used = 0;
    for (;;) {
        if (used == bytes.size()) {
            // The file may have grown since fstat: look one chunk further,
            // never past the bound (+1 to tell "exactly the bound" apart).
            if (used > maxBytes)
                break;
            const std::size_t more = std::min<std::size_t>(64 * 1024, maxBytes + 1 - used);
            bytes.resize(used + more);
        }
        const ssize_t n = ::read(file.fd, bytes.data() + used, bytes.size() - used);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            bytes.clear();
            return ReadStatus::Failed;
        }
        if (n == 0)
            break;
        used += static_cast<std::size_t>(n);
    }
    if (used > maxBytes) {
        bytes.clear();
        return ReadStatus::TooLarge;
    }
    bytes.resize(used);
    return ReadStatus::Ok;
}

long long RegularFileSize(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<long long>(st.st_size);
}

std::string ReadStatusText(ReadStatus status, std::size_t maxBytes)
{
    switch (status) {
    case ReadStatus::Ok: return "read";
    case ReadStatus::Missing: return "missing";
    case ReadStatus::NotRegular: return "not a regular file";
    case ReadStatus::TooLarge: return "larger than " + SizeText(maxBytes);
    case ReadStatus::Failed: return "cannot be read";
    }
    return "cannot be read";
}

} // namespace kartivo::platform
