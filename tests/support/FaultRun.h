#pragma once
// Helpers of the fault tests: a scope that leaves the file-operation layer
// unarmed whatever happens, a child process that runs a piece of work (and
// may be ended by an armed fault, as a kill would end it), and the
// temporary files a folder holds.
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/FileOps.h"
#include "platform/Files.h"

namespace kartivo::testing {

class FaultScope {
public:
    FaultScope() = default;
    ~FaultScope() { platform::fileops::StopCounting(); }
    FaultScope(const FaultScope&) = delete;
    FaultScope& operator=(const FaultScope&) = delete;
};

// Runs `work` in a child process and returns its exit status: 0 when it
// ran to its end, 1 when it threw, platform::fileops::kFaultExitStatus when
// an armed fault ended it, -1 when it died otherwise.
inline int RunInChild(const std::function<void()>& work)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        int status = 0;
        try {
            work();
        } catch (...) {
            status = 1;
        }
        ::_exit(status);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// The names of the temporary files of replacing writes in `folder` (and,
// with `recursive`, its subfolders).
inline std::vector<std::string> TempFilesIn(const std::string& folder, bool recursive = true)
{
    std::vector<std::string> found;
    std::error_code ec;
    if (recursive) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ec))
            if (platform::IsTempFileName(entry.path().filename().string()))
                found.push_back(entry.path().string());
    } else {
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
            if (platform::IsTempFileName(entry.path().filename().string()))
                found.push_back(entry.path().string());
    }
    return found;
}

} // namespace kartivo::testing
