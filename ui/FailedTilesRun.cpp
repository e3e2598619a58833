#include "ui/FailedTilesRun.h"

#include "core/MapTypes.h"
#include "download/IdHTTP.h"
#include "download/ProxySetting.h"
#include "platform/Files.h"
#include "task/Unitclasstask.h"
#include "ui/OptionsSettings.h"

#include <exception>

namespace kartivo::ui {

void ConfigureRedownloadClient(download::TIdHTTP& http)
{
    // The CR LF belongs to the value: it goes on the wire as it stands.
    http.Request.Referer = std::string(core::kMapSiteAddress) + "\r\n";
    http.Request.UserAgent = ftl::kUserAgent;
    http.Request.Connection = ftl::kConnection;
    http.Request.ProxyServer.clear();
    http.Request.ProxyPort = 0;
    http.Request.ProxyUsername.clear();
    http.Request.ProxyPassword.clear();
}

std::string ConfigureRedownloadClient(download::TIdHTTP& http, const OptionsValues& settings)
{
    ConfigureRedownloadClient(http);
    if (!settings.UseProxy)
        return {};
    return download::ApplyProxy(http, settings.ProxyServer, settings.ProxyPort, settings.ProxyUsername,
                                settings.ProxyPassword);
}

FailedTilesRun::FailedTilesRun(download::TIdHTTP& http, LineSink report, std::function<void()> started)
    : http_(http), report_(std::move(report)), started_(std::move(started))
{
}

void FailedTilesRun::Run(const std::vector<std::string>& lines)
{
    if (lines.empty()) {
        report_(ftl::kNoRecords);
        return;
    }
    report_(ftl::kStart);
    if (started_)
        started_();
    std::size_t finished = 0;
    for (std::size_t i = 0; i < lines.size() && !stop_; ++i) {
        if (progress_)
            progress_(i + 1, lines.size());
        const bool goOn = FetchLine(lines[i]);
        finished = i + 1;
        if (!goOn)
            break;
    }
    if (progress_)
        progress_(finished, lines.size());
    report_(ftl::kEnd);
}

namespace {

bool Contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

// Failures worth an immediate repetition: the server reset the connection,
// the local address was in use, or a kept-open connection had been dropped.
bool IsRepeatable(const std::string& text)
{
    return Contains(text, "10054") || Contains(text, "10048") ||
           Contains(text, "Connection Closed Gracefully");
}

} // namespace

bool FailedTilesRun::FetchLine(const std::string& line)
{
    const task::FailedEntry entry = task::SplitFailedLine(line);
    download::TMemoryStream buffer;
    std::string failure;
    bool fetched = false;
    for (int repeats = 0;; ++repeats) {
        // Every attempt starts from an empty buffer, so that no part of a
        // failed reply ends up in front of the image.
        buffer.Clear();
        try {
            http_.Get(entry.Url, buffer);
            fetched = true;
            break;
        } catch (const std::exception& e) {
            failure = e.what();
        }
        if (!IsRepeatable(failure))
            break;
        if (repeats == kMaxRepeats) {
            // Given up after the bound: reported by its text line alone,
            // then the next line.
            report_(failure + ftl::kGivenUpJoin + entry.Url);
            return true;
        }
    }

    if (fetched) {
        // Stored through a temporary name, so an interrupted write never
        // leaves half an image. EFCreateError ends the whole run.
        platform::WriteFileAtomic(entry.Path, buffer.Data(), buffer.Size());
        report_(entry.Path + ":" + entry.Url + ftl::kOkSuffix);
        return true;
    }

    report_(failure + ftl::kGivenUpJoin + entry.Url);
    if (Contains(failure, "302") || Contains(failure, "403")) {
        report_(ftl::kBanned);
        return false;
    }
    if (Contains(failure, "Socket Error")) {
        report_(ftl::kNetworkProblem);
        return false;
    }
    if (Contains(failure, "404"))
        report_(entry.Url + ftl::kNotFoundSuffix);
    return true;
}

} // namespace kartivo::ui
