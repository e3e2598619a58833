#include "download/MemoryStream.h"

#include <algorithm>
#include <cstring>

namespace kartivo::download {

// Bytes before the end are overwritten, the rest appended; a position past
// the end is first filled up with zero bytes.
void TMemoryStream::Write(const void* data, std::size_t size)
{
    if (size == 0)
        return;
    if (position_ > data_.size())
        data_.resize(position_);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const std::size_t overlap = std::min(size, data_.size() - position_);
    if (overlap > 0)
        std::memcpy(data_.data() + position_, bytes, overlap);
    data_.insert(data_.end(), bytes + overlap, bytes + size);
    position_ += size;
}

} // namespace kartivo::download
