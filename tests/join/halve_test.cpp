// The step from one pyramid level to the next (GeoTIFF overviews, the lower
// zooms of MBTiles): 2 x 2 pixels averaged with their colours weighted by
// alpha, so that holes and semi-transparent tiles do not darken their
// neighbours, and levels of odd size (bird's eye tiles are 180 lines high:
// 90, 45, 23 ...) averaging only the pixels that exist.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "join/TileImage.h"

namespace kartivo::join {

namespace {

using Pixel = std::array<int, 4>;

// An image of `stride` x `rows` pixels, all transparent black.
std::vector<std::uint8_t> Image(int stride, int rows)
{
    return std::vector<std::uint8_t>(static_cast<std::size_t>(stride) * rows * 4, 0);
}

void Set(std::vector<std::uint8_t>& img, int stride, int x, int y, Pixel p)
{
    for (int k = 0; k < 4; ++k)
        img[(static_cast<std::size_t>(y) * stride + x) * 4 + k] = static_cast<std::uint8_t>(p[k]);
}

Pixel Get(const std::vector<std::uint8_t>& img, int stride, int x, int y)
{
    Pixel p{};
    for (int k = 0; k < 4; ++k)
        p[k] = img[(static_cast<std::size_t>(y) * stride + x) * 4 + k];
    return p;
}

TEST(HalveRgba, ColoursAreWeightedByAlpha)
{
    const int stride = 4;
    auto src = Image(stride, 2);
    // Left block: opaque red beside three holes. The colour stays red; only
    // the coverage drops to a quarter (255 / 4 rounded).
    Set(src, stride, 0, 0, {255, 0, 0, 255});
    // Right block: opaque red, a blue of a third of full alpha, two holes.
    // Red counts three times as much as blue: 255 * 255 / 340 and 255 * 85 / 340.
    Set(src, stride, 2, 0, {255, 0, 0, 255});
    Set(src, stride, 3, 1, {0, 0, 255, 85});
    auto dst = Image(stride, 2);
    HalveRgba(src, 4, 2, stride, dst, 0, 0);
    EXPECT_EQ(Get(dst, stride, 0, 0), (Pixel{255, 0, 0, 64}));
    EXPECT_EQ(Get(dst, stride, 1, 0), (Pixel{191, 0, 64, 85}));
    // Four holes stay a hole; nothing else of the destination is touched.
    auto holes = Image(stride, 2);
    auto untouched = Image(stride, 2);
    Set(untouched, stride, 3, 1, {1, 2, 3, 4});
    auto out = untouched;
    HalveRgba(holes, 2, 2, stride, out, 2, 0);
    EXPECT_EQ(out, untouched);
}

// A level of odd width and height: the last column and row of the result
// come from the pixels that exist only (two at an edge, one at the corner),
// never from what lies past the valid area in the buffer.
TEST(HalveRgba, OddLevelsAverageOnlyThePixelsThatExist)
{
    const int stride = 8;
    auto src = Image(stride, 4);
    // Valid area 3 x 3; the buffer beyond it holds leftovers of an earlier block.
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < stride; ++x)
            Set(src, stride, x, y, {9, 9, 9, 255});
    Set(src, stride, 2, 0, {255, 255, 255, 255}); // right edge: white over a hole
    Set(src, stride, 2, 1, {0, 0, 0, 0});
    Set(src, stride, 0, 2, {0, 100, 0, 51}); // bottom edge: two semi-transparent greens
    Set(src, stride, 1, 2, {0, 200, 0, 153});
    Set(src, stride, 2, 2, {10, 20, 30, 40}); // corner: alone
    auto dst = Image(stride, 4);
    HalveRgba(src, 3, 3, stride, dst, 4, 2);
    EXPECT_EQ(Get(dst, stride, 4, 2), (Pixel{9, 9, 9, 255}));
    EXPECT_EQ(Get(dst, stride, 5, 2), (Pixel{255, 255, 255, 128}));
    // 100 * 51 + 200 * 153 over 204: 175; alpha (51 + 153) / 2.
    EXPECT_EQ(Get(dst, stride, 4, 3), (Pixel{0, 175, 0, 102}));
    EXPECT_EQ(Get(dst, stride, 5, 3), (Pixel{10, 20, 30, 40}));
    EXPECT_EQ(Get(dst, stride, 0, 0), (Pixel{0, 0, 0, 0}));
}

} // namespace
} // namespace kartivo::join
