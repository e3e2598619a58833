// The failure table both tile fetchers share: for each text, what the worker
// and the re-download run make of it. The worker's and the re-download's own
// tests show what each then does (retry, blank, stop, message).
#include "download/Failures.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace kartivo::download {

namespace {

struct FailureRow {
    const char* label;
    std::string text;
    bool proxyRefused;
    Failure worker;
    Failure redownload;
};

void PrintTo(const FailureRow& row, std::ostream* os) { *os << row.label; }

class FailureTable : public ::testing::TestWithParam<FailureRow> {};

TEST_P(FailureTable, BothCallersClassifyTheText)
{
    const FailureRow& row = GetParam();
    EXPECT_EQ(ClassifyFailure(FailureCaller::Worker, row.text, row.proxyRefused), row.worker);
    EXPECT_EQ(ClassifyFailure(FailureCaller::Redownload, row.text, row.proxyRefused), row.redownload);
}

using F = Failure;

INSTANTIATE_TEST_SUITE_P(
    Rows, FailureTable,
    ::testing::Values(
        FailureRow{"Reset10054", "Socket Error # 10054\r\nConnection reset by peer.", false, F::Reset,
                   F::Reset},
        FailureRow{"ClosedGracefully", "Connection Closed Gracefully.", false, F::Reset, F::Reset},
        FailureRow{"AddressInUse10048", "Socket Error # 10048\r\nAddress already in use.", false,
                   F::AddressInUse, F::AddressInUse},
        // A reset wins over an address in use, and both over later rows.
        FailureRow{"ResetBeforeAddressInUse", "10048 then 10054", false, F::Reset, F::Reset},
        FailureRow{"AddressInUseBeforeBan", "403 10048", false, F::AddressInUse, F::AddressInUse},
        FailureRow{"Ban403", "HTTP/1.1 403 Forbidden", false, F::Ban, F::Ban},
        FailureRow{"Ban302", "HTTP/1.1 302 Found", false, F::Ban, F::Ban},
        FailureRow{"BanBeforeNetwork", "Socket Error 403", false, F::Ban, F::Ban},
        FailureRow{"Network", "Socket Error # 10061\r\nConnection refused.", false, F::Network, F::Network},
        FailureRow{"NetworkBeforeNotFound", "Socket Error 404", false, F::Network, F::Network},
        FailureRow{"NotFound404", "HTTP/1.1 404 Not Found", false, F::NotFound, F::NotFound},
        // The two callers differ here: only the worker takes a 400 for a missing tile.
        FailureRow{"BadRequest400", "HTTP/1.1 400 Bad Request", false, F::NotFound, F::Other},
        FailureRow{"OtherStatus", "HTTP/1.1 500 Internal Server Error", false, F::Other, F::Other},
        // Only the worker tells a failure without text apart.
        FailureRow{"NoText", "", false, F::NoText, F::Other},
        // A refused proxy: the worker checks it first, the re-download after
        // its immediate repeats.
        FailureRow{"ProxyRefused407", "HTTP/1.1 407 Proxy Authentication Required", true, F::ProxyRefused,
                   F::ProxyRefused},
        FailureRow{"ProxyRefusedWithoutText", "", true, F::ProxyRefused, F::ProxyRefused},
        FailureRow{"ProxyRefusedBeforeBan", "407 403", true, F::ProxyRefused, F::ProxyRefused},
        FailureRow{"ProxyRefusedWithReset", "407 10054", true, F::ProxyRefused, F::Reset},
        FailureRow{"ProxyRefusedWithAddressInUse", "407 10048", true, F::ProxyRefused, F::AddressInUse}),
    [](const ::testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.label); });

} // namespace

} // namespace kartivo::download
