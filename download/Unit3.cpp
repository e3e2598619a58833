#include "download/Unit3.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "download/Failures.h"
#include "download/IdHTTP.h"
#include "download/ProxySetting.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "task/Unitclasstask.h"

namespace kartivo::download {

namespace {

// Pause before the retry of a failure that is retried a bounded number of times.
int RetryPauseMs(Failure f) { return f == Failure::Network || f == Failure::ProxyRefused ? 2000 : 1000; }

constexpr int kStaggerStepMs = 100;
constexpr int kAddressInUsePauseMs = 8000;
constexpr int kMaxAttempts = 3;

} // namespace

std::string WorkerErrorLine(int threadIndex, const std::string& what)
{
    return "T" + std::to_string(threadIndex + 1) + " stopped by an error: " + what;
}

std::string TileWriteFailure::Message() const
{
    const std::string folder = platform::ExtractFilePath(Path);
    if (Error == ENOSPC || Error == EDQUOT)
        return "The disk is full: " + folder + ". Free some space, then press Start to continue the task.";
    return "A tile could not be saved in " + folder + ": " + std::strerror(Error) +
           ". Press Start to continue the task once this is put right.";
}

TDownThread::TDownThread(bool createSuspended, int threadIndex, const task::KvTask& task, IWorkerHost& host)
    : Task(task), ThreadIndex(threadIndex), host_(host), number_(std::to_string(threadIndex + 1))
{
    // Every member is in place: the thread may run Execute from here on.
    if (!createSuspended)
        Start();
}

TDownThread::~TDownThread() { WaitFor(); }

std::pair<int, int> TDownThread::CurrentPosition() const
{
    const std::uint64_t v = current_.load();
    return {static_cast<int>(static_cast<std::uint32_t>(v >> 32)),
            static_cast<int>(static_cast<std::uint32_t>(v))};
}

void TDownThread::SetCurrent(int x, int y)
{
    current_.store((static_cast<std::uint64_t>(static_cast<std::uint32_t>(x)) << 32) |
                   static_cast<std::uint32_t>(y));
}

void TDownThread::AddToLog() { host_.AddLogLine(StatusText); }
void TDownThread::AddToFailedList() { host_.AddFailedLine(StatusText); }
void TDownThread::ThreadDone() { host_.WorkerDone(); }

void TDownThread::Log(const std::string& line)
{
    StatusText = line;
    Synchronize([this] { AddToLog(); });
}

void TDownThread::LogTileEnd(const std::string& line, int x, int y, TileOutcome outcome)
{
    StatusText = line;
    tileEnd_ = TileReport{x, y, outcome};
    Synchronize([this] {
        AddToLog();
        host_.TileEnded(tileEnd_);
    });
}

void TDownThread::ReportTileEnd(int x, int y, TileOutcome outcome)
{
    tileEnd_ = TileReport{x, y, outcome};
    Synchronize([this] { host_.TileEnded(tileEnd_); });
}

void TDownThread::RecordFailure(int x, int y, const std::string& url)
{
    StatusText = task::JoinFailedLine(Task.GetTileFilePath(x, y), url);
    Synchronize([this] { AddToFailedList(); });
}

// Last resort for a worker whose log itself failed: standard error, so that
// what happened is written somewhere.
void TDownThread::ReportOutsideLog(const std::string& step, const std::exception_ptr& error) const
{
    std::fprintf(stderr, "T%s %s failed: %s\n", number_.c_str(), step.c_str(),
                 platform::ExceptionText(error).c_str());
}

void TDownThread::Execute()
{
    // Nothing may keep the finish from running: the main window ends the
    // task only when every worker has counted itself out. What went wrong
    // is logged before " Finished.", so a dying worker says why.
    try {
        Scan();
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        try {
            Log(WorkerErrorLine(ThreadIndex, platform::ExceptionText(error)));
        } catch (...) {
            ReportOutsideLog("scan", error);
            ReportOutsideLog("log", std::current_exception());
        }
    }
    try {
        Log("T" + number_ + " Finished.");
    } catch (...) {
        ReportOutsideLog("finish log", std::current_exception());
    }
    try {
        Synchronize([this] { ThreadDone(); });
    } catch (...) {
        ReportOutsideLog("finish", std::current_exception());
    }
}

bool TDownThread::ConfigureProxy(TIdHTTP& http)
{
    const task::TaskParameters& p = Task.Params;
    const std::string error = ApplyProxy(http, p.ProxyServer, p.ProxyPort, p.ProxyUsername, p.ProxyPassword);
    if (!error.empty()) {
        Log("T" + number_ + " " + error);
        return false;
    }
    return true;
}

void TDownThread::Abandon()
{
    Terminate();
    std::lock_guard<std::mutex> lock(httpMutex_);
    if (http_)
        http_->Abort();
}

void TDownThread::Scan()
{
    // Http lives for this scan only and is gone before " Finished." is logged.
    TIdHTTP http;
    // Abandon reaches the client from here on; one that came before has
    // terminated the scan already, which the loop sees before any request.
    struct Registration {
        TDownThread& owner;
        explicit Registration(TDownThread& o, TIdHTTP& h) : owner(o)
        {
            std::lock_guard<std::mutex> lock(owner.httpMutex_);
            owner.http_ = &h;
        }
        ~Registration()
        {
            std::lock_guard<std::mutex> lock(owner.httpMutex_);
            owner.http_ = nullptr;
        }
    } registration(*this, http);
    if (Task.Params.UseProxy && !ConfigureProxy(http))
        return;

    blankImage_ = Task.BlankImageFile();

    const std::int64_t skip = Task.SkipCount(ThreadIndex);
    const int threadCount = Task.Params.ThreadCount;

    platform::SleepMs(ThreadIndex * kStaggerStepMs);

    // 64-bit loop variables: a range ending at the largest int must not wrap.
    std::int64_t seq = 0;
    for (std::int64_t x = Task.Xmin; x <= Task.Xmax; ++x) {
        for (std::int64_t y = Task.Ymin; y <= Task.Ymax; ++y) {
            if (Terminated())
                return;
            ++seq;
            if (seq <= skip)
                continue;
            if (!task::KvTask::BelongsToWorker(seq, ThreadIndex, threadCount))
                continue;
            if (DownloadTile(http, static_cast<int>(x), static_cast<int>(y), seq) == TileEnd::StopWorker)
                return;
        }
    }
}

TDownThread::TileEnd TDownThread::DownloadTile(TIdHTTP& http, int x, int y, std::int64_t seq)
{
    const std::string url = Task.GetTileUrl(x, y);
    TMemoryStream buffer;
    int attempts = 0;
    int unboundedRetries = 0; // consecutive retries of resets / address in use

    for (;;) {
        ++attempts;
        buffer.Clear(); // a failed attempt may have left an error page behind
        bool failed = false;
        bool proxyRefused = false;
        std::string text; // the failure's text; empty when it carries none
        try {
            http.Get(url, buffer);
        } catch (const EIdHTTPProtocolException& e) {
            failed = true;
            text = e.what();
            proxyRefused = !http.Request.ProxyServer.empty() && (e.ErrorCode == 407 || e.ErrorCode == 401);
        } catch (const std::exception& e) {
            failed = true;
            text = e.what();
        } catch (...) {
            failed = true;
        }
        if (failed && http.Aborted()) {
            // Abandoned: the request was cut short, not refused.
            ReportTileEnd(x, y, TileOutcome::Stopped);
            return TileEnd::StopWorker;
        }
        if (failed) {
            Failure f = ClassifyFailure(FailureCaller::Worker, text, proxyRefused);

            if (f == Failure::Reset || f == Failure::AddressInUse) {
                if (Terminated()) {
                    // No position: requested again on resume.
                    ReportTileEnd(x, y, TileOutcome::Stopped);
                    return TileEnd::Next;
                }
                if (unboundedRetries < kMaxUnboundedRetries) {
                    ++unboundedRetries;
                    if (f == Failure::AddressInUse) {
                        platform::SleepMs(kAddressInUsePauseMs);
                        if (Terminated()) {
                            ReportTileEnd(x, y, TileOutcome::Stopped);
                            return TileEnd::Next;
                        }
                    }
                    continue;
                }
                f = Failure::Other; // kept failing: give the tile up
            } else {
                unboundedRetries = 0;
                if (attempts < kMaxAttempts) {
                    platform::SleepMs(RetryPauseMs(f));
                    continue;
                }
            }

            const std::string failureLine = "T" + number_ + " " + text + "->" + url;
            switch (f) {
            case Failure::Ban:
                Log(failureLine);
                RecordFailure(x, y, url);
                LogTileEnd(kBanMessage, x, y, TileOutcome::Stopped);
                return TileEnd::StopWorker;
            case Failure::Network:
            case Failure::ProxyRefused:
                Log(failureLine);
                RecordFailure(x, y, url);
                LogTileEnd(f == Failure::Network ? kNetworkMessage : kProxyRefusedMessage, x, y,
                           TileOutcome::Stopped);
                return TileEnd::StopWorker;
            case Failure::NotFound:
                Log(kNotFoundMessage + text);
                SubstituteBlank(x, y, TileOutcome::Blank);
                return TileEnd::Next;
            case Failure::NoText:
                Log(Task.GetTileFileName(x, y) + ":failed ->" + url);
                RecordFailure(x, y, url);
                SubstituteBlank(x, y, TileOutcome::Failed);
                return TileEnd::Next;
            default:
                Log(failureLine);
                RecordFailure(x, y, url);
                SubstituteBlank(x, y, TileOutcome::Failed);
                return TileEnd::Next;
            }
        }

        // The request succeeded: store the tile whole.
        const std::string seqPart =
            "T" + number_ + ":seq=" + std::to_string(seq) + "," + Task.GetTileFileName(x, y);
        int error = 0;
        try {
            platform::WriteFileAtomic(Task.GetTileFilePath(x, y), buffer.Data(), buffer.Size());
        } catch (const platform::EFCreateError& e) {
            error = e.Error() != 0 ? e.Error() : EIO;
        } catch (...) {
            error = EIO;
        }
        if (error != 0) {
            // Not on disk: the position stays before this tile, and the
            // worker stops, since a full disk does not clear by itself.
            LogTileEnd(seqPart + " NULL", x, y, TileOutcome::NotSaved);
            writeFailure_ = TileWriteFailure{Task.GetTileFilePath(x, y), error};
            Synchronize([this] { host_.TileNotSaved(writeFailure_); });
            return TileEnd::StopWorker;
        }
        buffer = TMemoryStream(); // release the tile's bytes before pausing
        LogTileEnd(seqPart + " OK", x, y, TileOutcome::Saved);
        SetCurrent(x, y);
        platform::SleepMs(kPauseAfterSavedMs);
        return TileEnd::Next;
    }
}

void TDownThread::SubstituteBlank(int x, int y, TileOutcome outcome)
{
    // Result ignored: without a readable blank image the tile stays missing,
    // yet it counts as finished.
    platform::CopyFileNoReplace(blankImage_, Task.GetTileFilePath(x, y));
    LogTileEnd("T" + number_ + ":" + std::to_string(x) + "-" + std::to_string(y) + " got a blank image!", x,
               y, outcome);
    SetCurrent(x, y);
}

} // namespace kartivo::download
