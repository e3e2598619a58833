// Re-downloading a failed-tiles list against the scriptable test server on
// 127.0.0.1: the report lines word for word, where a run ends early, the
// bounded repetitions, the stored bytes, and the list file left untouched.
#include "download/IdHTTP.h"
#include "platform/Dialogs.h"
#include "platform/Errors.h"
#include "tests/support/TestServer.h"
#include "ui/FailedTilesRun.h"
#include "ui/Unitftl.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TempFolder.h"
#include "tests/ui/MainWindowFixture.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

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

class RedownloadTest : public ::testing::Test {
protected:
    void SetUp() override { platform::SetDialogs(&dialogs); }
    void TearDown() override { platform::SetDialogs(nullptr); }

    std::string Url(const std::string& name) const
    {
        return "http://127.0.0.1:" + std::to_string(server.Port()) + "/tiles/" + name;
    }
    std::string Tile(const std::string& name) const { return folder.Path() + name; }
    std::string Line(const std::string& name) const { return Tile(name) + "|" + Url(name); }

    // One run with a client set up as the window sets it up.
    Lines Run(const Lines& list)
    {
        download::TIdHTTP http;
        ConfigureRedownloadClient(http);
        Lines report;
        FailedTilesRun run(http, [&](const std::string& l) { report.push_back(l); },
                           [&] { report.push_back("<repaint>"); });
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

    const Lines report = Run({Line("a.png"), Line("b.png"), Line("c.png")});

    const std::string text = std::to_string(r.code) + " " + r.reason;
    EXPECT_EQ(report, (Lines{"Start...", "<repaint>", text + "->" + Url("a.png"), kBanned, "Download End."}));
    EXPECT_EQ(server.RequestCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Statuses, RefusalTest,
                         ::testing::Values(Refusal{403, "Forbidden"}, Refusal{302, "Found"}));

TEST_F(RedownloadTest, OtherStatusesAreReportedByTheirTextAlone)
{
    server.Enqueue(ScriptedReply::Status(500, "Internal Server Error"));
    server.Enqueue(ScriptedReply::Status(400, "Bad Request"));
    server.Enqueue(ScriptedReply::Ok("PNG-3"));

    const Lines report = Run({Line("a.png"), Line("b.png"), Line("c.png")});

    EXPECT_EQ(report, (Lines{"Start...", "<repaint>", "500 Internal Server Error->" + Url("a.png"),
                             "400 Bad Request->" + Url("b.png"),
                             Tile("c.png") + ":" + Url("c.png") + " ->OK", "Download End."}));
}

TEST_F(RedownloadTest, ResetsAreRepeatedAtMostTenTimesThenTheRunGoesOn)
{
    for (int i = 0; i < 11; ++i)
        server.Enqueue(ScriptedReply::ResetConnection());
    server.Enqueue(ScriptedReply::Ok("PNG-2"));

    const Lines report = Run({Line("a.png"), Line("b.png")});

    EXPECT_EQ(report, (Lines{"Start...", "<repaint>",
                             "Socket Error # 10054\r\nConnection reset by peer.->" + Url("a.png"),
                             Tile("b.png") + ":" + Url("b.png") + " ->OK", "Download End."}));
    EXPECT_EQ(server.RequestCount(), 12u);
    EXPECT_FALSE(std::filesystem::exists(Tile("a.png")));
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

    const Lines report = Run({Line("a.png")});

    EXPECT_EQ(report, (Lines{"Start...", "<repaint>", Tile("a.png") + ":" + Url("a.png") + " ->OK",
                             "Download End."}));
    EXPECT_EQ(ReadBytes(Tile("a.png")), "IMAGE");
    EXPECT_EQ(server.RequestCount(), 3u);
}

TEST_F(RedownloadTest, SendsTheRefererWithItsLineEndAndNoProxy)
{
    server.Enqueue(ScriptedReply::Ok("PNG"));
    download::TIdHTTP http;
    http.Request.ProxyServer = "10.9.9.9";   // whatever was there before
    http.Request.ProxyPort = 8080;
    ConfigureRedownloadClient(http);
    EXPECT_EQ(http.Request.UserAgent, "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)");
    EXPECT_EQ(http.Request.Connection, "Keep_Alive");

    FailedTilesRun run(http, [](const std::string&) {});
    run.Run({Line("a.png")});

    ASSERT_EQ(server.RequestCount(), 1u);
    const std::string raw = server.Requests()[0].raw;
    EXPECT_EQ(raw.rfind("GET /tiles/a.png HTTP/1.1\r\nHost: 127.0.0.1\r\n", 0), 0u) << raw;
    // The referer's own CR LF plus the line end: the header block ends there.
    EXPECT_NE(raw.find("Referer: http://www.bing.com/maps/\r\n\r\n"), std::string::npos) << raw;
}

TEST_F(RedownloadTest, LineWithoutBarIsRequestedWholeAndItsEmptyPathEndsTheRun)
{
    server.Enqueue(ScriptedReply::Ok("PNG"));
    EXPECT_THROW(Run({Url("nobar.png"), Line("b.png")}), platform::EFCreateError);
    ASSERT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(server.Requests()[0].target, "/tiles/nobar.png");
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
    const std::string list = OfferList({Line("a.png"), Line("b.png")});
    const std::string before = ReadBytes(list);
    WriteBytes(Tile("b.png"), "an older image");

    TfrmFlt w;
    w.show();
    RunWindow(w);

    EXPECT_EQ(w.Memo1Lines.ToVector(), (Lines{"Start...", "404 Not Found->" + Url("a.png"), Url("a.png") + kNotFound,
                                   Tile("b.png") + ":" + Url("b.png") + " ->OK", "Download End."}));
    EXPECT_EQ(ReadBytes(list), before);
    EXPECT_EQ(ReadBytes(Tile("b.png")), "PNG-2");
    EXPECT_FALSE(std::filesystem::exists(Tile("a.png")));

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
    const std::string deadUrl = "http://127.0.0.1:" + std::to_string(closedPort) + "/tiles/a.png";
    OfferList({Tile("a.png") + "|" + deadUrl, Line("b.png")});

    TfrmFlt w;
    w.show();
    RunWindow(w);

    ASSERT_EQ(w.Memo1Lines.ToVector().size(), 4u);
    EXPECT_EQ(w.Memo1->toPlainText().toStdString(),
              "Start...\nSocket Error # 10061\nConnection refused.->" + deadUrl + "\n" + kNetwork +
                  "\nDownload End.");
    EXPECT_EQ(server.RequestCount(), 0u);
}

TEST_F(RedownloadTest, WindowFileThatCannotBeWrittenEndsWithTheErrorBox)
{
    server.Enqueue(ScriptedReply::Ok("PNG"));
    server.Enqueue(ScriptedReply::Ok("never fetched"));
    const std::string missing = folder.Path() + "no-such-folder/a.png";
    OfferList({missing + "|" + Url("a.png"), Line("b.png")});

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
        if (r.target.find("b.png") != std::string::npos) {
            std::unique_lock<std::mutex> l(m);
            cv.wait(l, [&] { return release; });
        }
        return ScriptedReply::Ok("PNG");
    });
    OfferList({Line("a.png"), Line("b.png"), Line("c.png"), Line("d.png"), Line("e.png")});

    TfrmFlt w;
    w.show();
    w.Button1Click();
    ASSERT_TRUE(w.Running());
    EXPECT_EQ(w.Button1->text().toStdString(), "Stop");
    ASSERT_TRUE(server.WaitForRequests(2));
    // The window is serviced while the second tile hangs on the server.
    ASSERT_TRUE(PumpUntil([&] { return w.LabelProgress->text() == "2 of 5"; }));
    EXPECT_EQ(w.Memo1Lines.ToVector(), (Lines{"Start...", Tile("a.png") + ":" + Url("a.png") + " ->OK"}));

    w.Button1Click();   // stop after this tile
    w.Button1Click();   // does nothing more
    EXPECT_FALSE(w.Button1->isEnabled());
    {
        std::lock_guard<std::mutex> l(m);
        release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(PumpUntil([&] { return !w.Running(); }));

    EXPECT_EQ(w.Memo1Lines.ToVector(), (Lines{"Start...", Tile("a.png") + ":" + Url("a.png") + " ->OK",
                                   Tile("b.png") + ":" + Url("b.png") + " ->OK", "Download End."}));
    EXPECT_EQ(server.RequestCount(), 2u);
    EXPECT_EQ(dialogs.openRequests.size(), 1u);   // no press was taken for a new run
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
    OfferList({Line("a.png"), Line("b.png"), Line("c.png")});

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

// With UseProxy=1 every tile goes through the proxy of the settings file,
// with its credentials; the tile hosts themselves are never reached.
TEST_F(RedownloadTest, WindowRunUsesTheProxyOfTheSettings)
{
    TempFolder programFolder;
    platform::SetProgramFolderForTests(programFolder.Path());
    std::filesystem::create_directory(programFolder.Path() + "ini");
    WriteBytes(programFolder.Path() + "ini/config.ini",
                            "[Proxy]\r\nUseProxy=1\r\nProxyServer=127.0.0.1\r\nProxyPort=" +
                                std::to_string(server.Port()) +
                                "\r\nProxyUsername=alice\r\nProxyPassword=secret\r\n");
    server.Enqueue(ScriptedReply::Ok("PNG-PROXIED"));
    const std::string url = "http://t0.tiles.invalid/tiles/a.png";
    OfferList({Tile("a.png") + "|" + url});

    TfrmFlt w;
    w.show();
    RunWindow(w);
    platform::SetProgramFolderForTests("");

    EXPECT_EQ(w.Memo1Lines.ToVector(), (Lines{"Start...", Tile("a.png") + ":" + url + " ->OK", "Download End."}));
    EXPECT_EQ(ReadBytes(Tile("a.png")), "PNG-PROXIED");
    ASSERT_EQ(server.RequestCount(), 1u);
    const std::string raw = server.Requests()[0].raw;
    EXPECT_EQ(raw.rfind("GET " + url + " HTTP/1.1\r\n", 0), 0u) << raw;
    // alice:secret in Base64.
    EXPECT_NE(raw.find("Proxy-Authorization: Basic YWxpY2U6c2VjcmV0\r\n"), std::string::npos) << raw;
}

TEST_F(RedownloadTest, WindowRefusesAProxyPortThatIsNoNumber)
{
    TempFolder programFolder;
    platform::SetProgramFolderForTests(programFolder.Path());
    std::filesystem::create_directory(programFolder.Path() + "ini");
    WriteBytes(programFolder.Path() + "ini/config.ini",
                            "[Proxy]\r\nUseProxy=1\r\nProxyServer=127.0.0.1\r\nProxyPort=eighty\r\n");
    OfferList({Line("a.png")});

    TfrmFlt w;
    w.show();
    w.Button1Click();
    platform::SetProgramFolderForTests("");

    EXPECT_FALSE(w.Running());
    EXPECT_EQ(dialogs.messages, Lines{"Error: the proxy port \"eighty\" is not a port number."});
    EXPECT_EQ(server.RequestCount(), 0u);
}

} // namespace

} // namespace kartivo::ui
