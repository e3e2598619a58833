#pragma once
// What every writer of the combiner shares: the failure it raises (its text
// is the sentence the user sees), the cancel and progress hooks it polls, and
// the temporary files it makes beside the output, which are removed on any
// way out unless the writer hands them over.
#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/CommitFile.h"

namespace kartivo::join {

class JoinError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// Raised when the caller asked to cancel; carries no message of its own.
class JoinCancelled : public std::exception {};

// Shared between the thread that combines and the one that watches it.
struct JoinControl {
    std::atomic<bool> Cancel{false};
    // Called from the combining thread after each tile or block: tiles done,
    // tiles in all. Keep it cheap.
    std::function<void(std::int64_t done, std::int64_t total)> Progress;
    // A flag set from outside (a signal handler), read as Cancel is: an
    // interruption counts whenever it comes before the output is committed,
    // also after the last tile, when no progress is reported any more.
    const std::atomic<bool>* Interrupt = nullptr;

    bool Cancelled() const
    {
        return Cancel.load(std::memory_order_relaxed) || (Interrupt && Interrupt->load());
    }
    void Poll() const
    {
        if (Cancelled())
            throw JoinCancelled();
    }
};

// Temporary files that vanish when the object ends, unless kept.
class TempFiles {
public:
    TempFiles() = default;
    ~TempFiles();
    TempFiles(const TempFiles&) = delete;
    TempFiles& operator=(const TempFiles&) = delete;

    // Creates an empty file with a fresh name in `folder` (ending in the
    // separator), hidden and marked as unfinished, and returns its path.
    // Only the start of a long `baseName` is used, so that the name stays
    // within the 255 bytes a file name may have whatever the output's name.
    // Throws JoinError naming the folder when it refuses the file.
    std::string Create(const std::string& folder, const std::string& baseName);
    // Puts the finished files in their targets' places (replacing them), in
    // order, each flushed to disk before any is renamed, and stops watching
    // those placed. Throws JoinError naming the file that failed.
    void Commit(const std::vector<platform::FileCommit>& files);
    void RemoveAll();

private:
    std::vector<std::string> paths_;
};

} // namespace kartivo::join
