#include "join/Output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace kartivo::join {

TempFiles::~TempFiles() { RemoveAll(); }

void TempFiles::RemoveAll()
{
    for (const std::string& path : paths_)
        ::unlink(path.c_str());
    paths_.clear();
}

namespace {

// The process's file creation mask, read without changing it (umask() would
// change it for every thread for a moment).
mode_t CurrentUmask()
{
    mode_t mask = 022;
    if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, "Umask:", 6) == 0) {
                mask = static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8));
                break;
            }
        std::fclose(f);
    }
    return mask;
}

} // namespace

std::string TempFiles::Create(const std::string& folder, const std::string& baseName)
{
    // 1 + 200 + 15 bytes at most; the cut never splits a UTF-8 character.
    constexpr std::size_t kMaxBase = 200;
    std::size_t keep = std::min(baseName.size(), kMaxBase);
    while (keep < baseName.size() && keep > 0 && (static_cast<unsigned char>(baseName[keep]) & 0xc0) == 0x80)
        --keep;
    std::string path = folder + "." + baseName.substr(0, keep) + ".partial-XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0)
        throw JoinError("Cannot create file " + path.substr(0, path.size() - 6) + "... (" +
                        std::strerror(errno) + ")");
    // mkstemp makes the file private to its owner; the finished output gets
    // the permissions any new file of the user gets.
    ::fchmod(fd, 0666 & ~CurrentUmask());
    ::close(fd);
    paths_.push_back(path);
    return path;
}

void TempFiles::Commit(const std::vector<platform::FileCommit>& files)
{
    const platform::CommitResult result = platform::CommitFiles(files);
    for (std::size_t i = 0; i < result.Placed; ++i)
        paths_.erase(std::remove(paths_.begin(), paths_.end(), files[i].Temp), paths_.end());
    if (result.Error != 0)
        throw JoinError("Cannot create file " + files[result.Index].Target + " (" +
                        std::strerror(result.Error) + ")");
}

} // namespace kartivo::join
