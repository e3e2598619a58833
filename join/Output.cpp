#include "join/Output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace join {

TempFiles::~TempFiles() {
    RemoveAll();
}

void TempFiles::RemoveAll() {
    for (const std::string& path : paths_)
        ::unlink(path.c_str());
    paths_.clear();
}

std::string TempFiles::Create(const std::string& folder, const std::string& baseName) {
    std::string path = folder + "." + baseName + ".partial-XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0)
        throw JoinError("Cannot create file " + path.substr(0, path.size() - 6) + "... (" +
                        std::strerror(errno) + ")");
    ::close(fd);
    paths_.push_back(path);
    return path;
}

void TempFiles::Commit(const std::string& temp, const std::string& target) {
    if (std::rename(temp.c_str(), target.c_str()) != 0)
        throw JoinError("Cannot create file " + target + " (" + std::strerror(errno) + ")");
    paths_.erase(std::remove(paths_.begin(), paths_.end(), temp), paths_.end());
}

} // namespace join
