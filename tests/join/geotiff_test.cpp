// The GeoTIFF output read back with GDAL's own tools: size, projection, the
// corners to the millimetre, pixels of known tiles, holes where tiles are
// missing or damaged, overviews, tiles that are not square, BigTIFF.
#include "tests/join/JoinFixture.h"

#include <cmath>

#include "join/GeoTiffWriter.h"
#include "join/MapGeometry.h"

namespace jointest {
namespace {

constexpr double kR = 6378137.0;

double EdgeX(int x, int zoom) { return (2.0 * x / (1 << zoom) - 1) * M_PI * kR; }
double EdgeY(int y, int zoom) { return (2.0 * y / (1 << zoom) - 1) * M_PI * kR; }

// Expects the pixel to be tile (x, y)'s colour, within `tolerance` per band.
void ExpectColour(const std::vector<int>& v, int x, int y, int tolerance) {
    ASSERT_EQ(v.size(), 4u);
    const auto c = TileColour(x, y);
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(v[k], c[k], tolerance) << "tile " << x << "," << y << " band " << k;
    EXPECT_EQ(v[3], 255);
}

class GeoTiffTest : public JoinTest {};

TEST_F(GeoTiffTest, RoadTilesArePlacedToTheMillimetreWithHolesTransparent)
{
    MakeTask(5, 500, 502, 600, 601, 10);
    RemoveTile(501, 601);                    // missing
    RemoveTile(502, 600);                    // failed
    AddToFailedList(502, 600);
    TruncateTile(500, 600);                  // undecodable
    MakeBlank(501, 600);                     // blank substitute: kept as an image
    join::JoinOptions options;
    ASSERT_EQ(Combine(options), join::JoinOutcome::Done);
    const std::string tif = dir / "area.tif";
    EXPECT_EQ(summary.OutputPath, tif);

    const std::string json = RunCommand("gdalinfo -json " + Quoted(tif));
    EXPECT_EQ(JsonNumbers(json, "size"), (std::vector<double>{768, 512}));
    EXPECT_NE(json.find("ID[\\\"EPSG\\\",3857]"), std::string::npos) << json.substr(0, 2000);
    const std::vector<double> gt = JsonNumbers(json, "geoTransform");
    ASSERT_EQ(gt.size(), 6u);
    EXPECT_NEAR(gt[0], EdgeX(500, 10), 1e-3);
    EXPECT_NEAR(gt[3], EdgeY(602, 10), 1e-3);
    EXPECT_NEAR(gt[0] + 768 * gt[1], EdgeX(503, 10), 1e-3);
    EXPECT_NEAR(gt[3] + 512 * gt[5], EdgeY(600, 10), 1e-3);
    EXPECT_EQ(gt[2], 0);
    EXPECT_EQ(gt[4], 0);
    // The west edge agrees with the longitude formula too.
    EXPECT_NEAR(gt[0], TileXToLon(500, 10) * kR * M_PI / 180, 1e-3);
    EXPECT_NE(json.find("\"DEFLATE\""), std::string::npos);
    EXPECT_NE(json.find("\"colorInterpretation\":\"Alpha\""), std::string::npos);
    EXPECT_NE(json.find("\"block\":[\n        256,\n        256\n      ]"), std::string::npos);

    // Rows of the image run north to south: tile row 601 is on top.
    ExpectColour(PixelValues(tif, 128, 128), 500, 601, 0);
    ExpectColour(PixelValues(tif, 2 * 256 + 128, 128), 502, 601, 0);
    EXPECT_EQ(PixelValues(tif, 256 + 128, 128), (std::vector<int>{0, 0, 0, 0}));        // missing
    EXPECT_EQ(PixelValues(tif, 2 * 256 + 128, 256 + 128), (std::vector<int>{0, 0, 0, 0}));  // failed
    EXPECT_EQ(PixelValues(tif, 128, 256 + 128), (std::vector<int>{0, 0, 0, 0}));        // truncated
    // The marker square sits in each tile's top left corner.
    EXPECT_EQ(PixelValues(tif, 2 * 256 + 5, 5), (std::vector<int>{255, 255, 255, 255}));
    EXPECT_EQ(PixelValues(tif, 2 * 256 + 20, 5)[0], TileColour(502, 601)[0]);
    // The blank substitute is an image.
    EXPECT_EQ(PixelValues(tif, 256 + 128, 256 + 128).at(3), 255);

    EXPECT_EQ(summary.Counts.Saved, 2);
    EXPECT_EQ(summary.Counts.Blank, 1);
    EXPECT_EQ(summary.Counts.Missing, 1);
    EXPECT_EQ(summary.Counts.Failed, 1);
    EXPECT_EQ(summary.Counts.Undecodable, 1);
    const std::string report = testsupport::ReadBytes(dir / "area_report.txt");
    EXPECT_NE(report.find("  missing (left transparent): 1\r\n"), std::string::npos) << report;
    EXPECT_NE(report.find("mn_501_601_10.png  missing\r\n"), std::string::npos) << report;
    EXPECT_NE(report.find("mn_502_600_10.png  failed to download\r\n"), std::string::npos) << report;
    EXPECT_NE(report.find("mn_500_600_10.png  undecodable: "), std::string::npos) << report;
    EXPECT_EQ(report.find("mn_501_600_10.png"), std::string::npos) << report;
}

} // namespace
} // namespace jointest
