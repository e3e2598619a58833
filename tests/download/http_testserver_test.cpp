// The scriptable test server itself: it stops promptly with connections that
// are silent, delayed or idle. (Its replies are exercised by the client tests.)
#include "tests/support/TestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

namespace kartivo::download {

using testing::ScriptedReply;
using testing::TestServer;

namespace {

// A bare blocking client: no HTTP logic, so the server is tested on its own.
class RawClient {
public:
    explicit RawClient(int port)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { ::close(fd_); }
    bool Connected() const { return connected_; }
    void Send(const std::string& s)
    {
        ASSERT_EQ(::send(fd_, s.data(), s.size(), MSG_NOSIGNAL), (ssize_t)s.size());
    }
    // Reads exactly n bytes, or until end of stream / error.
    std::string Read(std::size_t n, int* err = nullptr)
    {
        std::string out;
        char buf[4096];
        while (out.size() < n) {
            const ssize_t r = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r <= 0) {
                if (err)
                    *err = r < 0 ? errno : 0;
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

TEST(TestServer, StopsWithSilentDelayedAndIdleConnections)
{
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
    server.reset(); // must return promptly: no reply is ever waited out
    int err = -1;
    EXPECT_EQ(a.Read(10, &err), "");
    EXPECT_EQ(b.Read(10, &err), "");
}

} // namespace

} // namespace kartivo::download
