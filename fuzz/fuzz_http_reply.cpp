// Random replies, delivered in random pieces, through the HTTP reply reader.
// The reader must never crash, read past its input, exceed its limits, or
// fail with a text that callers would classify as a network or status event.
#include "download/Failures.h"
#include "download/HttpReply.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace kartivo::fuzz {

namespace {

// Hands out the input in pieces whose sizes a small generator picks.
class PieceSource : public download::ByteSource {
public:
    PieceSource(const std::uint8_t* data, std::size_t size, std::uint32_t seed)
        : data_(data), size_(size), state_(seed | 1)
    {
    }
    std::size_t Read(char* out, std::size_t want) override
    {
        if (pos_ == size_ || want == 0)
            return 0;
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        std::size_t n = 1 + state_ % 97;
        if (state_ & 0x10000)
            n = size_; // now and then everything that is left
        n = std::min({n, want, size_ - pos_});
        std::memcpy(out, data_ + pos_, n);
        pos_ += n;
        return n;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    std::uint32_t state_;
};

bool Classified(const std::string& text)
{
    // The worker's rows are the wider set (they include "400").
    const download::Failure f = download::ClassifyFailure(download::FailureCaller::Worker, text, false);
    return f != download::Failure::Other && f != download::Failure::NoText;
}

int FuzzOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 5)
        return 0;
    std::uint32_t seed;
    std::memcpy(&seed, data, 4);
    // Small limits now and then, so the limit checks are reached too.
    download::ReplyLimits limits;
    if (data[4] & 1) {
        limits.headerBytes = 16 + data[4];
        limits.bodyBytes = 8 + (data[4] >> 1);
    }
    data += 5;
    size -= 5;

    PieceSource source(data, size, seed);
    std::vector<char> buffer;
    download::ReplyReader reader(source, buffer, limits);
    // Several replies on one stream, as on a kept-open connection.
    for (int i = 0; i < 8; ++i) {
        download::TMemoryStream body;
        try {
            download::ReplyHead head;
            reader.ReadHead(head);
            if (head.code < 100 || head.code > 999)
                std::abort();
            const auto end = reader.ReadBody(head, body);
            if (body.Size() > limits.bodyBytes)
                std::abort();
            if (end != download::BodyEnd::Framed)
                break;
        } catch (const download::EIdReplyError& e) {
            if (Classified(e.what()))
                std::abort();
            break;
        } catch (const download::EIdConnClosedGracefully&) {
            break;
        }
    }
    return 0;
}

} // namespace

} // namespace kartivo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return kartivo::fuzz::FuzzOneInput(data, size);
}
