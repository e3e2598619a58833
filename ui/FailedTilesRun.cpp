#include "ui/FailedTilesRun.h"

#include "core/MapTypes.h"
#include "download/Failures.h"
#include "download/IdHTTP.h"
#include "download/ProxySetting.h"
#include "download/Unit3.h"
#include "platform/Files.h"
#include "platform/TextLineReader.h"
#include "task/Unitclasstask.h"
#include "ui/OptionsSettings.h"

#include <algorithm>
#include <exception>

namespace kartivo::ui {

void ConfigureRedownloadClient(download::TIdHTTP& http)
{
    http.Request.Referer = core::kMapSiteAddress;
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
    std::size_t i = 0;
    RunLines(lines.size(), [&](std::string& line) {
        if (i == lines.size())
            return false;
        line = lines[i++];
        return true;
    });
}

void FailedTilesRun::Run(platform::TextLineReader& list)
{
    list.Rewind();
    const std::size_t count = list.CountRemaining();
    list.Rewind();
    RunLines(count, [&](std::string& line) { return list.Next(line); });
}

void FailedTilesRun::RunLines(std::size_t count, const std::function<bool(std::string&)>& next)
{
    std::string line;
    if (count == 0 || !next(line)) {
        report_(ftl::kNoRecords);
        return;
    }
    report_(ftl::kStart);
    if (started_)
        started_();
    std::size_t finished = 0;
    for (bool more = true; more && !stop_; more = next(line)) {
        // A list that grew since it was counted still shows a true "n of m".
        count = std::max(count, finished + 1);
        if (progress_)
            progress_(finished + 1, count);
        const bool goOn = FetchLine(line);
        ++finished;
        if (!goOn)
            break;
    }
    if (progress_)
        progress_(finished, std::max(count, finished));
    report_(ftl::kEnd);
}

namespace {

// The last part of a path, after its last "/".
std::string FileNameOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

bool FailedTilesRun::FetchLine(const std::string& line)
{
    const task::FailedEntry entry = task::SplitFailedLine(line);
    if (!core::IsTileFileName(FileNameOf(entry.Path))) {
        report_(ftl::kNotATilePrefix + line);
        return true;
    }
    download::TMemoryStream buffer;
    std::string failure;
    bool fetched = false;
    bool proxyRefused = false;
    download::Failure kind = download::Failure::Other;
    for (int repeats = 0;; ++repeats) {
        // Every attempt starts from an empty buffer, so that no part of a
        // failed reply ends up in front of the image.
        buffer.Clear();
        try {
            http_.Get(entry.Url, buffer);
            fetched = true;
            break;
        } catch (const download::EIdHTTPProtocolException& e) {
            failure = e.what();
            proxyRefused = !http_.Request.ProxyServer.empty() && (e.ErrorCode == 407 || e.ErrorCode == 401);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        // Failures worth an immediate repetition: the server reset the
        // connection, the local address was in use, or a kept-open
        // connection had been dropped.
        kind = download::ClassifyFailure(download::FailureCaller::Redownload, failure, proxyRefused);
        if (kind != download::Failure::Reset && kind != download::Failure::AddressInUse)
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
    switch (kind) {
    case download::Failure::ProxyRefused:
        // Every further tile would be refused alike.
        report_(download::kProxyRefusedMessage);
        return false;
    case download::Failure::Ban: report_(download::kBanMessage); return false;
    case download::Failure::Network: report_(download::kNetworkMessage); return false;
    case download::Failure::NotFound: report_(entry.Url + ":" + download::kNotFoundMessage); return true;
    default: return true;
    }
}

} // namespace kartivo::ui
