#pragma once
// platejoin's command line: parses the arguments, combines the project with
// progress on standard error and prints the outcome, one clear line on any
// failure. Qt-free, so tests call it directly with their own streams.
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace kartivo::join {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCancelled = 130; // as a shell reports an interrupt

extern const char* const kUsageText;

// Runs `platejoin ARGS...` (args without the program name). `out` gets the
// help text, `err` the progress and the outcome. `cancel`, when given, is
// polled (the signal handler of the real program sets it).
int RunCommandLine(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
                   const std::atomic<bool>* cancel = nullptr);

} // namespace kartivo::join
