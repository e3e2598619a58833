#include "platform/Socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

namespace kartivo::platform {

namespace {

std::atomic<ResolverFn> g_resolver{nullptr};

// Waits until fd is ready for `events`; false on time-out. An abort, when
// given, ends the wait with 10053.
bool WaitReady(int fd, short events, int timeoutMs, const SocketAbort* abort)
{
    pollfd p[2] = {{fd, events, 0}, {abort ? abort->Fd() : -1, POLLIN, 0}};
    for (;;) {
        const int r = ::poll(p, abort ? 2 : 1, timeoutMs);
        if (abort && (abort->Aborted() || p[1].revents != 0))
            throw SocketError(WSAECONNABORTED);
        if (r > 0)
            return true;
        if (r == 0)
            return false;
        if (errno != EINTR)
            throw SocketError(WsaFromErrno(errno));
    }
}

} // namespace

int WsaFromErrno(int err)
{
    switch (err) {
    case ECONNRESET: return 10054;
    case EADDRINUSE: return 10048;
    case ECONNREFUSED: return 10061;
    case ETIMEDOUT: return 10060;
    case EAGAIN: return 10060; // a send or receive time-out
    case ENETUNREACH: return 10051;
    case EHOSTUNREACH: return 10065;
    case ECONNABORTED: return 10053;
    case ENETDOWN: return 10050;
    case EADDRNOTAVAIL: return 10049;
    case ENOTCONN: return 10057;
    case EINTR: return 10004;
    case EACCES: return 10013;
    case EMFILE: return 10024;
    case ENOBUFS: return 10055;
    case EHOSTDOWN: return 10064;
    default: return 10014;
    }
}

int WsaFromGai(int gaiError)
{
    switch (gaiError) {
    case EAI_NONAME: return 11001;
    case EAI_AGAIN: return 11002;
    case EAI_FAIL: return 11003;
    case EAI_SYSTEM: return WsaFromErrno(errno);
    default: return 11001;
    }
}

SocketError::SocketError(int wsa) : std::runtime_error("socket error " + std::to_string(wsa)), Wsa(wsa) {}

ConnectionClosed::ConnectionClosed() : std::runtime_error("connection closed by peer") {}

void SetResolverForTesting(ResolverFn fn) { g_resolver.store(fn); }

SocketAbort::SocketAbort() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    // Without the descriptor an abort is still seen, at the latest when the
    // current wait times out.
}

SocketAbort::~SocketAbort()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void SocketAbort::Abort() noexcept
{
    aborted_.store(true);
    if (fd_ >= 0) {
        const std::uint64_t one = 1;
        // The counter only grows and is never read: the descriptor stays readable.
        [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
    }
}

void TcpSocket::ThrowIfAborted() const
{
    if (abort_ && abort_->Aborted())
        throw SocketError(WSAECONNABORTED);
}

TcpSocket::~TcpSocket() { Close(); }

void TcpSocket::Close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void TcpSocket::Connect(const std::string& host, int port, int timeoutMs)
{
    Close();
    ThrowIfAborted();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    const std::string service = std::to_string(port);
    addrinfo* list = nullptr;
    ResolverFn resolve = g_resolver.load();
    const int gai = (resolve ? resolve : &::getaddrinfo)(host.c_str(), service.c_str(), &hints, &list);
    if (gai != 0)
        throw SocketError(WsaFromGai(gai));

    int lastWsa = 10061;
    for (addrinfo* a = list; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            lastWsa = WsaFromErrno(errno);
            continue;
        }
        int err = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS || err == EINTR) {
                bool ready = false;
                try {
                    ready = WaitReady(fd, POLLOUT, timeoutMs, abort_);
                } catch (...) {
                    ::close(fd);
                    ::freeaddrinfo(list);
                    throw;
                }
                if (!ready) {
                    err = ETIMEDOUT;
                } else {
                    socklen_t len = sizeof err;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                        err = errno;
                }
            }
        }
        if (err == 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            fd_ = fd;
            ::freeaddrinfo(list);
            return;
        }
        ::close(fd);
        lastWsa = WsaFromErrno(err);
    }
    ::freeaddrinfo(list);
    throw SocketError(lastWsa);
}

void TcpSocket::SendAll(const char* data, std::size_t size, int timeoutMs)
{
    if (fd_ < 0)
        throw SocketError(10057);
    ThrowIfAborted();
    while (size > 0) {
        const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
        if (n >= 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        const int err = errno;
        if (err == EINTR)
            continue;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            if (!WaitReady(fd_, POLLOUT, timeoutMs, abort_))
                throw SocketError(WSAETIMEDOUT);
            continue;
        }
        if (err == EPIPE)
            throw ConnectionClosed();
        throw SocketError(WsaFromErrno(err));
    }
}

std::size_t TcpSocket::Receive(char* data, std::size_t size, int timeoutMs)
{
    if (fd_ < 0)
        throw SocketError(10057);
    ThrowIfAborted();
    for (;;) {
        const ssize_t n = ::recv(fd_, data, size, 0);
        if (n >= 0)
            return static_cast<std::size_t>(n);
        const int err = errno;
        if (err == EINTR)
            continue;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            if (!WaitReady(fd_, POLLIN, timeoutMs, abort_))
                throw SocketError(WSAETIMEDOUT);
            continue;
        }
        throw SocketError(WsaFromErrno(err));
    }
}

TcpSocket::Idle TcpSocket::CheckIdle() const
{
    if (fd_ < 0)
        return Idle::Closed;
    char c;
    for (;;) {
        const ssize_t n = ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0)
            return Idle::DataPending;
        if (n == 0)
            return Idle::Closed;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return Idle::Open;
        return Idle::Closed; // reset or otherwise failed
    }
}

} // namespace kartivo::platform
