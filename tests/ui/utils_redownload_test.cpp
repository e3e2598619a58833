// Re-downloading a failed-tiles list against the scriptable test server on
// 127.0.0.1: the report lines word for word, where a run ends early, the
// bounded repetitions, the stored bytes, and the list file left untouched.
#include "download/IdHTTP.h"
#include "platform/Dialogs.h"
#include "platform/Errors.h"
#include "platform/Socket.h"
#include "tests/support/AddressInUse.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestServer.h"
#include "tests/ui/MainWindowFixture.h"
#include "ui/FailedTilesRun.h"
#include "ui/OptionsSettings.h"
#include "ui/qt/ReportMemo.h"
#include "ui/qt/Unitftl.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kartivo::ui {

using testing::PumpUntil;
using testing::ReadBytes;
using testing::ScriptedReply;
using testing::TempFolder;
using testing::TestServer;
using testing::WriteBytes;

using Lines = std::vector<std::string>;

namespace {

const std::string kBanned = "Error: may be your IP is banned.\nPlease try again later.";
const std::string kNetwork = "Error: Your network has problem, please check it.";
const std::string kNotFound = ":Error: the image is not found on server.";
const std::string kProxyRefused =
    "Error: the proxy refused the user name or password. Check them in Options.";

// Every test has a program folder of its own, so the window reads the
// settings file the test writes there (or none), never the developer's own
// build/bin/ini/config.ini with its proxy.
class RedownloadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetDialogs(&dialogs);
        platform::SetProgramFolderForTests(programFolder.Path());
        std::filesystem::create_directory(programFolder.Path() + "ini");
    }
    void TearDown() override
    {
        platform::SetProgramFolderForTests("");
        platform::SetDialogs(nullptr);
    }
    std::string IniPath() const { return programFolder.Path() + "ini/config.ini"; }

    std::string Url(const std::string& name) const
    {
        return "http://127.0.0.1:" + std::to_string(server.Port()) + "/tiles/" + name;
    }
    std::string Tile(const std::string& name) const { return folder.Path() + name; }
    std::string Line(const std::string& name) const { return Tile(name) + "|" + Url(name); }
    // Settings that name the test server as the proxy, for the user alice.
    OptionsValues ServerAsProxy(const std::string& password) const
    {
        OptionsValues settings;
        settings.UseProxy = true;
        settings.ProxyServer = "127.0.0.1";
        settings.ProxyPort = std::to_string(server.Port());
        settings.ProxyUsername = "alice";
        settings.ProxyPassword = password;
        return settings;
    }

    // One run with a client set up as the window sets it up.
    Lines Run(const Lines& list)
    {
        download::TIdHTTP http;
        ConfigureRedownloadClient(http);
        Lines report;
        FailedTilesRun run(
            http, [&](const std::string& l) { report.push_back(l); }, [&] { report.push_back("<repaint>"); });
        run.Run(list);
        return report;
    }

    // Writes the list file with CR LF line ends and answers the open dialog with it.
    std::string OfferList(const Lines& list)
    {
        std::string bytes;
        for (const auto& l : list)
            bytes += l + "\r\n";
        const std::string path = folder.Path() + "newtask_failed.ftl";
        WriteBytes(path, bytes);
        dialogs.openAnswers.push_back(path);
        return path;
    }

    // Presses the window's button and waits for the run on its thread to end.
    void RunWindow(TfrmFlt& w)
    {
        w.Button1Click();
        ASSERT_TRUE(PumpUntil([&] { return !w.Running(); }));
        QCoreApplication::processEvents();
    }

    TestServer server;
    TempFolder folder;
    TempFolder programFolder;
    platform::RecordingDialogs dialogs;
};

struct Refusal {
    int code;
    const char* reason;
};

class RefusalTest : public RedownloadTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, EndsTheRunAndRequestsNothingMore)
{
    const Refusal r = GetParam();
    server.Enqueue(ScriptedReply::Status(r.code, r.reason));
    server.Enqueue(ScriptedReply::Ok("never fetched"));

    const Lines report = Run({Line("mn_0_0_3.png"), Line("mn_1_0_3.png"), Line("mn_2_0_3.png")});

    const std::string text = std::to_string(r.code) + " " + r.reason;
    EXPECT_EQ(report,
              (Lines{"Start...", "<repaint>", text + "->" + Url("mn_0_0_3.png"), kBanned, "Download End."}));
    EXPECT_EQ(server.RequestCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Statuses, RefusalTest,
                         ::testing::Values(Refusal{403, "Forbidden"}, Refusal{302, "Found"}));

TEST_F(RedownloadTest, OtherStatusesAreReportedByTheirTextAlone)
{
    server.Enqueue(ScriptedReply::Status(500, "Internal Server Error"));
    server.Enqueue(ScriptedReply::Status(400, "Bad Request"));
    server.Enqueue(ScriptedReply::Ok("PNG-3"));

    const Lines report = Run({Line("mn_0_0_3.png"), Line("mn_1_0_3.png"), Line("mn_2_0_3.png")});

    EXPECT_EQ(report, (Lines{"Start...", "<repaint>", "500 Internal Server Error->" + Url("mn_0_0_3.png"),
                             "400 Bad Request->" + Url("mn_1_0_3.png"),
                             Tile("mn_2_0_3.png") + ":" + Url("mn_2_0_3.png") + " ->OK", "Download End."}));
}

TEST_F(RedownloadTest, ResetsAreRepeatedAtMostTenTimesThenTheRunGoesOn)
{
    for (int i = 0; i < 11; ++i)
        server.Enqueue(ScriptedReply::ResetConnection());
    server.Enqueue(ScriptedReply::Ok("PNG-2"));

    const Lines report = Run({Line("mn_0_0_3.png"), Line("mn_1_0_3.png")});

    EXPECT_EQ(report, (Lines{"Start...", "<repaint>",
                             "Socket Error # 10054\r\nConnection reset by peer.->" + Url("mn_0_0_3.png"),
                             Tile("mn_1_0_3.png") + ":" + Url("mn_1_0_3.png") + " ->OK", "Download End."}));
    EXPECT_EQ(server.RequestCount(), 12u);
    EXPECT_FALSE(std::filesystem::exists(Tile("mn_0_0_3.png")));
}

// An address in use is repeated at once like a reset, whether the client
// meets it itself ("Socket Error # 10048", which also holds "Socket Error"
// and so would otherwise end the run as a network failure) or a reply's
// text carries the code.
TEST_F(RedownloadTest, AnAddressInUseIsRepeatedAtOnce)
{
    testing::AddressInUseLookups = 2;
    platform::SetResolverForTesting(&testing::AddressInUseResolver);
    server.Enqueue(ScriptedReply::Ok("PNG-0"));
    server.Enqueue(ScriptedReply::Status(500, "Address in use 10048"));
    server.Enqueue(ScriptedReply::Ok("PNG-1"));

    const Lines report = Run({Line("mn_0_0_3.png"), Line("mn_1_0_3.png")});
    platform::SetResolverForTesting(nullptr);

    EXPECT_EQ(testing::AddressInUseLookups, 0);
    EXPECT_EQ(report,
              (Lines{"Start...", "<repaint>", Tile("mn_0_0_3.png") + ":" + Url("mn_0_0_3.png") + " ->OK",
                     Tile("mn_1_0_3.png") + ":" + Url("mn_1_0_3.png") + " ->OK", "Download End."}));
    EXPECT_EQ(ReadBytes(Tile("mn_0_0_3.png")), "PNG-0");
    EXPECT_EQ(ReadBytes(Tile("mn_1_0_3.png")), "PNG-1");
    EXPECT_EQ(server.RequestCount(), 3u);
}

TEST_F(RedownloadTest, ARepeatedRequestStoresOnlyTheFinalReply)
{
    // A reply cut short in its body: part of it has reached the buffer.
    ScriptedReply cut;
    cut.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\nLEFTOVER-LEFTOVER";
    cut.closeAfterBytes = cut.bytes.size();
    cut.after = ScriptedReply::After::Close;
    server.Enqueue(cut);
    server.Enqueue(ScriptedReply::ResetConnection());
    server.Enqueue(ScriptedReply::Ok("IMAGE"));

    const Lines report = Run({Line("mn_0_0_3.png")});

    EXPECT_EQ(report, (Lines{"Start...", "<repaint>",
                             Tile("mn_0_0_3.png") + ":" + Url("mn_0_0_3.png") + " ->OK", "Download End."}));
    EXPECT_EQ(ReadBytes(Tile("mn_0_0_3.png")), "IMAGE");
    EXPECT_EQ(server.RequestCount(), 3u);
}

// The header block ends at the first empty line: every header the run sends
// must come before it, or a proxy never sees its authorization and a server
// reads the rest as a second, malformed request.
void ExpectOneWholeHeaderBlock(const std::string& raw, const std::vector<std::string>& headers)
{
    const std::size_t blockEnd = raw.find("\r\n\r\n");
    ASSERT_NE(blockEnd, std::string::npos) << raw;
    EXPECT_EQ(blockEnd + 4, raw.size()) << "bytes after the header block:\n" << raw;
    const std::string block = raw.substr(0, blockEnd + 2);
    for (const std::string& header : headers)
        EXPECT_NE(block.find("\r\n" + header + "\r\n"), std::string::npos) << header << " in\n" << raw;
}

TEST_F(RedownloadTest, EveryHeaderIsInsideTheHeaderBlock)
{
    server.Enqueue(ScriptedReply::Ok("PNG"));
    download::TIdHTTP http;
    http.Request.ProxyServer = "10.9.9.9"; // whatever was there before
    http.Request.ProxyPort = 8080;
    ConfigureRedownloadClient(http);
    EXPECT_TRUE(http.Request.ProxyServer.empty());

    FailedTilesRun run(http, [](const std::string&) {});
    run.Run({Line("mn_0_0_3.png")});

    ASSERT_EQ(server.RequestCount(), 1u);
    const std::string raw = server.Requests()[0].raw;
    EXPECT_EQ(raw.rfind("GET /tiles/mn_0_0_3.png HTTP/1.1\r\nHost: 127.0.0.1\r\n", 0), 0u) << raw;
    ExpectOneWholeHeaderBlock(raw, {"Referer: http://www.bing.com/maps/",
                                    "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)",
                                    "Connection: Keep_Alive"});
    EXPECT_EQ(ReadBytes(Tile("mn_0_0_3.png")), "PNG");
}

TEST_F(RedownloadTest, EveryHeaderIsInsideTheHeaderBlockThroughAProxy)
{
    server.Enqueue(ScriptedReply::Ok("PNG"));
    download::TIdHTTP http;
    ASSERT_EQ(ConfigureRedownloadClient(http, ServerAsProxy("secret")), "");

    const std::string url = "http://t1.tiles.invalid/tiles/mn_0_0_3.png";
    FailedTilesRun run(http, [](const std::string&) {});
    run.Run({Tile("mn_0_0_3.png") + "|" + url});

    ASSERT_EQ(server.RequestCount(), 1u);
    ExpectOneWholeHeaderBlock(server.Requests()[0].raw,
                              {"Referer: http://www.bing.com/maps/", "Connection: Keep_Alive",
                               "Proxy-Authorization: Basic YWxpY2U6c2VjcmV0"}); // alice:secret
}

// A proxy that refuses the credentials refuses every tile alike: the run says
// so, as a download does, and stops instead of going through the whole list.
TEST_F(RedownloadTest, AProxyRefusingThePasswordEndsTheRun)
{
    server.SetHandler([](const testing::RecordedRequest&) {
        return ScriptedReply::Status(407, "Proxy Authentication Required");
    });
    download::TIdHTTP http;
    ASSERT_EQ(ConfigureRedownloadClient(http, ServerAsProxy("wrong")), "");
    Lines report;
    FailedTilesRun run(http, [&](const std::string& l) { report.push_back(l); });
    const std::string url = "http://t1.tiles.invalid/tiles/";
    run.Run({Tile("mn_0_0_3.png") + "|" + url + "mn_0_0_3.png",
             Tile("mn_1_0_3.png") + "|" + url + "mn_1_0_3.png"});

    EXPECT_EQ(report, (Lines{"Start...", "407 Proxy Authentication Required->" + url + "mn_0_0_3.png",
                             kProxyRefused, "Download End."}));
    EXPECT_EQ(server.RequestCount(), 1u);
}

// Only tile files of a Kartivo task are written: a list naming any other file
// cannot make the run overwrite it.
TEST_F(RedownloadTest, LinesThatNameNoTileAreSkippedWithTheirOwnLine)
{
    server.Enqueue(ScriptedReply::Ok("PNG"));
    WriteBytes(Tile("notes.txt"), "my notes");
    const Lines list = {Tile("notes.txt") + "|" + Url("mn_0_0_3.png"), Url("nobar.png"),
                        Tile("mn_0_0_3.png.bak") + "|" + Url("mn_0_0_3.png"), Line("mn_1_0_3.png")};

    const Lines report = Run(list);

    const std::string skipped = "Skipped, not a tile of a Kartivo task: ";
    EXPECT_EQ(report, (Lines{"Start...", "<repaint>", skipped + list[0], skipped + list[1], skipped + list[2],
                             Tile("mn_1_0_3.png") + ":" + Url("mn_1_0_3.png") + " ->OK", "Download End."}));
    EXPECT_EQ(ReadBytes(Tile("notes.txt")), "my notes");
    EXPECT_FALSE(std::filesystem::exists(Tile("mn_0_0_3.png.bak")));
    ASSERT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(server.Requests()[0].target, "/tiles/mn_1_0_3.png");
}

// Through the window: the dialog, the memo, the error box, the list file.

TEST_F(RedownloadTest, WindowCancelChangesNothing)
{
    TfrmFlt w;
    w.show();
    w.Memo1Lines.Assign({"earlier report"});
    w.Button1Click();
    ASSERT_EQ(dialogs.openRequests.size(), 1u);
    EXPECT_EQ(dialogs.openRequests[0].title, "Open ftl file:");
    EXPECT_EQ(dialogs.openRequests[0].filterDescription, "Projects(*.ftl)");
    EXPECT_EQ(dialogs.openRequests[0].filterPattern, "*.ftl");
    EXPECT_EQ(w.Memo1Lines.ToVector(), Lines{"earlier report"});
    EXPECT_EQ(server.RequestCount(), 0u);
}

TEST_F(RedownloadTest, WindowEmptyListGivesExactlyOneLine)
{
    TfrmFlt w;
    w.show();
    w.Memo1Lines.Assign({"earlier report"});
    OfferList({});
    RunWindow(w);
    EXPECT_EQ(w.Memo1Lines.ToVector(), Lines{"No failed files records."});
    EXPECT_TRUE(dialogs.errors.empty());
}

TEST_F(RedownloadTest, WindowRunLeavesTheListFileByteForByte)
{
    server.Enqueue(ScriptedReply::Status(404, "Not Found"));
    server.Enqueue(ScriptedReply::Ok("PNG-2"));
    const std::string list = OfferList({Line("mn_0_0_3.png"), Line("mn_1_0_3.png")});
    const std::string before = ReadBytes(list);
    WriteBytes(Tile("mn_1_0_3.png"), "an older image");

    TfrmFlt w;
    w.show();
    RunWindow(w);

    EXPECT_EQ(w.Memo1Lines.ToVector(),
              (Lines{"Start...", "404 Not Found->" + Url("mn_0_0_3.png"), Url("mn_0_0_3.png") + kNotFound,
                     Tile("mn_1_0_3.png") + ":" + Url("mn_1_0_3.png") + " ->OK", "Download End."}));
    EXPECT_EQ(ReadBytes(list), before);
    EXPECT_EQ(ReadBytes(Tile("mn_1_0_3.png")), "PNG-2");
    EXPECT_FALSE(std::filesystem::exists(Tile("mn_0_0_3.png")));

    // A new showing clears the memo.
    w.hide();
    w.show();
    EXPECT_TRUE(w.Memo1Lines.ToVector().empty());
}

TEST_F(RedownloadTest, WindowNetworkFailureEndsTheRunAndShowsItsEntryAsTwoLines)
{
    int closedPort = 0;
    {
        TestServer gone;
        closedPort = gone.Port();
    }
    const std::string deadUrl = "http://127.0.0.1:" + std::to_string(closedPort) + "/tiles/mn_0_0_3.png";
    OfferList({Tile("mn_0_0_3.png") + "|" + deadUrl, Line("mn_1_0_3.png")});

    TfrmFlt w;
    w.show();
    RunWindow(w);

    ASSERT_EQ(w.Memo1Lines.ToVector().size(), 4u);
    EXPECT_EQ(w.Memo1->toPlainText().toStdString(), "Start...\nSocket Error # 10061\nConnection refused.->" +
                                                        deadUrl + "\n" + kNetwork + "\nDownload End.");
    EXPECT_EQ(server.RequestCount(), 0u);
}

TEST_F(RedownloadTest, WindowFileThatCannotBeWrittenEndsWithTheErrorBox)
{
    server.Enqueue(ScriptedReply::Ok("PNG"));
    server.Enqueue(ScriptedReply::Ok("never fetched"));
    const std::string missing = folder.Path() + "no-such-folder/mn_0_0_3.png";
    OfferList({missing + "|" + Url("mn_0_0_3.png"), Line("mn_1_0_3.png")});

    TfrmFlt w;
    w.show();
    RunWindow(w);

    EXPECT_EQ(dialogs.errors, Lines{"Cannot create file " + missing});
    EXPECT_EQ(w.Memo1Lines.ToVector(), Lines{"Start..."});
    EXPECT_EQ(server.RequestCount(), 1u);
}

// The run goes on its own thread: the window answers while a tile hangs,
// shows "n of m", and its button stops the run after the current tile; a
// second press during the run does nothing more.
TEST_F(RedownloadTest, WindowRunIsStoppedAfterTheCurrentTile)
{
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    server.SetHandler([&](const testing::RecordedRequest& r) {
        if (r.target.find("mn_1_0_3.png") != std::string::npos) {
            std::unique_lock<std::mutex> l(m);
            cv.wait(l, [&] { return release; });
        }
        return ScriptedReply::Ok("PNG");
    });
    OfferList({Line("mn_0_0_3.png"), Line("mn_1_0_3.png"), Line("mn_2_0_3.png"), Line("mn_3_0_3.png"),
               Line("mn_4_0_3.png")});

    TfrmFlt w;
    w.show();
    w.Button1Click();
    ASSERT_TRUE(w.Running());
    EXPECT_EQ(w.Button1->text().toStdString(), "Stop");
    ASSERT_TRUE(server.WaitForRequests(2));
    // The window is serviced while the second tile hangs on the server.
    ASSERT_TRUE(PumpUntil([&] { return w.LabelProgress->text() == "2 of 5"; }));
    EXPECT_EQ(w.Memo1Lines.ToVector(),
              (Lines{"Start...", Tile("mn_0_0_3.png") + ":" + Url("mn_0_0_3.png") + " ->OK"}));

    w.Button1Click(); // stop after this tile
    w.Button1Click(); // does nothing more
    EXPECT_FALSE(w.Button1->isEnabled());
    {
        std::lock_guard<std::mutex> l(m);
        release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(PumpUntil([&] { return !w.Running(); }));

    EXPECT_EQ(w.Memo1Lines.ToVector(),
              (Lines{"Start...", Tile("mn_0_0_3.png") + ":" + Url("mn_0_0_3.png") + " ->OK",
                     Tile("mn_1_0_3.png") + ":" + Url("mn_1_0_3.png") + " ->OK", "Download End."}));
    EXPECT_EQ(server.RequestCount(), 2u);
    EXPECT_EQ(dialogs.openRequests.size(), 1u); // no press was taken for a new run
    EXPECT_EQ(w.Button1->text().toStdString(), "Open *.ftl file and download...");
    EXPECT_TRUE(w.Button1->isEnabled());
    EXPECT_EQ(w.LabelProgress->text().toStdString(), "2 of 5");
}

// Closing the window mid-run stops the run after the tile in flight.
TEST_F(RedownloadTest, ClosingTheWindowStopsTheRun)
{
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    server.SetHandler([&](const testing::RecordedRequest&) {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return release; });
        return ScriptedReply::Ok("PNG");
    });
    OfferList({Line("mn_0_0_3.png"), Line("mn_1_0_3.png"), Line("mn_2_0_3.png")});

    TfrmFlt w;
    w.show();
    w.Button1Click();
    ASSERT_TRUE(server.WaitForRequests(1));
    w.reject();
    EXPECT_FALSE(w.isVisible());
    {
        std::lock_guard<std::mutex> l(m);
        release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(PumpUntil([&] { return !w.Running(); }));
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(w.Memo1Lines.ToVector().back(), "Download End.");
}

// The window going for good mid-run cuts the request in flight short: its
// destructor neither waits for the server's time-outs nor leaves the run
// behind, and no tile file is written.
TEST_F(RedownloadTest, DestroyingTheWindowEndsTheRequestInFlight)
{
    ScriptedReply silent;
    silent.silent = true;
    server.Enqueue(silent);
    OfferList({Line("mn_0_0_3.png"), Line("mn_1_0_3.png")});
    {
        TfrmFlt w;
        w.show();
        w.Button1Click();
        ASSERT_TRUE(server.WaitForRequests(1));
        ASSERT_TRUE(w.Running());
    }
    EXPECT_EQ(platform::qt::BackgroundJob::LeftBehind(), 0);
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_FALSE(std::filesystem::exists(Tile("mn_0_0_3.png")));
    QCoreApplication::processEvents(); // nothing queued for the window runs
}

// With UseProxy=1 every tile goes through the proxy of the settings file,
// with its credentials; the tile hosts themselves are never reached.
TEST_F(RedownloadTest, WindowRunUsesTheProxyOfTheSettings)
{
    WriteBytes(IniPath(), "[Proxy]\r\nUseProxy=1\r\nProxyServer=127.0.0.1\r\nProxyPort=" +
                              std::to_string(server.Port()) +
                              "\r\nProxyUsername=alice\r\nProxyPassword=secret\r\n");
    server.Enqueue(ScriptedReply::Ok("PNG-PROXIED"));
    const std::string url = "http://t0.tiles.invalid/tiles/mn_0_0_3.png";
    OfferList({Tile("mn_0_0_3.png") + "|" + url});

    TfrmFlt w;
    w.show();
    RunWindow(w);

    EXPECT_EQ(w.Memo1Lines.ToVector(),
              (Lines{"Start...", Tile("mn_0_0_3.png") + ":" + url + " ->OK", "Download End."}));
    EXPECT_EQ(ReadBytes(Tile("mn_0_0_3.png")), "PNG-PROXIED");
    ASSERT_EQ(server.RequestCount(), 1u);
    const std::string raw = server.Requests()[0].raw;
    EXPECT_EQ(raw.rfind("GET " + url + " HTTP/1.1\r\n", 0), 0u) << raw;
    // alice:secret in Base64.
    EXPECT_NE(raw.find("Proxy-Authorization: Basic YWxpY2U6c2VjcmV0\r\n"), std::string::npos) << raw;
}

TEST_F(RedownloadTest, WindowRefusesAProxyPortThatIsNoNumber)
{
    WriteBytes(IniPath(), "[Proxy]\r\nUseProxy=1\r\nProxyServer=127.0.0.1\r\nProxyPort=eighty\r\n");
    OfferList({Line("mn_0_0_3.png")});

    TfrmFlt w;
    w.show();
    w.Button1Click();

    EXPECT_FALSE(w.Running());
    EXPECT_EQ(dialogs.messages, Lines{"Error: the proxy port \"eighty\" is not a port number."});
    EXPECT_EQ(server.RequestCount(), 0u);
}

// tinyproxy from Debian on 127.0.0.1, asking for a user name and password,
// with the test server as its upstream: the client leaves a URL's port out of
// a request to a proxy, so tinyproxy hands every request on to the server.
class TinyProxy {
public:
    static std::string Binary()
    {
        for (const char* path : {"/usr/bin/tinyproxy", "/usr/sbin/tinyproxy"})
            if (::access(path, X_OK) == 0)
                return path;
        return {};
    }

    TinyProxy(const std::string& binary, int upstreamPort)
    {
        port_ = FreePort();
        const std::string conf = folder_ / "tinyproxy.conf";
        WriteBytes(conf, "Listen 127.0.0.1\nPort " + std::to_string(port_) +
                             "\nTimeout 30\nMaxClients 20\nBasicAuth alice secret\n"
                             "Upstream http 127.0.0.1:" +
                             std::to_string(upstreamPort) + "\nLogLevel Error\nLogFile \"" +
                             (folder_ / "tinyproxy.log") + "\"\n");
        std::vector<std::string> args = {binary, "-d", "-c", conf};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, binary.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
    }
    ~TinyProxy()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;

    int Port() const { return port_; }
    // Waits until the proxy takes connections; false when it ended instead.
    bool WaitUntilListening() const
    {
        if (pid_ <= 0)
            return false;
        return PumpUntil(
                   [&] {
                       if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
                           return true; // ended: the check below fails
                       const int s = ::socket(AF_INET, SOCK_STREAM, 0);
                       sockaddr_in a{};
                       a.sin_family = AF_INET;
                       a.sin_port = htons(static_cast<std::uint16_t>(port_));
                       a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                       const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
                       ::close(s);
                       return ok;
                   },
                   10000) &&
               ::kill(pid_, 0) == 0;
    }

private:
    static int FreePort()
    {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        ::close(s);
        return ntohs(a.sin_port);
    }

    TempFolder folder_;
    int port_ = 0;
    pid_t pid_ = -1;
};

class ThroughTinyProxyTest : public RedownloadTest {
protected:
    void SetUp() override
    {
        RedownloadTest::SetUp();
        const std::string binary = TinyProxy::Binary();
        if (binary.empty())
            GTEST_SKIP() << "tinyproxy is not installed (scripts/deps.sh installs it): "
                            "the re-download through a real authenticating proxy is not tried";
        proxy = std::make_unique<TinyProxy>(binary, server.Port());
        ASSERT_TRUE(proxy->WaitUntilListening()) << "tinyproxy did not start";
    }
    void UseProxy(const std::string& password)
    {
        WriteBytes(IniPath(), "[Proxy]\r\nUseProxy=1\r\nProxyServer=127.0.0.1\r\nProxyPort=" +
                                  std::to_string(proxy->Port()) +
                                  "\r\nProxyUsername=alice\r\nProxyPassword=" + password + "\r\n");
    }
    // The tile URL as the list holds it; its port is not used through a proxy.
    std::string ProxiedUrl(const std::string& name) const { return "http://127.0.0.1/tiles/" + name; }

    std::unique_ptr<TinyProxy> proxy;
};

TEST_F(ThroughTinyProxyTest, RightPasswordBringsTheTiles)
{
    UseProxy("secret");
    server.Enqueue(ScriptedReply::Ok("PNG-1"));
    server.Enqueue(ScriptedReply::Ok("PNG-2"));
    OfferList({Tile("mn_0_0_3.png") + "|" + ProxiedUrl("mn_0_0_3.png"),
               Tile("mn_1_0_3.png") + "|" + ProxiedUrl("mn_1_0_3.png")});

    TfrmFlt w;
    w.show();
    RunWindow(w);

    EXPECT_EQ(w.Memo1Lines.ToVector(),
              (Lines{"Start...", Tile("mn_0_0_3.png") + ":" + ProxiedUrl("mn_0_0_3.png") + " ->OK",
                     Tile("mn_1_0_3.png") + ":" + ProxiedUrl("mn_1_0_3.png") + " ->OK", "Download End."}));
    EXPECT_EQ(ReadBytes(Tile("mn_0_0_3.png")), "PNG-1");
    EXPECT_EQ(ReadBytes(Tile("mn_1_0_3.png")), "PNG-2");
    EXPECT_EQ(server.RequestCount(), 2u);
}

TEST_F(ThroughTinyProxyTest, WrongPasswordShowsTheRefusalAndStops)
{
    UseProxy("wrong");
    OfferList({Tile("mn_0_0_3.png") + "|" + ProxiedUrl("mn_0_0_3.png"),
               Tile("mn_1_0_3.png") + "|" + ProxiedUrl("mn_1_0_3.png")});

    TfrmFlt w;
    w.show();
    RunWindow(w);

    const Lines report = w.Memo1Lines.ToVector();
    ASSERT_EQ(report.size(), 4u) << w.Memo1->toPlainText().toStdString();
    EXPECT_EQ(report[0], "Start...");
    // tinyproxy refuses with 401 or 407, by version.
    EXPECT_TRUE(report[1].rfind("401 ", 0) == 0 || report[1].rfind("407 ", 0) == 0) << report[1];
    EXPECT_EQ(report[1].substr(report[1].size() - ProxiedUrl("mn_0_0_3.png").size() - 2),
              "->" + ProxiedUrl("mn_0_0_3.png"));
    EXPECT_EQ(report[2], kProxyRefused);
    EXPECT_EQ(report[3], "Download End.");
    EXPECT_EQ(server.RequestCount(), 0u);
    EXPECT_FALSE(std::filesystem::exists(Tile("mn_0_0_3.png")));
}

// The report of a list far longer than the memo keeps: the memo holds the
// last lines under a note of how many came before, while the run goes and
// at its end, and the list file is read to its end.
TEST_F(RedownloadTest, WindowMemoKeepsABoundedTailOfALongReport)
{
    constexpr std::size_t kTail = 100;
    constexpr std::size_t kLines = 1000;
    Lines list;
    for (std::size_t i = 0; i < kLines; ++i)
        list.push_back(Tile("note" + std::to_string(i) + ".txt") + "|" + Url("x")); // skipped, no request
    const std::string listFile = OfferList(list);
    const std::string before = ReadBytes(listFile);

    TfrmFlt w;
    w.Memo1->SetTail(kTail);
    w.show();
    std::size_t most = 0;
    w.Button1Click();
    ASSERT_TRUE(PumpUntil([&] {
        most = std::max(most, w.Memo1Lines.Count());
        return !w.Running();
    }));

    EXPECT_LE(most, 1 + kTail + kTail / 50);
    const Lines memo = w.Memo1Lines.ToVector();
    ASSERT_GE(memo.size(), 1 + kTail);
    const std::size_t reportLines = kLines + 2; // "Start...", the lines, "Download End."
    EXPECT_EQ(w.Memo1->Dropped() + memo.size() - 1, reportLines);
    EXPECT_EQ(memo.front(), DroppedLinesNote(w.Memo1->Dropped(), kTail));
    EXPECT_EQ(DroppedLinesNote(1234567, 100000),
              "1,234,567 earlier lines of this report are not shown: the window keeps the last 100,000 lines "
              "of a run.");
    EXPECT_EQ(memo[memo.size() - 2], "Skipped, not a tile of a Kartivo task: " + list.back());
    EXPECT_EQ(memo.back(), "Download End.");
    EXPECT_EQ(w.LabelProgress->text().toStdString(), "1000 of 1000");
    EXPECT_EQ(server.RequestCount(), 0u);
    EXPECT_EQ(ReadBytes(listFile), before);

    // A new showing starts from an empty memo, without the note.
    w.hide();
    w.show();
    EXPECT_EQ(w.Memo1Lines.Count(), 0u);
    EXPECT_EQ(w.Memo1->Dropped(), 0u);
}

// The display loses exactly the blocks of the dropped lines, entries that
// show as two lines included, so it always shows the list it bounds.
TEST(ReportMemoTest, DisplayFollowsTheBoundedListThroughEveryDrop)
{
    LineList lines;
    ReportMemo memo(lines);
    memo.SetTail(5);
    auto shown = [&] {
        std::string text;
        for (std::size_t i = 0; i < lines.Count(); ++i) {
            std::string entry(lines[i]);
            for (std::size_t p; (p = entry.find("\r\n")) != std::string::npos;)
                entry.replace(p, 2, "\n");
            std::replace(entry.begin(), entry.end(), '\r', '\n');
            text += (i ? "\n" : "") + entry;
        }
        return text;
    };
    std::size_t added = 0;
    for (int round = 0; round < 12; ++round) {
        for (int n = 0; n <= round % 4; ++n, ++added) {
            const std::string i = std::to_string(added);
            lines.Add(added % 3 == 0   ? "a" + i + "\r\nb" + i
                      : added % 5 == 0 ? "c" + i + "\rd" + i
                                       : "e" + i);
        }
        memo.Sync();
        ASSERT_LE(lines.Count(), 1u + 5 + 5 / 50);
        EXPECT_EQ(memo.toPlainText().toStdString(), shown()) << "after " << added << " lines";
        EXPECT_EQ(memo.Dropped() + lines.Count() - (memo.Dropped() ? 1 : 0), added);
    }
    EXPECT_GT(memo.Dropped(), 0u);
    lines.Clear();
    memo.Sync();
    EXPECT_EQ(memo.Dropped(), 0u);
    EXPECT_TRUE(memo.toPlainText().isEmpty());
}

TEST_F(RedownloadTest, WindowLinesAreReadWithoutScrollingSideways)
{
    TfrmFlt w;
    w.show();
    const std::string longLine = Tile("mn_4149_5373_13.png") + ":" +
                                 "http://r1.ortho.tiles.virtualearth.net/tiles/r1202200110121.png?g=909" +
                                 std::string(150, 'x') + " ->OK";
    w.Memo1Lines.Add(longLine);
    w.Memo1->Sync();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.Memo1->horizontalScrollBar()->maximum(), 0);
    EXPECT_EQ(w.Memo1->toPlainText().toStdString(), longLine); // wrapped for display only
}

// The re-download window is opened from the main window's menu without
// blocking it: the main window takes input while the other is open.
class RedownloadFromMainWindowTest : public testing::MainWindowTest {};

TEST_F(RedownloadFromMainWindowTest, MainWindowStaysUsableWhileTheWindowIsOpen)
{
    OpenWindow();
    auto* flt = form->findChild<TfrmFlt*>();
    ASSERT_NE(flt, nullptr);
    form->EditTaskName->clear();
    form->EditTaskName->setFocus();

    bool checked = false;
    bool fltVisible = false;
    QWidget* modal = nullptr;
    // Checked from the event loop: a window shown modally would hold the
    // menu command until it closes, and is closed here so the test ends.
    QTimer::singleShot(0, form.get(), [&] {
        fltVisible = flt->isVisible();
        modal = QApplication::activeModalWidget();
        QTest::keyClick(form->windowHandle(), 'k');
        QTest::keyClick(form->windowHandle(), 'v');
        checked = true;
        flt->reject();
    });
    form->ReDownloadfailedfiles1->trigger();
    ASSERT_TRUE(PumpUntil([&] { return checked; }));

    EXPECT_TRUE(fltVisible);
    EXPECT_EQ(modal, nullptr);
    EXPECT_EQ(form->EditTaskName->text().toStdString(), "kv");
}

} // namespace

} // namespace kartivo::ui
