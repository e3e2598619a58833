// PNG and JPEG outputs with their world files, read back by GDAL, and the
// refusal of areas too large for them.
#include "tests/join/JoinFixture.h"

#include <cmath>

namespace kartivo::join {

using testing::PixelValues;
using testing::TileColour;

namespace {

class ImageTest : public testing::JoinTest {};

TEST_F(ImageTest, PngWithWorldFileIsPlacedByGdal)
{
    MakeTask(5, 200, 201, 300, 301, 9);
    RemoveTile(200, 300);
    JoinOptions options;
    options.Format = OutputFormat::Png;
    ASSERT_EQ(Combine(options), JoinOutcome::Done);
    const std::string png = dir / "area.png";
    EXPECT_EQ(summary.SideFiles,
              (std::vector<std::string>{dir / "area.pgw", dir / "area.prj", dir / "area.png.aux.xml"}));
    const std::string json = testing::RunCommand("gdalinfo -json " + testing::Quoted(png));
    testing::ExpectPlacedOnTiles(json, 200, 201, 300, 301, 9, 512, 512);
    EXPECT_NE(json.find("Pseudo-Mercator"), std::string::npos) << json.substr(0, 1500);

    EXPECT_EQ(PixelValues(png, 300, 100), (std::vector<int>{TileColour(201, 301)[0], TileColour(201, 301)[1],
                                                            TileColour(201, 301)[2], 255}));
    EXPECT_EQ(PixelValues(png, 100, 300), (std::vector<int>{0, 0, 0, 0})); // missing: transparent
    const std::string world = testing::ReadBytes(dir / "area.pgw");
    EXPECT_EQ(std::count(world.begin(), world.end(), '\n'), 6);
}

TEST_F(ImageTest, JpegWithWorldFileHasBlackHoles)
{
    MakeTask(6, 200, 201, 300, 300, 9);
    RemoveTile(201, 300);
    JoinOptions options;
    options.Format = OutputFormat::Jpeg;
    ASSERT_EQ(Combine(options), JoinOutcome::Done);
    const std::string jpg = dir / "area.jpg";
    EXPECT_TRUE(std::filesystem::exists(dir / "area.jgw"));
    const std::string json = testing::RunCommand("gdalinfo -json " + testing::Quoted(jpg));
    testing::ExpectPlacedOnTiles(json, 200, 201, 300, 300, 9, 512, 256);
    const std::vector<int> v = PixelValues(jpg, 100, 100);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_NEAR(v[0], TileColour(200, 300)[0], 3);
    EXPECT_NEAR(PixelValues(jpg, 400, 100).at(0), 0, 3);
    EXPECT_NE(testing::ReadBytes(dir / "area.jpg_report.txt").find("black"), std::string::npos);
}

TEST_F(ImageTest, AreasBeyondTheFormatsLimitAreRefusedBeforeAnythingIsWritten)
{
    // 300 columns: 76,800 pixels wide.
    MakeTask(6, 100, 399, 50, 50, 10, false);
    const auto before = SaveFolderNames();
    JoinOptions options;
    options.Format = OutputFormat::Jpeg;
    std::string error;
    EXPECT_EQ(Combine(options, &error), JoinOutcome::Failed);
    EXPECT_EQ(error,
              "The combined map would be 76800 x 256 pixels, more than a JPEG image can hold "
              "(65500 pixels a side). Choose GeoTIFF (--format gtiff) or MBTiles (--format "
              "mbtiles) instead.");
    options.Format = OutputFormat::Png;
    EXPECT_EQ(Combine(options, &error), JoinOutcome::Failed);
    EXPECT_NE(error.find("more than a PNG image can hold (65535 pixels a side)"), std::string::npos);
    EXPECT_EQ(SaveFolderNames(), before);
}

} // namespace
} // namespace kartivo::join
