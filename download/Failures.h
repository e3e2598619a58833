#pragma once
// How a failed tile request is classified, for both places that fetch tiles:
// the download worker (download/Unit3.h) and the re-download run over a
// failed-tiles list (ui/FailedTilesRun.h). Rows are tried in order and the
// first that matches decides; where the two callers treat a row differently
// (a "400" status, where a refused proxy is checked, a failure without text),
// the table in Failures.cpp says so in its two columns. What each caller then
// does with the outcome (retry, pause, blank substitute, stop) stays with it.
// This module also owns the messages shown for the outcomes that end a run.
#include <string>

namespace kartivo::download {

enum class Failure {
    Reset,        // "10054" or "Connection Closed Gracefully": retried
    AddressInUse, // "10048": retried
    Ban,          // "302" or "403": the server refuses us, the run stops
    Network,      // "Socket Error": a lasting network failure, the run stops
    ProxyRefused, // the proxy refused the user name or password, the run stops
    NotFound,     // the tile is not on the server
    Other,        // any other failure
    NoText,       // a failure that carried no text (worker only)
};

// Which of the two callers asks.
enum class FailureCaller { Worker, Redownload };

// `text` is the failure's text; `proxyRefused` says the reply was a 407 or a
// 401 while a proxy was in use.
Failure ClassifyFailure(FailureCaller caller, const std::string& text, bool proxyRefused);

// Messages shown once a failure ends a run (and the not-found message).
inline constexpr const char* kBanMessage = "Error: may be your IP is banned.\nPlease try again later.";
inline constexpr const char* kNetworkMessage = "Error: Your network has problem, please check it.";
inline constexpr const char* kNotFoundMessage = "Error: the image is not found on server.";
inline constexpr const char* kProxyRefusedMessage =
    "Error: the proxy refused the user name or password. Check them in Options.";

} // namespace kartivo::download
