#include "tests/support/TestServer.h"

#include "platform/Socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <stdexcept>

// One thread accepts; each accepted connection gets its own thread that
// reads requests and plays the scripted replies. Every socket is closed under
// the server's mutex, so that Stop can shut down the ones still open without
// ever touching a descriptor number that has meanwhile been reused.

namespace kartivo::testing {

namespace {

std::string StatusHead(int code, const std::string& reason)
{
    return "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\n";
}

bool IsTokenChar(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_'; }

// "METHOD SP target SP HTTP/..." with a non-empty method of letters.
bool ParseRequestLine(const std::string& line, std::string& method, std::string& target)
{
    const auto sp1 = line.find(' ');
    if (sp1 == std::string::npos || sp1 == 0)
        return false;
    for (std::size_t i = 0; i < sp1; ++i)
        if (!IsTokenChar(line[i]))
            return false;
    const auto sp2 = line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || sp2 == sp1 + 1)
        return false;
    if (line.compare(sp2 + 1, 5, "HTTP/") != 0)
        return false;
    method = line.substr(0, sp1);
    target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    return true;
}

std::string LowerAscii(std::string s)
{
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string HeaderValue(const std::string& block, const std::string& name)
{
    std::size_t pos = block.find("\r\n");
    const std::string want = LowerAscii(name) + ":";
    while (pos != std::string::npos) {
        const std::size_t start = pos + 2;
        const std::size_t end = block.find("\r\n", start);
        if (end == std::string::npos || end == start)
            break;
        const std::string line = block.substr(start, end - start);
        if (LowerAscii(line.substr(0, want.size())) == want) {
            std::string v = line.substr(want.size());
            const auto b = v.find_first_not_of(" \t");
            const auto e = v.find_last_not_of(" \t");
            return b == std::string::npos ? std::string() : v.substr(b, e - b + 1);
        }
        pos = end;
    }
    return {};
}

std::string PathOf(const std::string& target)
{
    const auto scheme = target.find("://");
    if (scheme == std::string::npos || target.compare(0, 1, "/") == 0)
        return target;
    const auto slash = target.find('/', scheme + 3);
    return slash == std::string::npos ? std::string("/") : target.substr(slash);
}

} // namespace

ScriptedReply ScriptedReply::Ok(const std::string& body, const std::string& contentType)
{
    ScriptedReply r;
    r.bytes = StatusHead(200, "OK") + "Content-Type: " + contentType +
              "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return r;
}

ScriptedReply ScriptedReply::Status(int code, const std::string& reason, const std::string& body)
{
    ScriptedReply r;
    r.bytes = StatusHead(code, reason) +
              "Content-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return r;
}

ScriptedReply ScriptedReply::Chunked(const std::vector<std::string>& chunks)
{
    ScriptedReply r;
    r.bytes = StatusHead(200, "OK") + "Content-Type: image/png\r\nTransfer-Encoding: chunked\r\n\r\n";
    char size[32];
    for (const auto& c : chunks) {
        if (c.empty())
            continue; // an empty chunk would end the body
        std::snprintf(size, sizeof size, "%zx\r\n", c.size());
        r.bytes += size + c + "\r\n";
    }
    r.bytes += "0\r\n\r\n";
    return r;
}

ScriptedReply ScriptedReply::UntilClose(const std::string& body)
{
    ScriptedReply r;
    r.bytes = StatusHead(200, "OK") + "Content-Type: image/png\r\n\r\n" + body;
    r.after = After::Close;
    return r;
}

ScriptedReply ScriptedReply::ResetConnection()
{
    ScriptedReply r;
    r.after = After::Reset;
    return r;
}

struct TestServer::Impl {
    struct Conn {
        int fd = -1;
        bool done = false;
        int drop = 0; // DropConnections: 1 close, 2 reset
        std::thread thread;
    };

    int listenFd = -1;
    int port = 0;

    mutable std::mutex mu;
    mutable std::condition_variable cv; // requests recorded, stop requested
    bool stopping = false;
    std::deque<ScriptedReply> queue;
    std::function<ScriptedReply(const RecordedRequest&)> handler;
    std::vector<RecordedRequest> requests;
    int accepted = 0;
    int lateSent = 0;
    std::list<Conn> conns;
    std::thread acceptThread;

    void AcceptLoop();
    void Serve(Conn* conn, int index);
    void CloseConn(Conn* conn, bool reset);
    bool SendAll(Conn* conn, const char* data, std::size_t size);
    // Waits `ms`; false when Stop or DropConnections ended the wait.
    bool Pause(Conn* conn, int ms);
    void ReapFinished();
};

void TestServer::Impl::CloseConn(Conn* conn, bool reset)
{
    std::lock_guard<std::mutex> lock(mu);
    if (conn->fd < 0)
        return;
    reset = reset || conn->drop == 2;
    if (reset) {
        linger lg{1, 0};
        ::setsockopt(conn->fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    } else {
        ::shutdown(conn->fd, SHUT_WR);
    }
    ::close(conn->fd);
    conn->fd = -1;
    cv.notify_all();
}

bool TestServer::Impl::SendAll(Conn* conn, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(conn->fd, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool TestServer::Impl::Pause(Conn* conn, int ms)
{
    std::unique_lock<std::mutex> lock(mu);
    return !cv.wait_for(lock, std::chrono::milliseconds(ms),
                        [this, conn] { return stopping || conn->drop != 0; });
}

void TestServer::Impl::Serve(Conn* conn, int index)
{
    std::string buf;
    char chunk[16384];
    // Blocks until `buf` holds a full header block; false when the peer or Stop ended it.
    auto readBlock = [&](std::size_t& end) {
        while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t n = ::recv(conn->fd, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            buf.append(chunk, static_cast<std::size_t>(n));
        }
        end += 4;
        return true;
    };

    for (;;) {
        std::size_t end = 0;
        if (!readBlock(end))
            break;
        std::string block = buf.substr(0, end);
        buf.erase(0, end);

        RecordedRequest req;
        const std::string firstLine = block.substr(0, block.find("\r\n"));
        if (!ParseRequestLine(firstLine, req.method, req.target)) {
            // Not a request: the tail of the previous request's header block.
            std::lock_guard<std::mutex> lock(mu);
            for (auto it = requests.rbegin(); it != requests.rend(); ++it)
                if (it->connection == index) {
                    it->raw += block;
                    break;
                }
            continue;
        }
        // Header lines that follow an early empty line arrive with the same
        // send; they belong to this request and are not answered.
        while ((end = buf.find("\r\n\r\n")) != std::string::npos) {
            std::string m, t;
            if (ParseRequestLine(buf.substr(0, buf.find("\r\n")), m, t))
                break;
            block += buf.substr(0, end + 4);
            buf.erase(0, end + 4);
        }
        req.raw = block;
        req.path = PathOf(req.target);
        req.host = HeaderValue(block, "Host");
        req.connection = index;

        ScriptedReply reply;
        std::function<ScriptedReply(const RecordedRequest&)> h;
        bool fromQueue = false;
        {
            std::lock_guard<std::mutex> lock(mu);
            requests.push_back(req);
            if (!queue.empty()) {
                reply = std::move(queue.front());
                queue.pop_front();
                fromQueue = true;
            } else {
                h = handler;
            }
        }
        cv.notify_all();
        if (!fromQueue)
            reply = h ? h(req) : ScriptedReply::Status(404, "Not Found");

        if (reply.delayMs > 0 && !Pause(conn, reply.delayMs))
            break;
        if (reply.silent)
            continue; // the next read waits for the peer or Stop

        const std::size_t total = std::min(reply.bytes.size(), reply.closeAfterBytes);
        bool ok = true;
        if (reply.dribble) {
            for (std::size_t i = 0; i < total && ok; ++i) {
                if (i > 0 && reply.dribbleGapMs > 0 && !Pause(conn, reply.dribbleGapMs))
                    ok = false;
                if (ok)
                    ok = SendAll(conn, &reply.bytes[i], 1);
            }
        } else {
            ok = SendAll(conn, reply.bytes.data(), total);
        }
        if (!ok)
            break;
        if (total < reply.bytes.size()) {
            CloseConn(conn, reply.resetInsteadOfClose);
            break;
        }
        if (!reply.late.empty()) {
            if (!Pause(conn, reply.lateDelayMs) || !SendAll(conn, reply.late.data(), reply.late.size()))
                break;
            std::lock_guard<std::mutex> lock(mu);
            ++lateSent;
            cv.notify_all();
        }
        if (reply.after == ScriptedReply::After::Close) {
            CloseConn(conn, false);
            break;
        }
        if (reply.after == ScriptedReply::After::Reset) {
            CloseConn(conn, true);
            break;
        }
    }
    CloseConn(conn, false);
    std::lock_guard<std::mutex> lock(mu);
    conn->done = true;
}

void TestServer::Impl::ReapFinished()
{
    std::list<Conn> finished;
    {
        std::lock_guard<std::mutex> lock(mu);
        for (auto it = conns.begin(); it != conns.end();) {
            auto next = std::next(it);
            if (it->done)
                finished.splice(finished.end(), conns, it);
            it = next;
        }
    }
    for (auto& c : finished)
        c.thread.join();
}

void TestServer::Impl::AcceptLoop()
{
    for (;;) {
        const int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return; // Stop shut the listening socket down
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ReapFinished();
        std::lock_guard<std::mutex> lock(mu);
        if (stopping) {
            ::close(fd);
            return;
        }
        conns.emplace_back();
        Conn* conn = &conns.back();
        conn->fd = fd;
        const int index = accepted++;
        conn->thread = std::thread([this, conn, index] { Serve(conn, index); });
    }
}

TestServer::TestServer() : impl_(std::make_unique<Impl>())
{
    Impl& s = *impl_;
    s.listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s.listenFd < 0)
        throw std::runtime_error("TestServer: socket failed");
    const int one = 1;
    ::setsockopt(s.listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(s.listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(s.listenFd, 64) != 0 ||
        ::getsockname(s.listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(s.listenFd);
        throw std::runtime_error(std::string("TestServer: cannot listen: ") + std::strerror(errno));
    }
    s.port = ntohs(addr.sin_port);
    s.acceptThread = std::thread([&s] { s.AcceptLoop(); });
}

TestServer::~TestServer() { Stop(); }

void TestServer::Stop()
{
    Impl& s = *impl_;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        if (s.stopping)
            return;
        s.stopping = true;
    }
    s.cv.notify_all();
    ::shutdown(s.listenFd, SHUT_RDWR); // wakes accept()
    s.acceptThread.join();
    ::close(s.listenFd);
    {
        std::lock_guard<std::mutex> lock(s.mu);
        for (auto& c : s.conns)
            if (c.fd >= 0)
                ::shutdown(c.fd, SHUT_RDWR); // wakes recv()
    }
    for (auto& c : s.conns)
        c.thread.join();
    s.conns.clear();
}

void TestServer::DropConnections(bool reset)
{
    std::unique_lock<std::mutex> lock(impl_->mu);
    for (auto& c : impl_->conns) {
        if (c.fd < 0)
            continue;
        c.drop = reset ? 2 : 1;
        ::shutdown(c.fd, SHUT_RD); // the connection's thread sees the end and closes
    }
    impl_->cv.notify_all();
    impl_->cv.wait(lock, [this] {
        for (const auto& c : impl_->conns)
            if (c.drop != 0 && c.fd >= 0)
                return false;
        return true;
    });
}

int TestServer::Port() const { return impl_->port; }

void TestServer::Enqueue(ScriptedReply reply)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->queue.push_back(std::move(reply));
}

void TestServer::SetHandler(std::function<ScriptedReply(const RecordedRequest&)> handler)
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->handler = std::move(handler);
}

std::vector<RecordedRequest> TestServer::Requests() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->requests;
}

std::size_t TestServer::RequestCount() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->requests.size();
}

int TestServer::ConnectionsAccepted() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->accepted;
}

bool TestServer::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout, [&] { return impl_->requests.size() >= count; });
}

bool TestServer::WaitForLateBytes(int count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout, [&] { return impl_->lateSent >= count; });
}

namespace {

int LoopbackResolver(const char* host, const char* service, const addrinfo* hints, addrinfo** res)
{
    const std::string h = LowerAscii(host);
    if (h.size() >= 8 && h.compare(h.size() - 8, 8, ".invalid") == 0)
        return EAI_NONAME;
    addrinfo numeric = *hints;
    numeric.ai_family = AF_INET;
    numeric.ai_flags |= AI_NUMERICHOST;
    return ::getaddrinfo("127.0.0.1", service, &numeric, res);
}

} // namespace

ScopedLoopbackNames::ScopedLoopbackNames() { platform::SetResolverForTesting(&LoopbackResolver); }
ScopedLoopbackNames::~ScopedLoopbackNames() { platform::SetResolverForTesting(nullptr); }

} // namespace kartivo::testing
