// The GeoTIFF output read back with GDAL's own tools: size, projection, the
// corners to the millimetre, pixels of known tiles, holes where tiles are
// missing or damaged, overviews, tiles that are not square, BigTIFF.
#include "tests/join/JoinFixture.h"

#include <filesystem>
#include <tuple>

#include <cmath>

#include "join/GeoTiffWriter.h"
#include "join/MapGeometry.h"

namespace kartivo::join {

using testing::PixelValues;
using testing::Quoted;
using testing::ReadBytes;
using testing::RunCommand;

namespace {

constexpr double kR = 6378137.0;

// The three colour bands of a pixel and its mask (0 or 255), as GDAL reads
// them from a GeoTIFF whose transparency is a mask.
std::vector<int> PixelWithMask(const std::string& tif, long column, long line, const std::string& extra = "")
{
    const std::string pixel = tif + ".pixel.tif";
    RunCommand("gdal_translate -q " + extra + " -b 1 -b 2 -b 3 -b mask -srcwin " + std::to_string(column) +
               " " + std::to_string(line) + " 1 1 " + testing::Quoted(tif) + " " + testing::Quoted(pixel));
    std::vector<int> v = testing::PixelValues(pixel, 0, 0);
    std::remove(pixel.c_str());
    return v;
}

// Expects the pixel to be tile (x, y)'s colour, within `tolerance` per band.
void ExpectColour(const std::vector<int>& v, int x, int y, int tolerance)
{
    ASSERT_EQ(v.size(), 4u);
    const auto c = testing::TileColour(x, y);
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(v[k], c[k], tolerance) << "tile " << x << "," << y << " band " << k;
    EXPECT_EQ(v[3], 255);
}

class GeoTiffTest : public testing::JoinTest {};

TEST_F(GeoTiffTest, RoadTilesArePlacedToTheMillimetreWithHolesTransparent)
{
    MakeTask(5, 500, 502, 600, 601, 10);
    RemoveTile(501, 601); // missing
    RemoveTile(502, 600); // failed
    AddToFailedList(502, 600);
    TruncateTile(500, 600); // undecodable
    MakeBlank(501, 600);    // blank substitute: kept as an image
    JoinOptions options;
    ASSERT_EQ(Combine(options), JoinOutcome::Done);
    const std::string tif = dir / "area.tif";
    EXPECT_EQ(summary.OutputPath, tif);

    const std::string json = RunCommand("gdalinfo -json " + Quoted(tif));
    EXPECT_NE(json.find("ID[\\\"EPSG\\\",3857]"), std::string::npos) << json.substr(0, 2000);
    testing::ExpectPlacedOnTiles(json, 500, 502, 600, 601, 10, 768, 512);
    // The west edge agrees with the longitude formula too.
    EXPECT_NEAR(testing::JsonNumbers(json, "geoTransform").at(0), core::TileXToLon(500, 10) * kR * M_PI / 180,
                1e-3);
    EXPECT_NE(json.find("\"DEFLATE\""), std::string::npos);
    EXPECT_NE(json.find("\"colorInterpretation\":\"Alpha\""), std::string::npos);
    EXPECT_NE(json.find("\"block\":[\n        256,\n        256\n      ]"), std::string::npos);

    // Rows of the image run north to south: tile row 601 is on top.
    ExpectColour(PixelValues(tif, 128, 128), 500, 601, 0);
    ExpectColour(PixelValues(tif, 2 * 256 + 128, 128), 502, 601, 0);
    EXPECT_EQ(PixelValues(tif, 256 + 128, 128), (std::vector<int>{0, 0, 0, 0}));           // missing
    EXPECT_EQ(PixelValues(tif, 2 * 256 + 128, 256 + 128), (std::vector<int>{0, 0, 0, 0})); // failed
    EXPECT_EQ(PixelValues(tif, 128, 256 + 128), (std::vector<int>{0, 0, 0, 0}));           // truncated
    // The marker square sits in each tile's top left corner.
    EXPECT_EQ(PixelValues(tif, 2 * 256 + 5, 5), (std::vector<int>{255, 255, 255, 255}));
    EXPECT_EQ(PixelValues(tif, 2 * 256 + 20, 5)[0], testing::TileColour(502, 601)[0]);
    // The blank substitute is an image.
    EXPECT_EQ(PixelValues(tif, 256 + 128, 256 + 128).at(3), 255);

    EXPECT_EQ(summary.Counts.Saved, 2);
    EXPECT_EQ(summary.Counts.Blank, 1);
    EXPECT_EQ(summary.Counts.Missing, 1);
    EXPECT_EQ(summary.Counts.Failed, 1);
    EXPECT_EQ(summary.Counts.Undecodable, 1);
    const std::string report = ReadBytes(dir / "area.tif_report.txt");
    EXPECT_NE(report.find("  missing (left transparent): 1\r\n"), std::string::npos) << report;
    EXPECT_NE(report.find("mn_501_601_10.png  missing\r\n"), std::string::npos) << report;
    EXPECT_NE(report.find("mn_502_600_10.png  failed to download\r\n"), std::string::npos) << report;
    EXPECT_NE(report.find("mn_500_600_10.png  undecodable: "), std::string::npos) << report;
    EXPECT_EQ(report.find("mn_501_600_10.png"), std::string::npos) << report;
}

// JPEG tiles into JPEG blocks (the default for them), and a larger task that
// has a tile missing in the middle: the overviews are averages of the tiles
// and the hole stays a hole at every level.
TEST_F(GeoTiffTest, AerialTilesGetJpegBlocksAndOverviewsOfTheTiles)
{
    MakeTask(6, 1000, 1003, 2000, 2003, 12);
    RemoveTile(1001, 2002);
    JoinOptions options;
    ASSERT_EQ(Combine(options), JoinOutcome::Done);
    const std::string tif = dir / "area.tif";
    const std::string info = RunCommand("gdalinfo " + Quoted(tif));
    EXPECT_NE(info.find("Size is 1024, 1024"), std::string::npos) << info;
    // Colours as YCbCr JPEG, transparency in a 1-bit mask beside them.
    EXPECT_NE(info.find("COMPRESSION=YCbCr JPEG"), std::string::npos) << info;
    EXPECT_EQ(info.find("Band 4"), std::string::npos) << info;
    EXPECT_NE(info.find("Mask Flags: PER_DATASET"), std::string::npos) << info;
    EXPECT_NE(info.find("Overviews of mask band: 512x512, 256x256"), std::string::npos) << info;
    EXPECT_NE(info.find("Overviews: 512x512, 256x256\n"), std::string::npos) << info;
    ExpectColour(PixelWithMask(tif, 3 * 256 + 128, 3 * 256 + 128), 1003, 2000, 3);
    // The missing tile: column 1, second row from the top.
    EXPECT_EQ(PixelWithMask(tif, 256 + 128, 256 + 128).at(3), 0);

    // Overview 1 (512 x 512): tile (1003, 2000) is a 128 x 128 square at (384, 384).
    ExpectColour(PixelWithMask(tif, 3 * 128 + 64, 3 * 128 + 64, "-oo OVERVIEW_LEVEL=0"), 1003, 2000, 3);
    EXPECT_EQ(PixelWithMask(tif, 128 + 64, 128 + 64, "-oo OVERVIEW_LEVEL=0").at(3), 0);
    // Overview 2 (256 x 256): the hole is 64 x 64 pixels.
    ExpectColour(PixelWithMask(tif, 3 * 64 + 32, 3 * 64 + 32, "-oo OVERVIEW_LEVEL=1"), 1003, 2000, 3);
    EXPECT_EQ(PixelWithMask(tif, 64 + 32, 64 + 32, "-oo OVERVIEW_LEVEL=1").at(3), 0);
    EXPECT_EQ(summary.Counts.Saved, 15);
    EXPECT_EQ(summary.Counts.Missing, 1);
}

// JPEG's losses never reach the transparency: the mask is exactly the tiles'
// pixels, with the hole left by a missing tile sharp at its edges.
TEST_F(GeoTiffTest, JpegBlocksKeepHolesExact)
{
    MakeTask(21, 300, 301, 400, 401, 10); // bird's eye: 512 x 360, rows of tiles straddle blocks
    RemoveTile(300, 400);                 // bottom left
    JoinOptions options;
    ASSERT_EQ(Combine(options), JoinOutcome::Done);
    const std::string tif = dir / "area.tif", raw = dir / "mask.raw";
    RunCommand("gdal_translate -q -of ENVI -b mask " + testing::Quoted(tif) + " " + testing::Quoted(raw));
    const std::string mask = ReadBytes(raw);
    ASSERT_EQ(mask.size(), 512u * 360u);
    std::size_t wrong = 0;
    for (int y = 0; y < 360; ++y)
        for (int x = 0; x < 512; ++x) {
            const bool hole = x < 256 && y >= 180;
            wrong += static_cast<unsigned char>(mask[y * 512 + x]) != (hole ? 0 : 255);
        }
    EXPECT_EQ(wrong, 0u);
}

// The layout of a cloud optimized GeoTIFF, as GDAL's own validator checks it:
// every directory near the start, then the blocks from the smallest
// overview to the full resolution.
TEST_F(GeoTiffTest, TheFileIsCloudOptimized)
{
    const std::string validator =
        "/usr/lib/python3/dist-packages/osgeo_utils/samples/validate_cloud_optimized_geotiff.py";
    if (!std::filesystem::exists(validator))
        GTEST_SKIP() << "python3-gdal is not installed";
    MakeTask(6, 1000, 1004, 2000, 2002, 12); // 1280 x 768: three levels
    RemoveTile(1002, 2001);
    for (Compression compression : {Compression::Jpeg, Compression::Deflate}) {
        JoinOptions options;
        options.TiffCompression = compression;
        ASSERT_EQ(Combine(options), JoinOutcome::Done);
        int status = -1;
        const std::string out = RunCommand("/usr/bin/python3 " + validator + " --full-check=yes " +
                                               testing::Quoted(dir / "area.tif") + " 2>&1",
                                           &status);
        EXPECT_EQ(status, 0) << out;
        EXPECT_NE(out.find("is a valid cloud optimized GeoTIFF"), std::string::npos) << out;
        EXPECT_NE(ReadBytes(dir / "area.tif").find("GDAL_STRUCTURAL_METADATA_SIZE=", 8), std::string::npos);
        const std::string info = RunCommand("gdalinfo " + testing::Quoted(dir / "area.tif"));
        EXPECT_NE(info.find("Overviews: 640x384, 320x192"), std::string::npos) << info;
    }
}

// The lossless codecs give back the tiles' pixels exactly; WebP close to them;
// all keep holes transparent.
TEST_F(GeoTiffTest, EveryCompressionReadsBack)
{
    MakeTask(5, 100, 101, 100, 101, 9);
    RemoveTile(100, 100); // bottom left
    const std::tuple<Compression, const char*, int> rows[] = {
        {Compression::Deflate, "COMPRESSION=DEFLATE", 0},
        {Compression::Zstd, "COMPRESSION=ZSTD", 0},
        {Compression::Webp, "COMPRESSION=WEBP", 6},
    };
    for (const auto& [compression, name, tolerance] : rows) {
        if (!CompressionAvailable(compression))
            continue;
        JoinOptions options;
        options.TiffCompression = compression;
        ASSERT_EQ(Combine(options), JoinOutcome::Done) << name;
        const std::string tif = dir / "area.tif";
        const std::string info = RunCommand("gdalinfo " + testing::Quoted(tif));
        EXPECT_NE(info.find(name), std::string::npos) << info;
        if (compression != Compression::Webp) {
            EXPECT_NE(info.find("PREDICTOR=2"), std::string::npos) << info;
        }
        ExpectColour(PixelValues(tif, 256 + 100, 100), 101, 101, tolerance);
        ExpectColour(PixelValues(tif, 100, 100), 100, 101, tolerance);
        EXPECT_EQ(PixelValues(tif, 100, 256 + 100).at(3), 0) << name;
    }
}

// --clip: the image covers the typed area (here from the middle of the first
// tiles to the middle of the last), placed to the millimetre, in both the
// GeoTIFF and a PNG with its world file.
TEST_F(GeoTiffTest, ClipGivesExactlyTheTypedArea)
{
    MakeTask(5, 100, 102, 100, 101, 9);
    for (OutputFormat format : {OutputFormat::GeoTiff, OutputFormat::Png}) {
        JoinOptions options;
        options.Format = format;
        options.Clip = true;
        ASSERT_EQ(Combine(options), JoinOutcome::Done);
        EXPECT_EQ(summary.Width, 512);
        EXPECT_EQ(summary.Height, 256);
        EXPECT_EQ(summary.Counts.Saved, 6);
        const std::string json = RunCommand("gdalinfo -json " + testing::Quoted(summary.OutputPath));
        EXPECT_EQ(testing::JsonNumbers(json, "size"), (std::vector<double>{512, 256}));
        const std::vector<double> gt = testing::JsonNumbers(json, "geoTransform");
        ASSERT_EQ(gt.size(), 6u) << json.substr(0, 400);
        EXPECT_NEAR(gt[0], MercatorXOfLongitude(params.LeftLongitude), 1e-3);
        EXPECT_NEAR(gt[3], MercatorYOfLatitude(params.TopLatitude), 1e-3);
        EXPECT_NEAR(gt[0] + 512 * gt[1], MercatorXOfLongitude(params.RightLongitude), 1e-3);
        EXPECT_NEAR(gt[3] + 256 * gt[5], MercatorYOfLatitude(params.BottomLatitude), 1e-3);
        // The top left pixel is the middle of tile (100, 101), past its marker.
        ExpectColour(PixelValues(summary.OutputPath, 0, 0), 100, 101, 0);
        ExpectColour(PixelValues(summary.OutputPath, 511, 255), 102, 100, 0);
    }
}

// Tiles decoded on a second thread while the first compresses: the same file
// byte for byte, and the same counts, as with one thread.
TEST_F(GeoTiffTest, TwoThreadsWriteTheSameFile)
{
    MakeTask(6, 1000, 1006, 2000, 2004, 12); // 35 blocks, four levels
    RemoveTile(1003, 2002);
    for (Compression compression : {Compression::Jpeg, Compression::Deflate}) {
        std::string bytes[2];
        for (int threads : {1, 2}) {
            JoinOptions options;
            options.TiffCompression = compression;
            options.Threads = threads;
            ASSERT_EQ(Combine(options), JoinOutcome::Done);
            EXPECT_EQ(summary.Counts.Saved, 34);
            EXPECT_EQ(summary.Counts.Missing, 1);
            bytes[threads - 1] = ReadBytes(dir / "area.tif");
        }
        EXPECT_GT(bytes[0].size(), 10000u);
        EXPECT_TRUE(bytes[0] == bytes[1]);
    }
    // A cancel from the composing thread ends the run as one from this one does.
    const auto before = SaveFolderNames();
    control.Progress = [this](std::int64_t done, std::int64_t) {
        if (done >= 10)
            control.Cancel = true;
    };
    JoinOptions options;
    options.Threads = 2;
    options.OutputPath = dir / "other.tif";
    std::string error;
    EXPECT_EQ(Combine(options, &error), JoinOutcome::Cancelled);
    EXPECT_EQ(SaveFolderNames(), before);
}

// Bird's eye tiles are 256 x 180: stitched at their own size, so a block of
// 256 lines takes parts of two tile rows, and pixels are not square.
TEST_F(GeoTiffTest, BirdsEyeTilesAreStitchedAtTheirOwnSize)
{
    MakeTask(21, 300, 301, 400, 402, 10);
    JoinOptions options;
    options.TiffCompression = Compression::Deflate;
    ASSERT_EQ(Combine(options), JoinOutcome::Done);
    const std::string tif = dir / "area.tif";
    const std::string json = RunCommand("gdalinfo -json " + Quoted(tif));
    testing::ExpectPlacedOnTiles(json, 300, 301, 400, 402, 10, 512, 540);
    const std::vector<double> gt = testing::JsonNumbers(json, "geoTransform");
    ASSERT_EQ(gt.size(), 6u);
    EXPECT_NEAR(-gt[5] / gt[1], 256.0 / 180.0, 1e-12);
    // Lines 180..359 are the middle row (401); line 300 lies in the second block.
    ExpectColour(PixelValues(tif, 100, 300), 300, 401, 3);
    ExpectColour(PixelValues(tif, 300, 250), 301, 401, 3);
    ExpectColour(PixelValues(tif, 300, 539), 301, 400, 3);
    EXPECT_EQ(PixelValues(tif, 256 + 5, 360 + 5), (std::vector<int>{255, 255, 255, 255}));
    // Each tile counted once, though the blocks read some tiles twice.
    EXPECT_EQ(summary.Counts.Saved, 6);
    EXPECT_EQ(summary.Counts.Total(), 6);
}

// Past the threshold the file is a BigTIFF, which GDAL reads the same way.
TEST_F(GeoTiffTest, LargeOutputsAreBigTiff)
{
    MakeTask(5, 10, 11, 20, 20, 8);
    JoinOptions options;
    options.BigTiffAbove = 1000;
    ASSERT_EQ(Combine(options), JoinOutcome::Done);
    EXPECT_TRUE(summary.BigTiff);
    const std::string tif = dir / "area.tif";
    EXPECT_EQ(ReadBytes(tif).substr(0, 4), std::string("II\x2b\0", 4));
    ExpectColour(PixelValues(tif, 300, 100), 11, 20, 0);
    EXPECT_NE(RunCommand("gdalinfo " + Quoted(tif)).find("Overviews: 256x128"), std::string::npos);

    options.BigTiffAbove = UncompressedPyramidBytes(512, 256);
    ASSERT_EQ(Combine(options), JoinOutcome::Done);
    EXPECT_EQ(ReadBytes(tif).substr(0, 4), std::string("II\x2a\0", 4));
}

TEST(PyramidLevels, HalveUntilOneBlockHoldsTheImage)
{
    using Levels = std::vector<std::pair<std::int64_t, std::int64_t>>;
    EXPECT_EQ(PyramidLevels(256, 180), (Levels{{256, 180}}));
    EXPECT_EQ(PyramidLevels(257, 10), (Levels{{257, 10}, {129, 5}}));
    EXPECT_EQ(PyramidLevels(768, 540), (Levels{{768, 540}, {384, 270}, {192, 135}}));
    EXPECT_EQ(PyramidLevels(65536 * 256, 256).size(), 17u);
}

} // namespace
} // namespace kartivo::join
