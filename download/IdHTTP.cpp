// TIdHTTP: one GET at a time over a kept-open TCP connection.
//
// Life of a Get: split the URL -> drop the open connection if it leads
// elsewhere -> connect if needed -> send the request in one piece -> read
// status line, headers and body (HttpReply) -> keep or close the connection
// -> return for 2xx, raise the status text otherwise.
//
// Beyond the classic client's behaviour, for robustness:
// - Connect, send and receive give up after TimeoutMs (60 s) without
//   progress, with socket error 10060, so a silent server cannot hold a
//   worker (and with it Stop and the end of the program) forever; and the
//   whole Get gives up after GetTimeLimitMs (120 s) with the same error, so
//   neither can a server that trickles a byte now and then.
// - A kept connection is reused only when it is idle and still open: bytes
//   that arrived since the last reply (a late extra reply, the tail of a body
//   longer than its Content-Length) or the server's close mean it is dropped
//   and a fresh one opened, silently, so those bytes are never read as the
//   next tile's reply.
// - The header block is limited to 64 KiB and the body to 64 MiB, nothing is
//   preallocated from Content-Length, and invalid Content-Length values or
//   chunk sizes are refused (EIdReplyError, whose texts carry no status code
//   or error number that a caller could mistake for a classified failure).
// - A Content-Length of 0, and 1xx, 204 and 304 replies, mean an empty body
//   rather than reading until the server closes.
// - When a reply is both chunked and has a Content-Length, the chunking
//   frames the body and the connection is closed afterwards.
// - The connection is closed after any failure, after an interim (1xx)
//   reply, and after any reply that leaves unexpected bytes behind it, so
//   the next Get never reads leftovers.
//   The keep-or-close rules apply after error statuses as after successes.
// - A header value holding a line break ends the header block early on the
//   wire (callers therefore set values without line ends); the lines after
//   it reach the server as a request of their own, which a real server
//   answers (usually 400). Such a request is sent byte for byte as stored,
//   but its connection is closed after the reply, so that answer can never
//   be taken for the reply to the next Get.
// Callers that retry should Clear() the buffer before each attempt.
#include "download/IdHTTP.h"

#include "download/HttpReply.h"
#include "platform/Socket.h"

#include <algorithm>
#include <chrono>

namespace kartivo::download {

namespace {

struct WsaText {
    int number;
    const char* text;
};

// The Windows Sockets descriptions, by number, as the callers' users know them.
constexpr WsaText kWsaTexts[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
};

std::string SocketErrorText(int wsaError)
{
    return "Socket Error # " + std::to_string(wsaError) + "\r\n" + WsaErrorDescription(wsaError);
}

bool EqualNoCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto low = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return low(x) == low(y);
           });
}

std::string Base64(const std::string& in)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                           (static_cast<unsigned char>(in[i + 1]) << 8) |
                           static_cast<unsigned char>(in[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i + 1 == in.size()) {
        const unsigned v = static_cast<unsigned char>(in[i]) << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        const unsigned v =
            (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

// The parts of a URL that a GET needs.
struct Url {
    std::string protocol;
    std::string host;
    int port = -1;      // -1: none given
    std::string target; // path and document, fragment removed
};

Url SplitUrl(std::string url)
{
    std::replace(url.begin(), url.end(), '\\', '/');
    Url u;
    std::string rest = url;
    const auto scheme = url.find("://");
    if (scheme != std::string::npos) {
        u.protocol = url.substr(0, scheme);
        rest = url.substr(scheme + 3);
    } else {
        u.protocol = "http";
    }
    const auto slash = rest.find('/');
    std::string hostPort = rest.substr(0, slash);
    std::string pathDoc = slash == std::string::npos ? std::string() : rest.substr(slash);
    const auto colon = hostPort.find(':');
    u.host = hostPort.substr(0, colon);
    if (colon != std::string::npos) {
        const std::string p = hostPort.substr(colon + 1);
        int v = 0;
        bool ok = !p.empty() && p.size() <= 5;
        for (char c : p) {
            if (c < '0' || c > '9') {
                ok = false;
                break;
            }
            v = v * 10 + (c - '0');
        }
        // No URL in these texts: its digits could read as a classified number.
        if (!ok || v < 1 || v > 65535)
            throw EIdException("The URL names an invalid port.");
        u.port = v;
    }
    if (u.host.empty())
        throw EIdException("The URL names no host.");
    const auto hash = pathDoc.find('#');
    if (hash != std::string::npos)
        pathDoc.erase(hash);
    if (pathDoc.empty() || pathDoc[0] != '/')
        pathDoc.insert(0, "/");
    u.target = pathDoc;
    return u;
}

// The time-outs of one Get: each socket call may wait up to the inactivity
// limit, but never past the end of the whole Get.
class GetClock {
public:
    GetClock(int inactivityMs, int wholeGetMs)
        : inactivityMs_(inactivityMs),
          end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(wholeGetMs))
    {
    }
    // The wait allowed to the next socket call; 10060 once the Get is over time.
    int NextWaitMs() const
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now())
                .count();
        if (left <= 0)
            throw platform::SocketError(platform::WSAETIMEDOUT);
        return static_cast<int>(std::min<long long>(inactivityMs_, left));
    }

private:
    int inactivityMs_;
    std::chrono::steady_clock::time_point end_;
};

// The socket as the reply reader sees it.
class SocketSource : public ByteSource {
public:
    SocketSource(platform::TcpSocket& socket, const GetClock& clock) : socket_(socket), clock_(clock) {}
    std::size_t Read(char* data, std::size_t size) override
    {
        return socket_.Receive(data, size, clock_.NextWaitMs());
    }

private:
    platform::TcpSocket& socket_;
    const GetClock& clock_;
};

} // namespace

const char* WsaErrorDescription(int wsaError)
{
    for (const auto& e : kWsaTexts)
        if (e.number == wsaError)
            return e.text;
    return "";
}

EIdSocketError::EIdSocketError(int wsaError) : EIdException(SocketErrorText(wsaError)), LastError(wsaError) {}

EIdConnClosedGracefully::EIdConnClosedGracefully() : EIdException("Connection Closed Gracefully.") {}

struct TIdHTTP::Connection {
    platform::SocketAbort abort; // declared first: outlives the socket
    platform::TcpSocket socket;
    std::string host;
    int port = 0;
    std::vector<char> readBuffer;
};

TIdHTTP::TIdHTTP() : conn_(std::make_unique<Connection>()) { conn_->socket.SetAbort(&conn_->abort); }

TIdHTTP::~TIdHTTP() { Disconnect(); }

void TIdHTTP::Disconnect() { conn_->socket.Close(); }

bool TIdHTTP::Connected() const { return conn_->socket.IsOpen(); }

void TIdHTTP::Abort() noexcept { conn_->abort.Abort(); }
bool TIdHTTP::Aborted() const noexcept { return conn_->abort.Aborted(); }

void TIdHTTP::Get(const std::string& url, TMemoryStream& buffer)
{
    const Url u = SplitUrl(url);
    const bool viaProxy = !Request.ProxyServer.empty();
    const std::string connectHost = viaProxy ? Request.ProxyServer : u.host;
    const int connectPort = viaProxy ? Request.ProxyPort : (u.port >= 0 ? u.port : Port);
    const std::string target = viaProxy ? u.protocol + "://" + u.host + u.target : u.target;

    // The request in one piece; values go out exactly as stored.
    std::string req;
    req.reserve(256);
    req += "GET " + target + " HTTP/" + (ProtocolVersion == pv1_0 ? "1.0" : "1.1") + "\r\n";
    req += "Host: " + u.host + "\r\n";
    auto line = [&req](const char* name, const std::string& value) {
        if (!value.empty())
            req.append(name).append(value).append("\r\n");
    };
    line("Accept: ", Request.Accept);
    line("Accept-Charset: ", Request.AcceptCharSet);
    line("Accept-Encoding: ", Request.AcceptEncoding);
    line("Accept-Language: ", Request.AcceptLanguage);
    line("From: ", Request.From);
    line("Referer: ", Request.Referer);
    line("User-Agent: ", Request.UserAgent);
    line("Connection: ", Request.Connection);
    if (!Request.Username.empty())
        line("Authorization: Basic ", Base64(Request.Username + ":" + Request.Password));
    if (viaProxy && !Request.ProxyUsername.empty())
        line("Proxy-Authorization: Basic ", Base64(Request.ProxyUsername + ":" + Request.ProxyPassword));
    for (const auto& h : Request.ExtraHeaders)
        req.append(h).append("\r\n");
    req += "\r\n";
    // True when a value put an empty line before the real end of the request.
    const bool headerBlockSplit = req.find("\r\n\r\n") + 4 != req.size();

    platform::TcpSocket& sock = conn_->socket;
    if (sock.IsOpen() && (!EqualNoCase(conn_->host, connectHost) || conn_->port != connectPort))
        Disconnect();
    // Whatever came in since the last reply belongs to no request of ours.
    if (sock.IsOpen() && sock.CheckIdle() != platform::TcpSocket::Idle::Open)
        Disconnect();

    LastStatusCode = 0;
    LastStatusText.clear();
    ReplyHeaders = TIdHTTPResponseHeaders{};

    ReplyHead head;
    BodyEnd bodyEnd = BodyEnd::Framed;
    std::size_t leftover = 0;
    try {
        const GetClock clock(TimeoutMs, GetTimeLimitMs);
        if (!sock.IsOpen()) {
            sock.Connect(connectHost, connectPort, clock.NextWaitMs());
            conn_->host = connectHost;
            conn_->port = connectPort;
        }
        sock.SendAll(req.data(), req.size(), clock.NextWaitMs());
        SocketSource source(sock, clock);
        ReplyReader reader(source, conn_->readBuffer);
        reader.ReadHead(head);
        LastStatusCode = head.code;
        LastStatusText = head.statusText;
        ReplyHeaders = head.headers;
        bodyEnd = reader.ReadBody(head, buffer);
        leftover = reader.Leftover();
    } catch (const platform::SocketError& e) {
        Disconnect();
        throw EIdSocketError(e.Wsa);
    } catch (const platform::ConnectionClosed&) {
        Disconnect();
        throw EIdConnClosedGracefully();
    } catch (...) {
        Disconnect();
        throw;
    }

    // Keep the connection only when the server means to and nothing is left on it.
    // An interim (1xx) reply is followed by the real one, which must never be
    // read as the reply to the next request.
    const std::string connection = ReplyHeaders.Connection;
    if (ProtocolVersion == pv1_0 || head.http10 || head.code / 100 == 1 || bodyEnd != BodyEnd::Framed ||
        EqualNoCase(connection, "close") || leftover > 0 || headerBlockSplit ||
        sock.CheckIdle() != platform::TcpSocket::Idle::Open)
        Disconnect();

    const bool redirect = (head.code / 100 == 3 && head.code != 304) || !ReplyHeaders.Location.empty();
    if (redirect || head.code / 100 != 2)
        throw EIdHTTPProtocolException(LastStatusCode, LastStatusText);
}

} // namespace kartivo::download
