#pragma once
// Blocking TCP connections for the HTTP client: name lookup, connect, send
// and receive with an inactivity time-out, and every failure reported as a
// Windows Sockets error number so that error texts match on every platform.
#include <netdb.h>

#include <atomic>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace kartivo::platform {

// Windows Sockets numbers for the failures the socket layer reports.
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAHOST_NOT_FOUND = 11001;

// errno of a failed socket call -> Windows Sockets number (10014 when unmapped).
int WsaFromErrno(int err);
// getaddrinfo result -> Windows Sockets number.
int WsaFromGai(int gaiError);

// A failing socket call; Wsa is the Windows Sockets number.
class SocketError : public std::runtime_error {
public:
    explicit SocketError(int wsa);
    int Wsa;
};

// The peer closed the connection while data was still to be sent (EPIPE).
class ConnectionClosed : public std::runtime_error {
public:
    ConnectionClosed();
};

// Name lookup goes through getaddrinfo unless a test installs a stand-in
// (for instance one that fails for an unknown name without asking any DNS
// server). The stand-in's results are released with freeaddrinfo.
using ResolverFn = int (*)(const char* host, const char* service, const addrinfo* hints, addrinfo** result);
void SetResolverForTesting(ResolverFn fn); // nullptr: getaddrinfo

// Cuts short the waits of the sockets that use it, from any thread: after
// Abort(), every wait of theirs in progress and every later call fails at once
// with 10053. Name lookup is the one step it cannot cut short. Must outlive
// the sockets that use it.
class SocketAbort {
public:
    SocketAbort();
    ~SocketAbort();
    SocketAbort(const SocketAbort&) = delete;
    SocketAbort& operator=(const SocketAbort&) = delete;

    void Abort() noexcept;
    bool Aborted() const noexcept { return aborted_.load(); }
    // Readable once aborted; polled beside the socket.
    int Fd() const noexcept { return fd_; }

private:
    int fd_ = -1;
    std::atomic<bool> aborted_{false};
};

// One TCP connection. The descriptor is non-blocking underneath; every call
// waits with poll for at most timeoutMs of inactivity, then fails with 10060.
class TcpSocket {
public:
    TcpSocket() = default;
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Resolves host and connects to the first address that answers.
    void Connect(const std::string& host, int port, int timeoutMs);
    // Sends every byte; SocketError, or ConnectionClosed when the peer is gone.
    void SendAll(const char* data, std::size_t size, int timeoutMs);
    // Up to `size` bytes; 0 means the peer ended the stream.
    std::size_t Receive(char* data, std::size_t size, int timeoutMs);

    // What an idle connection holds, looked at without waiting.
    enum class Idle { Open, Closed, DataPending };
    Idle CheckIdle() const;

    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    // Every later call and wait of this socket also ends when `abort` is
    // aborted (nullptr: none).
    void SetAbort(const SocketAbort* abort) { abort_ = abort; }

private:
    void ThrowIfAborted() const;

    int fd_ = -1;
    const SocketAbort* abort_ = nullptr;
};

} // namespace kartivo::platform
