// What a map user reads and asks for: the scale bar's round lengths, the
// ground size of a selection, Go to by coordinates or tile, and zooming to
// a selection.
#include <QImage>
#include <cmath>

#include "core/Commonfunc.h"
#include "tests/view/ViewFixture.h"
#include "view/qt/HeadlessRender.h"
#include "view/qt/MapRenderer.h"

#include "view/MapGrid.h"
#include "view/MapScale.h"
#include "view/ReadOut.h"
#include "view/Viewport.h"

namespace kartivo::view {

using testing::Near;

// At the equator, zoom 0, a 256-pixel tile spans the Earth's circumference:
// 156,543.03 m a pixel. The bar picks the longest 1-2-5 length that fits.
TEST(MapScale, MetresPerPixelAndRoundBarLengths)
{
    const MapGrid world(0, 0, 0, 0, 0, 256, 256);
    Viewport v(512, 512);
    v.Fit(world); // scale 2, centre on the equator
    EXPECT_NEAR(MetresPerScreenPixel(world, v), 156543.034 / 2, 0.01);
    // At 60 degrees north a pixel spans half the ground it does at the equator.
    const MapGrid north(0, 1023, 0, 1023, 10, 256, 256);
    Viewport n(100, 100);
    n.SetExactScale(1);
    n.SetCenter(north.LonLatToMap(0, 60));
    EXPECT_NEAR(MetresPerScreenPixel(north, n), 156543.034 / 1024 / 2, 0.001);

    const ScaleBar bar = ChooseScaleBar(3.7, 160); // at most 592 m
    EXPECT_EQ(bar.Label, "500 m");
    EXPECT_NEAR(bar.Pixels, 500 / 3.7, 1e-9);
    EXPECT_EQ(ChooseScaleBar(12.5, 160).Label, "2 km");
    EXPECT_EQ(ChooseScaleBar(0.004, 160).Label, "0.5 m");
    EXPECT_EQ(ChooseScaleBar(80000, 160).Label, "10,000 km");
    EXPECT_EQ(ChooseScaleBar(1e-6, 160).Pixels, 0);
    EXPECT_EQ(LengthText(12.5), "12.5 m");
    EXPECT_EQ(LengthText(1250), "1.25 km");
    EXPECT_EQ(LengthText(1250000), "1,250 km");
}

TEST(MapScale, SelectionSizeInTilesAndGround)
{
    const MapGrid g(100, 109, 200, 209, 10, 256, 256);
    // From inside tile column 0 to inside column 2, rows 0 to 1: 3 x 2 tiles.
    const std::string text = SelectionSizeText(g, {100, 10}, {700, 300});
    EXPECT_EQ(text.rfind("Selection 3 x 2 tiles, ", 0), 0u) << text;
    // 600 map pixels at zoom 10: about 600 * 152.87 m * cos(latitude).
    const double lat = g.MapToLonLat({400, 155}).Lat;
    const double width = 600 * 156543.034 / 1024 * std::cos(lat * M_PI / 180);
    const double shown = std::stod(text.substr(text.find("tiles, ") + 7)) * 1000; // in km here
    EXPECT_NEAR(shown, width, width * 0.02) << text;
    // Beyond the grid counts no tiles.
    EXPECT_EQ(SelectionSizeText(g, {-500, -500}, {-10, -10}).rfind("Selection 0 x 0 tiles", 0), 0u);
}

TEST(GoTo, CoordinatesOrTileAndRefusals)
{
    const MapGrid g(4149, 4150, 5373, 5374, 13, 256, 256);
    MapPoint p;
    std::string error;
    ASSERT_TRUE(ParseGoTo("2.3522, 48.8566", g, p, error)) << error;
    const LonLat back = g.MapToLonLat(p);
    EXPECT_NEAR(back.Lon, 2.3522, 1e-9);
    EXPECT_NEAR(back.Lat, 48.8566, 1e-9);
    ASSERT_TRUE(ParseGoTo(" 2.3522 48.8566 ", g, p, error)) << error;
    ASSERT_TRUE(ParseGoTo("4150/5373", g, p, error)) << error;
    int x = 0, y = 0;
    ASSERT_TRUE(g.TileAt(p, x, y));
    EXPECT_EQ(x, 4150);
    EXPECT_EQ(y, 5373);
    EXPECT_FALSE(ParseGoTo("9999/5373", g, p, error));
    EXPECT_EQ(error, "Tile 9999/5373 is not one of this task's (columns 4149 to 4150, rows 5373 to 5374).");
    for (const char* bad : {"", "paris", "200,10", "2.5", "1.5/3", "2,,3"})
        EXPECT_FALSE(ParseGoTo(bad, g, p, error)) << bad;
    EXPECT_EQ(PositionText({2.3522, -48.8566}), "2.3522000,-48.8566000");
}

TEST(Viewport, FitRectShowsTheSelectionWithinLimits)
{
    const MapGrid g(0, 99, 0, 99, 10, 256, 256);
    Viewport v(800, 600);
    v.FitRect({1000, 2000, 1400, 2100}, g);
    EXPECT_DOUBLE_EQ(v.Scale(), 2.0); // 400 x 100 map pixels into 800 x 600
    EXPECT_DOUBLE_EQ(v.Center().X, 1200);
    EXPECT_DOUBLE_EQ(v.Center().Y, 2050);
    v.FitRect({0, 0, 1, 1}, g);
    EXPECT_EQ(v.Scale(), Viewport::kMaxScale);
}

// Graticule lines fall on round longitudes and latitudes.
TEST(Graticule, LinesAtRoundDegrees)
{
    EXPECT_EQ(GraticuleStep(360), 90);
    EXPECT_EQ(GraticuleStep(50), 15);
    EXPECT_EQ(GraticuleStep(12), 2);
    EXPECT_EQ(GraticuleStep(0.35), 0.1);

    testing::SyntheticTask t({1050, 1053, 700, 702, 11, 6});
    t.WriteAllTiles();
    ViewerCommand cmd;
    cmd.Kind = ViewerCommand::Mode::Render;
    cmd.Project = t.ProjectPath();
    cmd.Output = t.Folder() + "grat.png";
    cmd.Width = 1024;
    cmd.Height = 768;
    cmd.Scale = 1;
    cmd.Show = {false, false, false, true};
    std::string error;
    ASSERT_TRUE(qt::RenderProjectToFile(cmd, error)) << error;
    const QImage image(QString::fromStdString(cmd.Output));
    // The view spans 1024 px at zoom 11: 0.703 degrees east-west.
    const MapGrid g(1050, 1053, 700, 702, 11, 256, 256);
    Viewport v(1024, 768);
    v.Fit(g);
    v.SetScale(1, g);
    const double step = GraticuleStep(g.MapToLonLat({g.Width(), 0}).Lon - g.MapToLonLat({0, 0}).Lon);
    int lines = 0;
    for (double lon = std::ceil(g.MapToLonLat(v.ScreenToMap({0, 0})).Lon / step) * step;
         lon <= g.MapToLonLat(v.ScreenToMap({1024, 0})).Lon; lon += step) {
        const int x = static_cast<int>(std::round(v.MapToScreen(g.LonLatToMap(lon, 0)).X));
        EXPECT_TRUE(Near(image.pixelColor(x, 400), qt::viewcolors::Graticule, 0)) << lon;
        EXPECT_FALSE(Near(image.pixelColor(x + 3, 400), qt::viewcolors::Graticule, 30)) << lon;
        ++lines;
    }
    EXPECT_GE(lines, 2);
}

} // namespace kartivo::view
