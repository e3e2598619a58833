#pragma once
// One re-download run over a failed-tiles list, free of Qt: every line's URL
// is fetched again with the caller's HTTP client and stored at the line's
// tile path, and every outcome becomes one report line.
//
// Life of a run: "Start..." -> for each line: split at the first "|", skip
// it with its own report line unless its path names a tile file, GET
// (repeated at once after a reset, an address in use or a dropped kept-open
// connection, at most kMaxRepeats times), store or report -> "Download End.".
// Lines are taken one at a time from their source, so a list of any length
// costs the same memory.
// A stop request ends the run after the current line, with "Download End.".
// The run may go on a thread of its own: a stop request is safe from any
// thread, and the sinks run on the run's thread.
// Failures are classified by download/Failures.h.
// A refusal (302/403), a network failure or a proxy that refuses the user
// name or password ends it early with its message;
// a tile file that cannot be written ends it by raising EFCreateError, and
// then no "Download End." is reported.
#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace kartivo::download {
class TIdHTTP;
}
namespace kartivo::platform {
class TextLineReader;
}

namespace kartivo::ui {

struct OptionsValues;

// Report texts of the re-download window; the messages of the failures that
// end a run, and of a tile not on the server, are download/Failures.h's.
namespace ftl {
inline constexpr const char* kNoRecords = "No failed files records.";
inline constexpr const char* kStart = "Start...";
inline constexpr const char* kOkSuffix = " ->OK";
inline constexpr const char* kGivenUpJoin = "->";
inline constexpr const char* kEnd = "Download End.";
// Put in front of a line whose path is not a tile file: it is skipped, so a
// list can never make the run overwrite any other file.
inline constexpr const char* kNotATilePrefix = "Skipped, not a tile of a Kartivo task: ";
inline constexpr const char* kUserAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)";
inline constexpr const char* kConnection = "Keep_Alive";
} // namespace ftl

// Sets the request fields a re-download run sends: the map site as referer
// (a bare value: a line end in it would end the header block early, leaving
// the user agent, the connection and the proxy's authorization outside),
// the fixed user agent, "Keep_Alive", and no proxy.
void ConfigureRedownloadClient(download::TIdHTTP& http);
// The same, through the proxy of the settings when they say UseProxy=1, with
// its credentials, as a download does. Returns "" or, when the proxy port is
// no port number, the sentence that says so (the client then has no proxy).
std::string ConfigureRedownloadClient(download::TIdHTTP& http, const OptionsValues& settings);

class FailedTilesRun {
public:
    using LineSink = std::function<void(const std::string& line)>;

    // After this many immediate repetitions of one request the tile counts
    // as given up, so a server that keeps resetting cannot hold the window.
    static constexpr int kMaxRepeats = 10;

    // `started` runs once, right after "Start..." was reported (the window
    // lets itself repaint there).
    FailedTilesRun(download::TIdHTTP& http, LineSink report, std::function<void()> started = {});

    // Runs over the lines of a list file. Throws platform::EFCreateError when
    // a tile file cannot be written.
    void Run(const std::vector<std::string>& lines);
    // The same, reading the list as it goes: the lines are counted first
    // (for the progress), then read again one at a time. Read failures raise
    // platform::EFOpenError.
    void Run(platform::TextLineReader& list);

    // Called before each line with the lines begun so far (1-based) and the
    // line count, and once more with the lines finished when the run ends.
    void SetProgress(std::function<void(std::size_t current, std::size_t count)> progress)
    {
        progress_ = std::move(progress);
    }
    // Ends the run after the line being fetched (from any thread).
    void RequestStop() { stop_ = true; }
    bool StopRequested() const { return stop_; }

private:
    // `next` gives the lines one at a time, false after the last.
    void RunLines(std::size_t count, const std::function<bool(std::string&)>& next);
    // true: go on with the next line; false: the run ends.
    bool FetchLine(const std::string& line);

    download::TIdHTTP& http_;
    LineSink report_;
    std::function<void()> started_;
    std::function<void(std::size_t, std::size_t)> progress_;
    std::atomic<bool> stop_{false};
};

} // namespace kartivo::ui
