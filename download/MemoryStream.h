#pragma once
// TMemoryStream: the growable byte buffer a GET writes its body into. Kept
// apart from the HTTP client so that reply readers, workers and tests can
// hold one without the client's socket and exception types.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kartivo::download {

// A growable byte buffer written from its current position.
class TMemoryStream {
public:
    void Write(const void* data, std::size_t size);
    void Clear()
    {
        data_.clear();
        position_ = 0;
    } // empty, position 0
    std::size_t Size() const { return data_.size(); }
    std::size_t Position() const { return position_; }
    void SetPosition(std::size_t pos) { position_ = pos; }
    const std::uint8_t* Data() const { return data_.data(); }
    const std::vector<std::uint8_t>& Bytes() const { return data_; }

private:
    std::vector<std::uint8_t> data_;
    std::size_t position_ = 0;
};

} // namespace kartivo::download
