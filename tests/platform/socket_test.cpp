// The socket layer: errno and name-lookup failures as Windows Sockets
// numbers, and a dead peer seen as a closed connection, never as SIGPIPE.
#include "platform/Socket.h"
#include "tests/support/TestServer.h"

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

namespace kartivo::platform {

using testing::TestServer;

namespace {

TEST(SocketErrors, ErrnoToWindowsSocketsNumber)
{
    const std::pair<int, int> table[] = {{ECONNRESET, 10054},    {EADDRINUSE, 10048},   {ECONNREFUSED, 10061},
                                         {ETIMEDOUT, 10060},     {EAGAIN, 10060},       {ENETUNREACH, 10051},
                                         {EHOSTUNREACH, 10065},  {ECONNABORTED, 10053}, {ENETDOWN, 10050},
                                         {EADDRNOTAVAIL, 10049}, {ENOTCONN, 10057},     {EINTR, 10004},
                                         {EACCES, 10013},        {EMFILE, 10024},       {ENOBUFS, 10055},
                                         {EHOSTDOWN, 10064},     {EBADMSG, 10014},      {ENOENT, 10014}};
    for (const auto& [err, wsa] : table)
        EXPECT_EQ(WsaFromErrno(err), wsa) << err;
    EXPECT_EQ(WsaFromGai(EAI_NONAME), 11001);
    EXPECT_EQ(WsaFromGai(EAI_AGAIN), 11002);
    EXPECT_EQ(WsaFromGai(EAI_FAIL), 11003);
}

const std::string kGet = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";

TEST(TcpSocket, ResetPeerThenSendIsClosedConnection)
{
    TestServer server;
    server.Enqueue(testing::ScriptedReply::ResetConnection());
    TcpSocket s;
    s.Connect("127.0.0.1", server.Port(), 5000);
    s.SendAll(kGet.data(), kGet.size(), 5000);
    char c;
    try {
        s.Receive(&c, 1, 5000);
        FAIL() << "a reset must fail the receive";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Wsa, 10054);
    }
    // The reset has been reported; sending now meets EPIPE, without SIGPIPE.
    EXPECT_THROW(s.SendAll(kGet.data(), kGet.size(), 5000), ConnectionClosed);
}

TEST(TcpSocket, IdleStates)
{
    TestServer server;
    testing::ScriptedReply extra;
    extra.bytes = "unasked";
    server.Enqueue(extra);
    TcpSocket s;
    s.Connect("127.0.0.1", server.Port(), 5000);
    EXPECT_EQ(s.CheckIdle(), TcpSocket::Idle::Open);
    s.SendAll(kGet.data(), kGet.size(), 5000);
    char buf[8];
    std::size_t got = 0;
    while (got < 7)
        got += s.Receive(buf + got, 7 - got, 5000);
    EXPECT_EQ(s.CheckIdle(), TcpSocket::Idle::Open);
    server.DropConnections();
    EXPECT_EQ(s.CheckIdle(), TcpSocket::Idle::Closed);
    EXPECT_EQ(s.Receive(buf, 1, 5000), 0u);
}

TEST(TcpSocket, SilentPeerTimesOut)
{
    TestServer server;
    TcpSocket s;
    s.Connect("127.0.0.1", server.Port(), 5000);
    char c;
    try {
        s.Receive(&c, 1, 50);
        FAIL();
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Wsa, 10060);
    }
}

} // namespace

} // namespace kartivo::platform
