#pragma once
// TIdHTTP: Kartivo's blocking HTTP/1.1 client. One GET at a time into the
// caller's buffer, the connection kept open per host and port, an optional
// HTTP proxy with Basic proxy authorization, redirects never followed.
// Every failure is an EIdException whose text callers classify by substring.
// (Details of time-outs and bounds are in IdHTTP.cpp's header comment.)
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "download/MemoryStream.h"

namespace kartivo::download {

// Every failure of Get. what() is the text the callers classify.
class EIdException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// A status other than 2xx, or a redirect: the text is LastStatusText.
class EIdHTTPProtocolException : public EIdException {
public:
    EIdHTTPProtocolException(int code, const std::string& text) : EIdException(text), ErrorCode(code) {}
    int ErrorCode;
};
// "Socket Error # <n>\r\n<description>" with a Windows Sockets number.
class EIdSocketError : public EIdException {
public:
    explicit EIdSocketError(int wsaError);
    int LastError;
};
// "Connection Closed Gracefully."
class EIdConnClosedGracefully : public EIdException {
public:
    EIdConnClosedGracefully();
};
// A malformed or oversized reply; its text names the fault and contains none
// of the substrings that callers classify.
class EIdReplyError : public EIdException {
public:
    using EIdException::EIdException;
};

// The description of a Windows Sockets error number ("" when unknown).
const char* WsaErrorDescription(int wsaError);

enum TIdHTTPProtocolVersion { pv1_0, pv1_1 };

struct TIdHTTPRequest {
    std::string Accept = "text/html, */*";
    std::string AcceptCharSet;
    std::string AcceptEncoding;
    std::string AcceptLanguage;
    std::string Connection;
    int ContentLength = 0;
    std::vector<std::string> ExtraHeaders;
    std::string From;
    std::string Password;
    std::string ProxyPassword;
    int ProxyPort = 0;
    std::string ProxyServer;
    std::string ProxyUsername;
    std::string Referer;
    std::string UserAgent = "Mozilla/3.0 (compatible; Indy Library)";
    std::string Username;
};

struct TIdHTTPResponseHeaders {
    std::string Location;
    std::string Connection;
    std::string TransferEncoding;
    std::int64_t ContentLength = -1;     // -1: none given
    std::vector<std::string> RawHeaders; // every header line as received
};

class TIdHTTP {
public:
    TIdHTTP();
    ~TIdHTTP();
    TIdHTTP(const TIdHTTP&) = delete;
    TIdHTTP& operator=(const TIdHTTP&) = delete;

    TIdHTTPRequest Request;
    TIdHTTPResponseHeaders ReplyHeaders;
    TIdHTTPProtocolVersion ProtocolVersion = pv1_1;
    int Port = 80;
    // Part of the request settings callers set, as on the classic client, but
    // neither has any effect: Get never follows a redirect. Any 3xx reply, and
    // any reply with a Location header (a 2xx included), raises
    // EIdHTTPProtocolException with the status code and LastStatusText, its
    // body written to the buffer and ReplyHeaders.Location kept; the
    // connection stays open by the usual keep-or-close rules.
    bool HandleRedirects = false;
    int RedirectMaximum = 15;
    int LastStatusCode = 0;
    std::string LastStatusText;
    // Connect, send and receive give up after this long without progress
    // (socket error 10060).
    int TimeoutMs = 60000;
    // The whole Get, from the request to the last byte of the body, gives up
    // after this long with the same error, however slowly the server trickles.
    int GetTimeLimitMs = 120000;

    // GETs the URL into `buffer` from its current position; returns only for
    // a 2xx status, otherwise throws an EIdException.
    void Get(const std::string& url, TMemoryStream& buffer);
    void Disconnect();
    bool Connected() const;
    // From any thread: a Get in progress fails at once with socket error
    // 10053, and so does every later Get of this client. For a client whose
    // owner is going; name lookup is the one wait it cannot cut short.
    void Abort() noexcept;
    bool Aborted() const noexcept;

private:
    struct Connection;
    std::unique_ptr<Connection> conn_;
};

} // namespace kartivo::download
