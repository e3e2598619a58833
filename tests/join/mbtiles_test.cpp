// The MBTiles output read back with sqlite3 and GDAL: the standard tables and
// metadata, rows counted from the south as Kartivo counts them, the tiles'
// bytes unchanged, and no row for a tile that gives no image.
#include "tests/join/JoinFixture.h"

#include <cmath>
#include <filesystem>

namespace kartivo::join {

using testing::Quoted;

namespace {

class MbtilesTest : public testing::JoinTest {
protected:
    std::string Sql(const std::string& query)
    {
        return testing::RunCommand("sqlite3 -separator '|' " + Quoted(dir / "area.mbtiles") + " " +
                                   Quoted(query));
    }
};

TEST_F(MbtilesTest, StoresTheTilesAsTheyAreWithTheirRowsAndMetadata)
{
    MakeTask(6, 700, 702, 900, 901, 11);
    RemoveTile(701, 900);
    ReplaceTile(702, 901, "<html>Service unavailable</html>");
    TruncateTile(700, 901);
    JoinOptions options;
    options.Format = OutputFormat::MBTiles;
    ASSERT_EQ(Combine(options), JoinOutcome::Done);
    EXPECT_EQ(summary.OutputPath, dir / "area.mbtiles");

    EXPECT_EQ(Sql("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name"), "metadata\ntiles\n");
    EXPECT_EQ(Sql("SELECT zoom_level, tile_column, tile_row FROM tiles ORDER BY tile_column, tile_row"),
              "11|700|900\n11|701|901\n11|702|900\n");
    // The bytes are the file's, not re-encoded.
    std::string hex;
    for (unsigned char c : testing::ReadBytes(TilePath(702, 900))) {
        hex += "0123456789ABCDEF"[c >> 4];
        hex += "0123456789ABCDEF"[c & 15];
    }
    EXPECT_EQ(Sql("SELECT hex(tile_data) FROM tiles WHERE tile_column=702 AND tile_row=900"), hex + "\n");

    EXPECT_EQ(Sql("SELECT value FROM metadata WHERE name='name'"), "area\n");
    EXPECT_EQ(Sql("SELECT value FROM metadata WHERE name='format'"), "jpg\n");
    EXPECT_EQ(Sql("SELECT value FROM metadata WHERE name='minzoom'"), "11\n");
    EXPECT_EQ(Sql("SELECT value FROM metadata WHERE name='maxzoom'"), "11\n");
    std::vector<double> bounds;
    {
        std::string text = Sql("SELECT value FROM metadata WHERE name='bounds'");
        std::replace(text.begin(), text.end(), ',', ' ');
        std::istringstream in(text);
        in.imbue(std::locale::classic());
        double v;
        while (in >> v)
            bounds.push_back(v);
    }
    ASSERT_EQ(bounds.size(), 4u);
    // West, south, east, north of columns 700-702 and rows 900-901 at zoom 11:
    // x * 360 / 2^11 - 180, and atan(sinh(pi * (2y / 2^11 - 1))) in degrees.
    EXPECT_NEAR(bounds[0], -56.953125, 1e-9);
    EXPECT_NEAR(bounds[1], -21.2893743558604, 1e-9);
    EXPECT_NEAR(bounds[2], -56.42578125, 1e-9);
    EXPECT_NEAR(bounds[3], -20.9614396140968, 1e-9);
    EXPECT_NE(Sql("SELECT value FROM metadata WHERE name='center'").find(",11\n"), std::string::npos);

    EXPECT_EQ(summary.Counts.Saved, 3);
    EXPECT_EQ(summary.Counts.Missing, 1);
    EXPECT_EQ(summary.Counts.Undecodable, 2);

    // GDAL's MBTiles driver places it in EPSG:3857 over the stored tiles.
    const std::string json = testing::RunCommand("gdalinfo -json " + Quoted(dir / "area.mbtiles"));
    EXPECT_NE(json.find("\"MBTiles\""), std::string::npos) << json.substr(0, 500);
    testing::ExpectPlacedOnTiles(json, 700, 702, 900, 901, 11, 768, 512);
    // Tile (701, 901) is in the top row, second column.
    const std::vector<int> v = testing::PixelValues(dir / "area.mbtiles", 256 + 128, 128);
    ASSERT_GE(v.size(), 3u);
    EXPECT_NEAR(v[0], testing::TileColour(701, 901)[0], 3);
    EXPECT_NEAR(v[1], testing::TileColour(701, 901)[1], 3);
}

// --min-zoom adds the levels below the task's zoom, each the average of the
// 2 x 2 pixels of the level above (weighted by alpha), so that a phone's map
// app has tiles at every scale.
TEST_F(MbtilesTest, LowerZoomsAreTrueDownsamples)
{
    MakeTask(5, 100, 103, 100, 103, 9);
    RemoveTile(103, 103); // top right
    JoinOptions options;
    options.Format = OutputFormat::MBTiles;
    options.MinZoom = 7;
    ASSERT_EQ(Combine(options), JoinOutcome::Done);
    EXPECT_EQ(Sql("SELECT zoom_level, count(*) FROM tiles GROUP BY zoom_level ORDER BY zoom_level"),
              "7|1\n8|4\n9|15\n");
    EXPECT_EQ(Sql("SELECT tile_column, tile_row FROM tiles WHERE zoom_level=7"), "25|25\n");
    EXPECT_EQ(Sql("SELECT value FROM metadata WHERE name='minzoom'"), "7\n");

    auto tileAt = [&](int zoom, int x, int y) {
        const std::string hex =
            Sql("SELECT hex(tile_data) FROM tiles WHERE zoom_level=" + std::to_string(zoom) +
                " AND tile_column=" + std::to_string(x) + " AND tile_row=" + std::to_string(y));
        std::string bytes;
        for (std::size_t i = 0; i + 1 < hex.size() && hex[i] != '\n'; i += 2)
            bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        std::vector<std::uint8_t> rgba;
        std::string reason;
        EXPECT_TRUE(DecodeTile(bytes, 256, 256, rgba, reason))
            << zoom << "/" << x << "/" << y << " " << reason;
        return rgba;
    };
    auto fileAt = [&](int x, int y) {
        std::vector<std::uint8_t> rgba(256 * 256 * 4, 0);
        std::string reason;
        if (std::filesystem::exists(TilePath(x, y))) {
            EXPECT_TRUE(DecodeTile(testing::ReadBytes(TilePath(x, y)), 256, 256, rgba, reason)) << reason;
        }
        return rgba;
    };
    // Each quarter of (8, 51, 51) is the average of one tile of zoom 9; the
    // northern tiles (row 103) make its upper half.
    const std::vector<std::uint8_t> parent = tileAt(8, 51, 51);
    ASSERT_EQ(parent.size(), 256u * 256 * 4);
    std::size_t wrong = 0;
    for (int q = 0; q < 4; ++q) {
        const int i = q % 2, j = q / 2;
        const std::vector<std::uint8_t> child = fileAt(102 + i, 103 - j);
        for (int y = 0; y < 128; ++y)
            for (int x = 0; x < 128; ++x) {
                unsigned a = 0, sum[3] = {0, 0, 0};
                for (int k = 0; k < 4; ++k) {
                    const std::uint8_t* p = &child[((2 * y + k / 2) * 256 + 2 * x + k % 2) * 4];
                    a += p[3];
                    for (int c = 0; c < 3; ++c)
                        sum[c] += p[c] * p[3];
                }
                const std::uint8_t* got = &parent[((j * 128 + y) * 256 + i * 128 + x) * 4];
                const unsigned alpha = (a + 2) / 4;
                bool ok = got[3] == alpha;
                for (int c = 0; c < 3 && a > 0; ++c)
                    ok = ok && got[c] == (sum[c] + a / 2) / a;
                wrong += !ok;
            }
    }
    EXPECT_EQ(wrong, 0u);
    // With a hole it is PNG; an opaque tile of a PNG task too.
    EXPECT_EQ(Sql("SELECT hex(substr(tile_data, 2, 3)) FROM tiles WHERE zoom_level=8 AND tile_column=51 AND "
                  "tile_row=51"),
              "504E47\n");
    const std::vector<std::uint8_t> top = tileAt(7, 25, 25);
    EXPECT_EQ(top.size(), 256u * 256 * 4);
    // GDAL takes the lower zooms as the map's overviews.
    const std::string info = testing::RunCommand("gdalinfo " + Quoted(dir / "area.mbtiles"));
    EXPECT_NE(info.find("Overviews: 512x512, 256x256"), std::string::npos) << info;
}

// Ordnance Survey tiles are named .jpg and hold PNG: the format follows the bytes.
TEST_F(MbtilesTest, FormatFollowsTheBytesNotTheFileName)
{
    MakeTask(22, 10, 11, 10, 10, 6);
    JoinOptions options;
    options.Format = OutputFormat::MBTiles;
    ASSERT_EQ(Combine(options), JoinOutcome::Done);
    EXPECT_EQ(Sql("SELECT value FROM metadata WHERE name='format'"), "png\n");
    EXPECT_EQ(Sql("SELECT count(*) FROM tiles"), "2\n");
}

} // namespace
} // namespace kartivo::join
