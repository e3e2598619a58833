// The MBTiles output read back with sqlite3 and GDAL: the standard tables and
// metadata, rows counted from the south as Kartivo counts them, the tiles'
// bytes unchanged, and no row for a tile that gives no image.
#include "tests/join/JoinFixture.h"

#include <cmath>

namespace kartivo::join {

using testing::Quoted;

namespace {

class MbtilesTest : public testing::JoinTest {
protected:
    std::string Sql(const std::string& query) {
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
