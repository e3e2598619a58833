#include "view/OutputFile.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Files.h"

namespace kartivo::view {

namespace {

bool WriteStream(const std::string& path, const std::string& bytes, std::string& error)
{
    // Non-blocking open: a pipe without a reader fails at once (ENXIO)
    // instead of waiting for one that may never come. No O_CREAT, no
    // O_TRUNC: the node is written to as it is.
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = errno == ENXIO ? "Nobody reads from the named pipe " + path + "."
                               : "Cannot write to " + path + ": " + std::strerror(errno) + ".";
        return false;
    }
    // Once open, the reader sets the pace.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "Cannot write to " + path + ": " + std::strerror(n < 0 ? errno : EIO) + ".";
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && errno != EINTR) {
        error = "Cannot write to " + path + ": " + std::strerror(errno) + ".";
        return false;
    }
    return true;
}

} // namespace

bool WriteOutputFile(const std::string& path, const std::string& bytes, std::string& error)
{
    error.clear();
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))
            return WriteStream(path, bytes, error);
        error = path + (S_ISDIR(st.st_mode) ? " is a folder" : " is a device or socket") +
                ", not a file a picture can be written to.";
        return false;
    }
    try {
        platform::WriteFileAtomic(path, bytes.data(), bytes.size());
        return true;
    } catch (const std::exception&) {
        error = "Cannot create file " + path;
        return false;
    }
}

} // namespace kartivo::view
