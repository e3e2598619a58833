#pragma once
// A scriptable HTTP test server on 127.0.0.1 and an ephemeral port, for the
// client, worker and window tests. Each request is answered by a reply that
// the test scripts (queued, or chosen by a handler from the request); raw
// requests are recorded; the constructor returns once the server listens.
// Absolute-form targets ("GET http://host/path", as a client sends them to
// a proxy) are accepted like any other, so the server doubles as the proxy
// through which every tile URL of a task reaches this one server.
// A header block that does not begin with a request line (what follows a
// header value that carries its own CR LF) is not answered: its bytes are
// appended to the raw text of the request before it.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kartivo::testing {

struct RecordedRequest {
    std::string raw; // request line and header block, as received
    std::string method;
    std::string target; // as on the request line
    std::string path;   // target without "scheme://host" (absolute form)
    std::string host;   // value of the Host header
    int connection = 0; // 0-based index of the accepted connection
};

struct ScriptedReply {
    // Bytes sent verbatim: status line, headers and body.
    std::string bytes;
    // Once the bytes are sent: KeepOpen waits for the next request on the
    // connection, Close sends FIN, Reset sends RST (SO_LINGER 0).
    enum class After { KeepOpen, Close, Reset } after = After::KeepOpen;
    std::size_t closeAfterBytes = static_cast<std::size_t>(-1); // cut the reply short
    bool resetInsteadOfClose = false;                           // with closeAfterBytes: RST (SO_LINGER 0)
    int delayMs = 0;                                            // before the first byte
    bool dribble = false;                                       // one byte per write
    int dribbleGapMs = 0;                                       // with dribble: pause between the bytes
    // Sent on its own once the reply is out and lateDelayMs have passed, as a
    // server or proxy that sends more than was asked for, a little later.
    std::string late;
    int lateDelayMs = 0;
    bool silent = false; // read the request, never answer

    static ScriptedReply Ok(const std::string& body, const std::string& contentType = "image/png");
    static ScriptedReply Status(int code, const std::string& reason, const std::string& body = "");
    static ScriptedReply Chunked(const std::vector<std::string>& chunks);
    static ScriptedReply UntilClose(const std::string& body); // no length, then close
    static ScriptedReply ResetConnection();                   // RST, nothing sent
};

class TestServer {
public:
    TestServer();
    ~TestServer(); // stops and joins
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int Port() const;
    // Replies used in order, one per request; when the queue is empty the
    // handler answers (default: 404 Not Found).
    void Enqueue(ScriptedReply reply);
    void SetHandler(std::function<ScriptedReply(const RecordedRequest&)> handler);

    std::vector<RecordedRequest> Requests() const;
    std::size_t RequestCount() const;
    int ConnectionsAccepted() const;
    bool WaitForRequests(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    // Waits until `count` replies have sent their late bytes.
    bool WaitForLateBytes(int count, std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
    // Closes every open connection as a server ending idle keep-alive
    // connections would: FIN, or RST when `reset`. Returns once they are closed.
    void DropConnections(bool reset = false);
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// While one is alive, every host name the HTTP client looks up resolves to
// 127.0.0.1, except names ending in ".invalid", which are unknown (socket
// error 11001). No test then ever sends a name query off the machine.
class ScopedLoopbackNames {
public:
    ScopedLoopbackNames();
    ~ScopedLoopbackNames();
    ScopedLoopbackNames(const ScopedLoopbackNames&) = delete;
    ScopedLoopbackNames& operator=(const ScopedLoopbackNames&) = delete;
};

} // namespace kartivo::testing
