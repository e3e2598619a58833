// The scriptable test server itself: what a plain socket sees of its replies,
// how it records requests, and that it stops with connections still open.
#include "tests/support/TestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

using testsupport::ScriptedReply;
using testsupport::TestServer;

namespace {

// A bare blocking client: no HTTP logic, so the server is tested on its own.
class RawClient {
public:
    explicit RawClient(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { ::close(fd_); }
    bool Connected() const { return connected_; }
    void Send(const std::string& s) { ASSERT_EQ(::send(fd_, s.data(), s.size(), MSG_NOSIGNAL), (ssize_t)s.size()); }
    // Reads exactly n bytes, or until end of stream / error.
    std::string Read(std::size_t n, int* err = nullptr) {
        std::string out;
        char buf[4096];
        while (out.size() < n) {
            const ssize_t r = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r <= 0) {
                if (err) *err = r < 0 ? errno : 0;
                break;
            }
            out.append(buf, static_cast<std::size_t>(r));
        }
        return out;
    }
private:
    int fd_ = -1;
    bool connected_ = false;
};

const std::string kGet = "GET /a/b.png?x=1 HTTP/1.1\r\nHost: tile.example\r\nAccept: text/html, */*\r\n\r\n";

TEST(TestServer, QueuedRepliesThenHandlerThenDefault404) {
    TestServer server;
    server.Enqueue(ScriptedReply::Ok("hello"));
    server.SetHandler([](const testsupport::RecordedRequest& r) {
        return ScriptedReply::Ok("path=" + r.path);
    });
    RawClient c(server.Port());
    ASSERT_TRUE(c.Connected());
    c.Send(kGet);
    const std::string first = ScriptedReply::Ok("hello").bytes;
    EXPECT_EQ(c.Read(first.size()), first);
    c.Send(kGet);
    const std::string second = ScriptedReply::Ok("path=/a/b.png?x=1").bytes;
    EXPECT_EQ(c.Read(second.size()), second);
    ASSERT_TRUE(server.WaitForRequests(2));
    const auto reqs = server.Requests();
    EXPECT_EQ(reqs[0].raw, kGet);
    EXPECT_EQ(reqs[0].method, "GET");
    EXPECT_EQ(reqs[0].host, "tile.example");
    EXPECT_EQ(reqs[1].connection, 0);
    EXPECT_EQ(server.ConnectionsAccepted(), 1);

    TestServer plain;
    RawClient d(plain.Port());
    d.Send(kGet);
    const std::string notFound = ScriptedReply::Status(404, "Not Found").bytes;
    EXPECT_EQ(d.Read(notFound.size()), notFound);
}

TEST(TestServer, AbsoluteFormTargetAndEarlyEmptyLine) {
    TestServer server;
    RawClient c(server.Port());
    // A header value ending in CR LF ends the block early; the rest is not answered.
    const std::string req =
        "GET http://r1.tiles.example/tiles/r0.png?g=1 HTTP/1.1\r\nHost: r1.tiles.example\r\n"
        "Referer: http://site/\r\n\r\nUser-Agent: X\r\nConnection: Keep_Alive\r\n\r\n";
    c.Send(req);
    ASSERT_TRUE(server.WaitForRequests(1));
    c.Read(ScriptedReply::Status(404, "Not Found").bytes.size());
    const auto r = server.Requests().at(0);
    EXPECT_EQ(r.raw, req);
    EXPECT_EQ(r.target, "http://r1.tiles.example/tiles/r0.png?g=1");
    EXPECT_EQ(r.path, "/tiles/r0.png?g=1");
    EXPECT_EQ(r.host, "r1.tiles.example");
    EXPECT_EQ(server.RequestCount(), 1u);
}

TEST(TestServer, CutShortWithFinOrReset) {
    TestServer server;
    ScriptedReply cut = ScriptedReply::Ok("0123456789");
    const std::size_t keep = cut.bytes.size() - 4;
    cut.closeAfterBytes = keep;
    server.Enqueue(cut);
    ScriptedReply reset = ScriptedReply::ResetConnection();
    server.Enqueue(reset);
    {
        RawClient c(server.Port());
        c.Send(kGet);
        int err = -1;
        EXPECT_EQ(c.Read(1000, &err), cut.bytes.substr(0, keep));
        EXPECT_EQ(err, 0);   // orderly end of stream
    }
    RawClient d(server.Port());
    d.Send(kGet);
    int err = 0;
    EXPECT_EQ(d.Read(1000, &err), "");
    EXPECT_EQ(err, ECONNRESET);
}

TEST(TestServer, StopsWithSilentDelayedAndIdleConnections) {
    auto server = std::make_unique<TestServer>();
    ScriptedReply silent;
    silent.silent = true;
    ScriptedReply slow = ScriptedReply::Ok("x");
    slow.delayMs = 60000;
    server->Enqueue(silent);
    server->Enqueue(slow);
    RawClient a(server->Port()), b(server->Port()), idle(server->Port());
    a.Send(kGet);
    ASSERT_TRUE(server->WaitForRequests(1));
    b.Send(kGet);
    ASSERT_TRUE(server->WaitForRequests(2));
    server.reset();   // must return promptly: no reply is ever waited out
    int err = -1;
    EXPECT_EQ(a.Read(10, &err), "");
    EXPECT_EQ(b.Read(10, &err), "");
}

} // namespace
