#include "download/Failures.h"

#include <initializer_list>
#include <optional>

namespace kartivo::download {

namespace {

// What a row looks at: the proxy's refusal, a failure without text, or the
// substrings of the text.
enum class Match { ProxyRefusal, EmptyText, Substrings };

// A row that does not apply to a caller: the next row is tried.
constexpr std::optional<Failure> kSkip;

struct Row {
    Match match;
    std::initializer_list<const char*> parts; // for Match::Substrings, any of them
    std::optional<Failure> worker;            // kSkip: the row is not the worker's
    std::optional<Failure> redownload;        // kSkip: the row is not the re-download's
};

// First match wins; a text that matches no row is Failure::Other.
// - The worker checks a refused proxy before anything else, the re-download
//   only after its immediate repeats (a reset, an address in use).
// - Only the worker tells a failure without text apart (its log line then
//   names the tile file instead of the text).
// - "400" is a missing tile for the worker; the re-download reports it by its
//   text alone and goes on.
const Row kRows[] = {
    {Match::ProxyRefusal, {}, Failure::ProxyRefused, kSkip},
    {Match::EmptyText, {}, Failure::NoText, kSkip},
    {Match::Substrings, {"10054", "Connection Closed Gracefully"}, Failure::Reset, Failure::Reset},
    {Match::Substrings, {"10048"}, Failure::AddressInUse, Failure::AddressInUse},
    {Match::ProxyRefusal, {}, kSkip, Failure::ProxyRefused},
    {Match::Substrings, {"302", "403"}, Failure::Ban, Failure::Ban},
    {Match::Substrings, {"Socket Error"}, Failure::Network, Failure::Network},
    {Match::Substrings, {"404"}, Failure::NotFound, Failure::NotFound},
    {Match::Substrings, {"400"}, Failure::NotFound, kSkip},
};

bool Matches(const Row& row, const std::string& text, bool proxyRefused)
{
    switch (row.match) {
    case Match::ProxyRefusal: return proxyRefused;
    case Match::EmptyText: return text.empty();
    case Match::Substrings:
        for (const char* part : row.parts)
            if (text.find(part) != std::string::npos)
                return true;
        return false;
    }
    return false;
}

} // namespace

Failure ClassifyFailure(FailureCaller caller, const std::string& text, bool proxyRefused)
{
    for (const Row& row : kRows) {
        const std::optional<Failure>& outcome = caller == FailureCaller::Worker ? row.worker : row.redownload;
        if (outcome && Matches(row, text, proxyRefused))
            return *outcome;
    }
    return Failure::Other;
}

} // namespace kartivo::download
