// How the worker treats a failed request: the first substring of the
// failure's text decides between retrying, a blank substitute, a failure
// record and stopping. One worker, two tiles of one column: the first tile
// (A) is scripted, the second (B) is always served.
#include "tests/download/worker_fixture.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <tuple>

#include "platform/Socket.h"
#include "tests/support/AddressInUse.h"

namespace kartivo::download {

using testing::ScriptedReply;
using testing::WorkerTest;

namespace {

constexpr int kX = 4149, kA = 5373, kB = 5374;

ScriptedReply Reset() { return ScriptedReply::ResetConnection(); }
ScriptedReply Status(int code, const char* reason) { return ScriptedReply::Status(code, reason); }
std::vector<ScriptedReply> Times(int n, const std::function<ScriptedReply()>& make)
{
    std::vector<ScriptedReply> v;
    for (int i = 0; i < n; ++i)
        v.push_back(make());
    return v;
}
std::vector<ScriptedReply> Then(std::vector<ScriptedReply> a, std::vector<ScriptedReply> b)
{
    for (auto& r : b)
        a.push_back(std::move(r));
    return a;
}
ScriptedReply Redirect()
{
    ScriptedReply r;
    r.bytes = "HTTP/1.1 302 Found\r\nLocation: http://elsewhere.invalid/\r\nContent-Length: 0\r\n\r\n";
    return r;
}
// The body is cut short: the server closes while data is still due.
ScriptedReply CutShort()
{
    ScriptedReply r;
    r.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial";
    r.after = ScriptedReply::After::Close;
    return r;
}

const std::string kResetText = "Socket Error # 10054\r\nConnection reset by peer.";

enum class FileIs { Absent, Tile, Blank };

struct RowCase {
    const char* name;
    std::function<std::vector<ScriptedReply>()> script;
    // Expected log lines; {urlA} {nameA} {pathA} {nameB} are filled in.
    std::vector<std::string> log;
    std::vector<std::string> failed;
    std::vector<int> pauses; // every pause of the worker, stagger first
    int requestsA;
    bool requestsB; // false: the worker stopped at A
    FileIs fileA;
};

class Classification : public WorkerTest, public ::testing::WithParamInterface<RowCase> {
protected:
    std::string Fill(std::string s) const
    {
        const std::pair<const char*, std::string> keys[] = {{"{urlA}", Url(kX, kA)},
                                                            {"{nameA}", Name(kX, kA)},
                                                            {"{pathA}", Path(kX, kA)},
                                                            {"{nameB}", Name(kX, kB)}};
        for (const auto& [k, v] : keys)
            for (auto p = s.find(k); p != std::string::npos; p = s.find(k))
                s.replace(p, std::string(k).size(), v);
        return s;
    }
};

TEST_P(Classification, LogFailureRecordsPausesAndAttempts)
{
    const RowCase& c = GetParam();
    MakeTask(kX, kX, kA, kB);
    task_->Params.ThreadCount = 1;
    Script(kX, kA, c.script());
    RunWorkers({0});

    std::vector<std::string> log, failed;
    for (const auto& l : c.log)
        log.push_back(Fill(l));
    for (const auto& l : c.failed)
        failed.push_back(Fill(l));
    EXPECT_EQ(host_.Log, log);
    EXPECT_EQ(host_.Failed, failed);
    EXPECT_EQ(sleeps_.All(), c.pauses);
    EXPECT_EQ(Requests(kX, kA), c.requestsA);
    EXPECT_EQ(Requests(kX, kB), c.requestsB ? 1 : 0);
    switch (c.fileA) {
    case FileIs::Absent: EXPECT_FALSE(Exists(Path(kX, kA))); break;
    case FileIs::Tile: EXPECT_EQ(ReadFile(Path(kX, kA)), TileBody(kX, kA)); break;
    case FileIs::Blank: EXPECT_EQ(ReadFile(Path(kX, kA)), testing::kBlankPng); break;
    }
    // The position names the last tile finished: B when the worker went on.
    const auto expected = c.requestsB ? std::make_pair(kX, kB) : std::make_pair(0, 0);
    EXPECT_EQ(Worker(0).CurrentPosition(), expected);
}

const std::string kOkB = "T1:seq=2,{nameB} OK";
const std::string kFin = "T1 Finished.";
const std::string kBlankA = "T1:4149-5373 got a blank image!";

INSTANTIATE_TEST_SUITE_P(
    Worker, Classification,
    ::testing::Values(
        RowCase{"Saved",
                [] { return std::vector<ScriptedReply>{}; },
                {"T1:seq=1,{nameA} OK", kOkB, kFin},
                {},
                {0, 500, 500},
                1,
                true,
                FileIs::Tile},
        // Row 1: resets are retried at once, and count as attempts.
        RowCase{"Resets_retried_at_once",
                [] { return Times(2, Reset); },
                {"T1:seq=1,{nameA} OK", kOkB, kFin},
                {},
                {0, 500, 500},
                3,
                true,
                FileIs::Tile},
        RowCase{"Closed_gracefully_retried_at_once",
                [] { return Times(1, CutShort); },
                {"T1:seq=1,{nameA} OK", kOkB, kFin},
                {},
                {0, 500, 500},
                2,
                true,
                FileIs::Tile},
        // Two resets used up two attempts: a 404 ends the tile at once.
        RowCase{"Two_resets_then_404_blank_at_once",
                [] { return Then(Times(2, Reset), {Status(404, "Not Found")}); },
                {"Error: the image is not found on server.404 Not Found", kBlankA, kOkB, kFin},
                {},
                {0, 500},
                3,
                true,
                FileIs::Blank},
        // Row 2: address in use waits 8 s and is retried.
        RowCase{"Address_in_use_waits_8000",
                [] { return Times(2, [] { return Status(500, "Address already in use 10048"); }); },
                {"T1:seq=1,{nameA} OK", kOkB, kFin},
                {},
                {0, 8000, 8000, 500, 500},
                3,
                true,
                FileIs::Tile},
        // Row 3: "403" and "302" are a ban after three requests.
        RowCase{"Forbidden_is_a_ban",
                [] { return Times(3, [] { return Status(403, "Forbidden"); }); },
                {"T1 403 Forbidden->{urlA}", kBanMessage, kFin},
                {"{pathA}|{urlA}"},
                {0, 1000, 1000},
                3,
                false,
                FileIs::Absent},
        RowCase{"Redirect_302_is_a_ban",
                [] { return Times(3, Redirect); },
                {"T1 302 Found->{urlA}", kBanMessage, kFin},
                {"{pathA}|{urlA}"},
                {0, 1000, 1000},
                3,
                false,
                FileIs::Absent},
        RowCase{"Two_resets_then_403_ban_at_once",
                [] { return Then(Times(2, Reset), {Status(403, "Forbidden")}); },
                {"T1 403 Forbidden->{urlA}", kBanMessage, kFin},
                {"{pathA}|{urlA}"},
                {0},
                3,
                false,
                FileIs::Absent},
        RowCase{"Forbidden_once_then_served",
                [] { return Times(1, [] { return Status(403, "Forbidden"); }); },
                {"T1:seq=1,{nameA} OK", kOkB, kFin},
                {},
                {0, 1000, 500, 500},
                2,
                true,
                FileIs::Tile},
        // Row 4: "Socket Error" stops the worker after three requests, 2 s apart.
        RowCase{"Socket_error_text_stops_the_worker",
                [] { return Times(3, [] { return Status(503, "Socket Error here"); }); },
                {"T1 503 Socket Error here->{urlA}", kNetworkMessage, kFin},
                {"{pathA}|{urlA}"},
                {0, 2000, 2000},
                3,
                false,
                FileIs::Absent},
        // A proxy that refuses the credentials: as row 4, with its own message.
        RowCase{"Proxy_407_stops_the_worker",
                [] { return Times(3, [] { return Status(407, "Proxy Authentication Required"); }); },
                {"T1 407 Proxy Authentication Required->{urlA}", kProxyRefusedMessage, kFin},
                {"{pathA}|{urlA}"},
                {0, 2000, 2000},
                3,
                false,
                FileIs::Absent},
        RowCase{"Proxy_401_stops_the_worker",
                [] { return Times(3, [] { return Status(401, "Unauthorized"); }); },
                {"T1 401 Unauthorized->{urlA}", kProxyRefusedMessage, kFin},
                {"{pathA}|{urlA}"},
                {0, 2000, 2000},
                3,
                false,
                FileIs::Absent},
        // Row 5: not on the server: blank image, no failure record.
        RowCase{"Not_found_gets_the_blank",
                [] { return Times(3, [] { return Status(404, "Not Found"); }); },
                {"Error: the image is not found on server.404 Not Found", kBlankA, kOkB, kFin},
                {},
                {0, 1000, 1000, 500},
                3,
                true,
                FileIs::Blank},
        RowCase{"Bad_request_gets_the_blank",
                [] { return Times(3, [] { return Status(400, "Bad Request"); }); },
                {"Error: the image is not found on server.400 Bad Request", kBlankA, kOkB, kFin},
                {},
                {0, 1000, 1000, 500},
                3,
                true,
                FileIs::Blank},
        // Row 6: anything else: failure line, record and blank.
        RowCase{"Other_failure_recorded_and_blank",
                [] { return Times(3, [] { return Status(500, "Internal Server Error"); }); },
                {"T1 500 Internal Server Error->{urlA}", kBlankA, kOkB, kFin},
                {"{pathA}|{urlA}"},
                {0, 1000, 1000, 500},
                3,
                true,
                FileIs::Blank},
        // Resets without end: given up after ten retries, as row 6.
        RowCase{"Endless_resets_given_up_after_ten_retries",
                [] { return Times(11, Reset); },
                {"T1 " + kResetText + "->{urlA}", kBlankA, kOkB, kFin},
                {"{pathA}|{urlA}"},
                {0, 500},
                11,
                true,
                FileIs::Blank},
        RowCase{"Endless_address_in_use_given_up_after_ten_retries",
                [] { return Times(11, [] { return Status(500, "In use 10048"); }); },
                {"T1 500 In use 10048->{urlA}", kBlankA, kOkB, kFin},
                {"{pathA}|{urlA}"},
                {0, 8000, 8000, 8000, 8000, 8000, 8000, 8000, 8000, 8000, 8000, 500},
                11,
                true,
                FileIs::Blank}),
    [](const auto& info) { return std::string(info.param.name); });

// Each tile's outcome comes with the line that ends it: retried tiles count
// once, a tile the server does not have as blank, a tile given up as failed
// (its failure record and blank substitute both arrive), and the tile a ban
// stops the worker at as stopped, not done.
TEST_F(WorkerTest, EachTileReportsHowItEnded)
{
    MakeTask(kX, kX, kA, kA + 5);
    task_->Params.ThreadCount = 1;
    Script(kX, kA, {Status(500, "Internal Server Error")});                // retried, then saved
    Script(kX, kA + 1, Times(3, [] { return Status(404, "Not Found"); })); // not on the server
    Script(kX, kA + 2, Times(3, [] { return Status(500, "Oops"); }));      // given up
    Script(kX, kA + 3, {Reset(), Reset()});                                // resets, then saved
    Script(kX, kA + 4, Times(3, [] { return Status(403, "Forbidden"); }));
    RunWorkers();

    using O = TileOutcome;
    const std::vector<std::tuple<int, int, O>> expected = {{kX, kA, O::Saved},
                                                           {kX, kA + 1, O::Blank},
                                                           {kX, kA + 2, O::Failed},
                                                           {kX, kA + 3, O::Saved},
                                                           {kX, kA + 4, O::Stopped}};
    std::vector<std::tuple<int, int, O>> got;
    for (const TileReport& r : Outcomes())
        got.emplace_back(r.X, r.Y, r.Outcome);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(Requests(kX, kA + 5), 0); // the ban stopped the worker before it
}

// The ban message keeps its line feed inside one log entry.
TEST_F(WorkerTest, BanMessageIsOneEntryWithItsLineFeed)
{
    MakeTask(kX, kX, kA, kA);
    Script(kX, kA, Times(3, [] { return Status(403, "Forbidden"); }));
    RunWorkers();
    ASSERT_EQ(host_.Log.size(), 3u);
    EXPECT_EQ(host_.Log[1], "Error: may be your IP is banned.\nPlease try again later.");
}

// A refused connection to the proxy is a lasting network failure (row 4),
// while a reset socket error is retried at once (row 1) although its text
// holds "Socket Error" too.
TEST_F(WorkerTest, RefusedConnectionStopsTheWorkerWithTheNetworkMessage)
{
    MakeTask(kX, kX, kA, kB);
    task_->Params.ThreadCount = 1;
    const int port = server_->Port();
    server_->Stop(); // nothing listens on the proxy port any more
    task_->Params.ProxyPort = std::to_string(port);
    RunWorkers();
    ASSERT_EQ(host_.Log.size(), 3u);
    EXPECT_EQ(host_.Log[0], "T1 Socket Error # 10061\r\nConnection refused.->" + Url(kX, kA));
    EXPECT_EQ(host_.Log[1], kNetworkMessage);
    EXPECT_EQ(host_.Failed, (std::vector<std::string>{Path(kX, kA) + "|" + Url(kX, kA)}));
    EXPECT_EQ(sleeps_.All(), (std::vector<int>{0, 2000, 2000}));
}

// Row 2 as the client really reports an address in use: its text,
// "Socket Error # 10048" and the description, also holds "Socket Error"
// (row 4), and the order of the tests decides: 8 s pause and retry.
TEST_F(WorkerTest, AddressInUseFromTheClientWaitsAndRetries)
{
    MakeTask(kX, kX, kA, kA);
    testing::AddressInUseLookups = 2;
    platform::SetResolverForTesting(&testing::AddressInUseResolver);
    RunWorkers();
    platform::SetResolverForTesting(nullptr);
    EXPECT_EQ(host_.Log, (std::vector<std::string>{"T1:seq=1," + Name(kX, kA) + " OK", kFin}));
    EXPECT_EQ(sleeps_.All(), (std::vector<int>{0, 8000, 8000, 500}));
    EXPECT_TRUE(host_.Failed.empty());
}

// The worker hands the proxy user name and password to its client: every
// request carries them.
TEST_F(WorkerTest, ProxyCredentialsGoOnEveryRequest)
{
    MakeTask(kX, kX, kA, kB);
    task_->Params.ThreadCount = 1;
    task_->Params.ProxyUsername = "user";
    task_->Params.ProxyPassword = "pa:ss";
    RunWorkers();
    const auto requests = server_->Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& r : requests)
        EXPECT_NE(r.raw.find("\r\nProxy-Authorization: Basic dXNlcjpwYTpzcw==\r\n"), std::string::npos)
            << r.raw;
}

// A tile file that nobody may write is not replaced (as root too): the
// save fails as any failed save does, and the worker stops there.
TEST_F(WorkerTest, ReadOnlyTileFileIsASaveFailure)
{
    MakeTask(kX, kX, kA, kB);
    task_->Params.ThreadCount = 1;
    WriteFile(Path(kX, kA), "older tile");
    ASSERT_EQ(::chmod(Path(kX, kA).c_str(), 0444), 0);
    RunWorkers();
    EXPECT_EQ(host_.Log, (std::vector<std::string>{"T1:seq=1," + Name(kX, kA) + " NULL", kFin}));
    EXPECT_EQ(ReadFile(Path(kX, kA)), "older tile");
    ASSERT_EQ(host_.NotSaved.size(), 1u);
    EXPECT_EQ(host_.NotSaved[0].Error, EACCES);
}

// Blank substitutes: the position is recorded; an existing file is kept; a
// missing blank image leaves no file but the tile still counts as finished.
TEST_F(WorkerTest, BlankSubstituteRecordsThePositionAndKeepsAnExistingFile)
{
    MakeTask(kX, kX + 1, kA, kA, /*aerial*/ 6);
    Script(kX, kA, Times(3, [] { return Status(404, "Not Found"); }));
    Script(kX + 1, kA, Times(3, [] { return Status(404, "Not Found"); }));
    WriteFile(Path(kX + 1, kA), "older tile");
    task_->Params.ThreadCount = 1;
    RunWorkers();
    EXPECT_EQ(ReadFile(Path(kX, kA)), testing::kBlankJpg);
    EXPECT_EQ(ReadFile(Path(kX + 1, kA)), "older tile");
    EXPECT_EQ(Worker(0).CurrentPosition(), std::make_pair(kX + 1, kA));
}

TEST_F(WorkerTest, BirdsEyeUsesTheBlankOfItsHeight)
{
    MakeTask(kX, kX, kA, kA, /*bird's eye*/ 21);
    Script(kX, kA, Times(3, [] { return Status(404, "Not Found"); }));
    RunWorkers();
    EXPECT_EQ(ReadFile(Path(kX, kA)), testing::kBlank180);
}

TEST_F(WorkerTest, MissingBlankImageLeavesNoFileButFinishesTheTile)
{
    MakeTask(kX, kX, kA, kA);
    std::remove((programFolder_ + "blankimg/blank256.png").c_str());
    Script(kX, kA, Times(3, [] { return Status(404, "Not Found"); }));
    RunWorkers();
    EXPECT_FALSE(Exists(Path(kX, kA)));
    EXPECT_EQ(host_.Log[1], kBlankA);
    EXPECT_EQ(Worker(0).CurrentPosition(), std::make_pair(kX, kA));
}

} // namespace
} // namespace kartivo::download
