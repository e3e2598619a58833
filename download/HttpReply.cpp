#include "download/HttpReply.h"

#include <algorithm>
#include <cstring>

// The texts of EIdReplyError name the fault in words only: callers classify
// failures by substrings such as "400" or "Socket Error", so these texts must
// never contain a status code, an error number or a size.

namespace kartivo::download {

namespace {

constexpr std::size_t kBufferSize = 64 * 1024;

const char* const kNotHttp = "The server's reply does not begin with an HTTP status line.";
const char* const kHeadersTooLong = "The server's reply headers are too long.";
const char* const kBadLength = "The server sent an invalid Content-Length.";
const char* const kConflictingLength = "The server sent conflicting Content-Length values.";
const char* const kBodyTooLarge = "The reply body is larger than this client accepts.";
const char* const kBadChunkSize = "The server sent an invalid chunk size.";
const char* const kChunkNotEnded = "A chunk of the reply is not followed by a line end.";
const char* const kTrailerTooLong = "The chunked reply's trailer is too long.";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

bool EqualsNoCase(const std::string& a, const char* b)
{
    const std::size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::string Lower(std::string s)
{
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool ParseContentLength(const std::string& text, std::uint64_t& value)
{
    const std::string t = Trim(text);
    if (t.empty())
        return false;
    std::uint64_t v = 0;
    for (char c : t) {
        if (c < '0' || c > '9')
            return false;
        const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10)
            return false;
        v = v * 10 + d;
    }
    value = v;
    return true;
}

bool ParseChunkSize(const std::string& line, std::uint64_t& value)
{
    std::size_t i = 0;
    while (i < line.size() && IsBlank(line[i]))
        ++i;
    const std::size_t start = i;
    std::uint64_t v = 0;
    int significant = 0;
    for (; i < line.size(); ++i) {
        const int d = HexDigit(line[i]);
        if (d < 0)
            break;
        if (v != 0 || d != 0)
            ++significant;
        if (significant > 16)
            return false; // does not fit in 64 bits
        v = (v << 4) | static_cast<std::uint64_t>(d);
    }
    if (i == start)
        return false;
    // After the digits only blanks, then nothing or a ";" extension.
    while (i < line.size() && IsBlank(line[i]))
        ++i;
    if (i < line.size() && line[i] != ';')
        return false;
    value = v;
    return true;
}

ReplyReader::ReplyReader(ByteSource& source, std::vector<char>& buffer, ReplyLimits limits)
    : source_(source), limits_(limits), buf_(buffer)
{
    if (buf_.size() < kBufferSize)
        buf_.resize(kBufferSize);
}

bool ReplyReader::Fill()
{
    if (pos_ == end_) {
        pos_ = end_ = 0;
    } else if (end_ == buf_.size()) {
        std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
    }
    const std::size_t n = source_.Read(buf_.data() + end_, buf_.size() - end_);
    end_ += n;
    return n > 0;
}

void ReplyReader::ReadLine(std::string& line, std::size_t& budget, const char* tooLong)
{
    line.clear();
    for (;;) {
        const char* begin = buf_.data() + pos_;
        const std::size_t avail = end_ - pos_;
        const void* lf = std::memchr(begin, '\n', avail);
        const std::size_t take =
            lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - begin) + 1 : avail;
        if (take > budget)
            throw EIdReplyError(tooLong);
        budget -= take;
        line.append(begin, lf ? take - 1 : take);
        pos_ += take;
        if (lf)
            break;
        if (!Fill())
            throw EIdConnClosedGracefully();
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
}

void ReplyReader::ReadHead(ReplyHead& head)
{
    head = ReplyHead{};
    std::size_t budget = limits_.headerBytes;
    std::string line;
    ReadLine(line, budget, kHeadersTooLong);

    // "HTTP/x.y SP code [SP reason]" with a three-digit code.
    const auto space = line.find(' ');
    if (line.compare(0, 5, "HTTP/") != 0 || space == std::string::npos)
        throw EIdReplyError(kNotHttp);
    const std::string text = line.substr(space + 1);
    const std::string codeText = text.substr(0, text.find(' '));
    if (codeText.size() != 3 ||
        !std::all_of(codeText.begin(), codeText.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw EIdReplyError(kNotHttp);
    head.code = std::stoi(codeText);
    if (head.code < 100)
        throw EIdReplyError(kNotHttp);
    head.statusText = text;
    head.http10 = line.compare(5, 3, "1.0") == 0;

    bool haveLength = false;
    for (;;) {
        ReadLine(line, budget, kHeadersTooLong);
        if (line.empty())
            break;
        head.headers.RawHeaders.push_back(line);
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string name = Trim(line.substr(0, colon));
        const std::string value = Trim(line.substr(colon + 1));
        if (EqualsNoCase(name, "Content-Length")) {
            std::uint64_t v = 0;
            if (!ParseContentLength(value, v) || v > static_cast<std::uint64_t>(INT64_MAX))
                throw EIdReplyError(kBadLength);
            if (haveLength && static_cast<std::uint64_t>(head.headers.ContentLength) != v)
                throw EIdReplyError(kConflictingLength);
            head.headers.ContentLength = static_cast<std::int64_t>(v);
            haveLength = true;
        } else if (EqualsNoCase(name, "Location")) {
            head.headers.Location = value;
        } else if (EqualsNoCase(name, "Connection")) {
            head.headers.Connection = value;
        } else if (EqualsNoCase(name, "Transfer-Encoding")) {
            if (!head.headers.TransferEncoding.empty())
                head.headers.TransferEncoding += ", ";
            head.headers.TransferEncoding += value;
        }
    }
}

void ReplyReader::ReadCounted(std::uint64_t count, TMemoryStream& out, std::uint64_t& total)
{
    if (count > limits_.bodyBytes - total)
        throw EIdReplyError(kBodyTooLarge);
    total += count;
    while (count > 0) {
        if (pos_ == end_ && !Fill())
            throw EIdConnClosedGracefully();
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(count, end_ - pos_));
        out.Write(buf_.data() + pos_, take);
        pos_ += take;
        count -= take;
    }
}

void ReplyReader::ReadChunked(TMemoryStream& out)
{
    std::uint64_t total = 0;
    std::string line;
    for (;;) {
        std::size_t budget = limits_.headerBytes;
        ReadLine(line, budget, kBadChunkSize);
        std::uint64_t size = 0;
        if (!ParseChunkSize(line, size))
            throw EIdReplyError(kBadChunkSize);
        if (size == 0)
            break;
        ReadCounted(size, out, total);
        budget = 2;
        ReadLine(line, budget, kChunkNotEnded);
        if (!line.empty())
            throw EIdReplyError(kChunkNotEnded);
    }
    // Trailer lines up to the empty line, so that none is left for the next reply.
    std::size_t budget = limits_.headerBytes;
    do {
        ReadLine(line, budget, kTrailerTooLong);
    } while (!line.empty());
}

void ReplyReader::ReadUntilClose(TMemoryStream& out)
{
    std::uint64_t total = 0;
    for (;;) {
        if (pos_ == end_ && !Fill())
            return;
        const std::size_t take = end_ - pos_;
        if (take > limits_.bodyBytes - total)
            throw EIdReplyError(kBodyTooLarge);
        total += take;
        out.Write(buf_.data() + pos_, take);
        pos_ = end_;
    }
}

BodyEnd ReplyReader::ReadBody(const ReplyHead& head, TMemoryStream& out)
{
    // Informational, No Content and Not Modified replies carry no body.
    if (head.code / 100 == 1 || head.code == 204 || head.code == 304)
        return BodyEnd::Framed;
    const std::int64_t length = head.headers.ContentLength;
    if (Lower(head.headers.TransferEncoding).find("chunked") != std::string::npos) {
        // Chunking frames the body even when a length is given as well; such a
        // reply is suspect, so the connection is not reused after it.
        ReadChunked(out);
        return length >= 0 ? BodyEnd::Ambiguous : BodyEnd::Framed;
    }
    if (length >= 0) {
        std::uint64_t total = 0;
        ReadCounted(static_cast<std::uint64_t>(length), out, total);
        return BodyEnd::Framed;
    }
    ReadUntilClose(out);
    return BodyEnd::AtClose;
}

} // namespace kartivo::download
