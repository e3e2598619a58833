#pragma once
// The reading half of TIdHTTP: status line, header lines and body of one
// HTTP reply, taken from any byte source (a socket, or memory in the fuzzer).
// Bounded: header block and body have fixed limits, nothing is preallocated
// from what the server announces, and malformed framing is refused.
#include "download/IdHTTP.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kartivo::download {

// Where reply bytes come from. Read returns 0 at the end of the stream and
// throws on failure.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::size_t Read(char* data, std::size_t size) = 0;
};

struct ReplyLimits {
    std::size_t headerBytes = 64 * 1024;           // status line and headers
    std::uint64_t bodyBytes = 64ull * 1024 * 1024; // a tile is tens of KB
};

struct ReplyHead {
    int code = 0;
    std::string statusText; // status line without the protocol word and its space
    bool http10 = false;
    TIdHTTPResponseHeaders headers;
};

// How the body that was read ended.
enum class BodyEnd {
    Framed,   // by Content-Length or chunking: the connection may stay open
    AtClose,  // by the server closing: the connection is over
    Ambiguous // chunked although a length was given: close to be safe
};

class ReplyReader {
public:
    // `buffer` is the reader's working space; a connection keeps one for all
    // its replies so that no Get allocates it anew.
    ReplyReader(ByteSource& source, std::vector<char>& buffer, ReplyLimits limits = {});

    // Reads the status line and header lines. EIdConnClosedGracefully when
    // the stream ends first, EIdReplyError when they are malformed or too long.
    void ReadHead(ReplyHead& head);
    // Reads the body that `head` announces and writes it to `out` from its
    // current position.
    BodyEnd ReadBody(const ReplyHead& head, TMemoryStream& out);

    // Bytes already read past the end of the reply.
    std::size_t Leftover() const { return end_ - pos_; }

private:
    bool Fill(); // false at end of stream
    void ReadLine(std::string& line, std::size_t& budget, const char* tooLong);
    void ReadCounted(std::uint64_t count, TMemoryStream& out, std::uint64_t& total);
    void ReadChunked(TMemoryStream& out);
    void ReadUntilClose(TMemoryStream& out);

    ByteSource& source_;
    ReplyLimits limits_;
    std::vector<char>& buf_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
};

// Parsers shared with the tests. Each returns false for text that is not a
// valid value.
bool ParseContentLength(const std::string& text, std::uint64_t& value);
bool ParseChunkSize(const std::string& line, std::uint64_t& value);

} // namespace kartivo::download
