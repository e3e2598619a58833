#include "core/MapTypes.h"

#include <gtest/gtest.h>

#include <string>

namespace kartivo::core {

namespace {

TEST(MapTypes, IndexesAndCodes)
{
    const int codes[] = {5, 6, 7, 21, 22};
    for (int i = 0; i < kMapTypeCount; ++i) {
        EXPECT_EQ(MapTypeCodeOfIndex(i), codes[i]);
        EXPECT_EQ(MapTypeIndexOfCode(codes[i]), i);
        EXPECT_EQ(MapTypeByIndex(i).ItemIndex, i);
        ASSERT_NE(FindMapType(codes[i]), nullptr);
    }
    for (int unknown : {0, 1, 4, 8, 20, 23})
        EXPECT_EQ(FindMapType(unknown), nullptr) << unknown;
    EXPECT_EQ(MapTypeIndexOfCode(8), -1);
    EXPECT_THROW(MapTypeByIndex(5), std::out_of_range);
    EXPECT_STREQ(MapTypeByIndex(4).Caption, "Ordnance Survey Maps(UK)");
    EXPECT_EQ(FindMapType(21)->TileHeight, 180);
    EXPECT_EQ(FindMapType(22)->TileHeight, 256);
}

TEST(QuadKey, ZoomOneQuarters)
{
    EXPECT_EQ(QuadKey(0, 0, 1), "2");
    EXPECT_EQ(QuadKey(1, 0, 1), "3");
    EXPECT_EQ(QuadKey(0, 1, 1), "0");
    EXPECT_EQ(QuadKey(1, 1, 1), "1");
}

TEST(QuadKey, WorkedExample) { EXPECT_EQ(QuadKey(4149, 5373, 13), "1202200110121"); }

class QuadKeyAtZoom : public ::testing::TestWithParam<int> {};

TEST_P(QuadKeyAtZoom, CornersAndLength)
{
    const int z = GetParam(), last = (1 << z) - 1;
    const auto n = static_cast<std::size_t>(z);
    // North-west is all "0", north-east all "1", south-west all "2",
    // south-east all "3".
    EXPECT_EQ(QuadKey(0, last, z), std::string(n, '0'));
    EXPECT_EQ(QuadKey(last, last, z), std::string(n, '1'));
    EXPECT_EQ(QuadKey(0, 0, z), std::string(n, '2'));
    EXPECT_EQ(QuadKey(last, 0, z), std::string(n, '3'));
    // The first digit is the zoom-1 quarter of the tile.
    int x = last / 3, y = last / 5;
    std::string key = QuadKey(x, y, z);
    ASSERT_EQ(key.size(), static_cast<std::size_t>(z));
    EXPECT_EQ(key.substr(0, 1), QuadKey(x >> (z - 1), y >> (z - 1), 1));
    // Dropping the last digit gives the parent tile.
    if (z > 1) {
        EXPECT_EQ(key.substr(0, key.size() - 1), QuadKey(x >> 1, y >> 1, z - 1));
    }
}

INSTANTIATE_TEST_SUITE_P(AllZooms, QuadKeyAtZoom, ::testing::Range(1, 21),
                         [](const auto& info) { return "Zoom" + std::to_string(info.param); });

TEST(ServerDigit, CyclesWithTheRow)
{
    const int expected[] = {0, 1, 2, 3, 0, 1};
    for (int y = 0; y < 6; ++y) {
        EXPECT_EQ(ServerDigit(y), expected[y]);
        EXPECT_EQ(TileUrl(5, 0, y, 3).substr(0, 9), "http://r" + std::to_string(expected[y]));
        EXPECT_EQ(TileUrl(5, 7, y, 3).substr(0, 9), "http://r" + std::to_string(expected[y]));
    }
}

struct AddressCase {
    int code;
    const char* url;
    const char* file;
};

void PrintTo(const AddressCase& c, std::ostream* os) { *os << c.file; }

class TileAddress : public ::testing::TestWithParam<AddressCase> {};

TEST_P(TileAddress, WorkedExampleTile)
{
    EXPECT_EQ(TileUrl(GetParam().code, 4149, 5373, 13), GetParam().url);
    EXPECT_EQ(TileFileName(GetParam().code, 4149, 5373, 13), GetParam().file);
    EXPECT_TRUE(IsTileFileName(GetParam().file));
}

INSTANTIATE_TEST_SUITE_P(
    AllTypes, TileAddress,
    ::testing::Values(AddressCase{5, "http://r1.ortho.tiles.virtualearth.net/tiles/r1202200110121.png?g=909",
                                  "mn_4149_5373_13.png"},
                      AddressCase{6, "http://a1.ortho.tiles.virtualearth.net/tiles/a1202200110121.jpeg?g=909",
                                  "ms_4149_5373_13.jpg"},
                      AddressCase{7, "http://h1.ortho.tiles.virtualearth.net/tiles/h1202200110121.jpeg?g=909",
                                  "mh_4149_5373_13.jpg"},
                      AddressCase{
                          21, "http://ecn.t1.tiles.virtualearth.net/tiles/svi1202200110121.jpeg?g=909&dir_n",
                          "mb_4149_5373_13.jpg"},
                      AddressCase{22,
                                  "http://ecn.t1.tiles.virtualearth.net/tiles/"
                                  "r1202200110121.png?g=909&productset=mmos",
                                  "mo_4149_5373_13.jpg"}),
    [](const auto& info) { return "Code" + std::to_string(info.param.code); });

TEST(TileAddress, SharedHostsFollowTheDigit)
{
    EXPECT_EQ(TileUrl(21, 0, 0, 1), "http://ecn.t0.tiles.virtualearth.net/tiles/svi2.jpeg?g=909&dir_n");
    EXPECT_EQ(TileUrl(22, 1, 1, 1),
              "http://ecn.t1.tiles.virtualearth.net/tiles/r1.png?g=909&productset=mmos");
    EXPECT_EQ(TileUrl(6, 0, 3, 2), "http://a3.ortho.tiles.virtualearth.net/tiles/a00.jpeg?g=909");
}

TEST(TileAddress, LargestNumbersAtZoom20)
{
    EXPECT_EQ(TileFileName(6, 1048575, 1046858, 20), "ms_1048575_1046858_20.jpg");
    EXPECT_EQ(TileUrl(7, 1048575, 1048575, 20),
              "http://h3.ortho.tiles.virtualearth.net/tiles/h11111111111111111111.jpeg?g=909");
}

// Only names that TileFileName could have formed pass for a tile: anything a
// hostile list might name instead is refused.
TEST(TileAddress, TileFileNameRecognisesOnlyRealTileNames)
{
    EXPECT_TRUE(IsTileFileName("ms_1048575_1048575_20.jpg"));
    EXPECT_TRUE(IsTileFileName("mn_0_1_1.png"));
    for (const char* name :
         {"notes.txt", "", "mn_4149_5373_13.jpg", "ms_4149_5373_13.png", "mo_4149_5373_13.png",
          "xx_4149_5373_13.png", "mn_04149_5373_13.png", "mn_-1_5373_13.png", "mn_4149_5373_13.png.bak",
          "mn_4149_5373_13png", "mn_4149_5373_.png", "mn_2_0_1.png", "mn_0_0_0.png", "mn_0_0_21.png",
          "mn_1048576_0_20.png", "mn_4149_5373_13.png/", ".mn_4149_5373_13.png", "mn_4149__13.png",
          "mn_99999999999_0_20.png"})
        EXPECT_FALSE(IsTileFileName(name)) << name;
}

TEST(TileAddress, UnknownCodeGivesNothing)
{
    EXPECT_EQ(TileUrl(8, 1, 1, 1), "");
    EXPECT_EQ(TileFileName(8, 1, 1, 1), "");
}

} // namespace

} // namespace kartivo::core
