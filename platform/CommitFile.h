#pragma once
// The one way a finished file takes the place of the file it replaces: its
// bytes are flushed to disk, it is renamed over the target, and the folder is
// flushed after the rename, so that a crash or a power cut leaves the target
// wholly old or wholly new. Every writer that replaces a file ends here.
#include <cstddef>
#include <string>
#include <vector>

namespace kartivo::platform {

// Commits the temporary file `temp`, still open for writing as `fd`, as
// `target` (in the same folder). `fd` is closed here whatever happens.
// Returns 0, or the errno of the step that failed; the target is then as it
// was and `temp` is left for the caller to remove.
int CommitFile(int fd, const std::string& temp, const std::string& target);

// A finished, closed temporary file and the file it is to become.
struct FileCommit {
    std::string Temp;
    std::string Target;
};

// How CommitFiles went.
struct CommitResult {
    int Error = 0;          // 0: every file is in its place; else the first failure's errno
    std::size_t Index = 0;  // the file that failed
    std::size_t Placed = 0; // the first Placed files took their targets' places
};

// Commits a set of files written by one run: every temporary is flushed to
// disk first (a failure there leaves every target as it was), then each is
// renamed over its target in the order given, then each folder is flushed
// once. The temporaries left after a failure are the caller's to remove.
CommitResult CommitFiles(const std::vector<FileCommit>& files);

} // namespace kartivo::platform
