// Random tile files through the tile decoder of the map combiner, at the
// square tile size and at the bird's eye size. Damaged, truncated or foreign
// bytes must be refused with a reason, never crash or read past their end; a
// tile that decodes has exactly the asked size, a JPEG is opaque, and the
// pyramid's halving runs over the decoded pixels.
#include "join/TileImage.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace kartivo::fuzz {

namespace {

int FuzzOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const int width = 256, height = (data[0] & 1) ? 180 : 256;
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    const join::TileFormat format = join::DetectTileFormat(bytes);
    const std::string name = join::TileFormatName(format);
    if ((format == join::TileFormat::Unknown) != name.empty())
        std::abort();
    const bool complete = join::LooksComplete(bytes);
    if (complete && format == join::TileFormat::Unknown)
        std::abort();

    std::vector<std::uint8_t> rgba;
    std::string reason;
    if (!join::DecodeTile(bytes, width, height, rgba, reason)) {
        if (reason.empty())
            std::abort();
        return 0;
    }
    if (format == join::TileFormat::Unknown || rgba.size() != std::size_t(width) * height * 4)
        std::abort();
    if (format == join::TileFormat::Jpeg)
        for (std::size_t i = 3; i < rgba.size(); i += 4)
            if (rgba[i] != 255)
                std::abort();
    std::vector<std::uint8_t> half(rgba.size(), 0);
    join::HalveRgba(rgba, width, height, width, half, 0, 0);
    return 0;
}

} // namespace

} // namespace kartivo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return kartivo::fuzz::FuzzOneInput(data, size);
}
