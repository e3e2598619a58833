// The picture --render draws: the right tile's colour at points given in
// longitude and latitude, at several scales, for every map type, for a new
// and a continued task; missing, blank, failed and broken tiles told apart;
// the overviews of a large task; bad projects refused with one sentence.
#include <QImage>
#include <QProcess>
#include <cmath>
#include <filesystem>
#include <unistd.h>

#include "tests/view/ViewFixture.h"
#include "view/qt/HeadlessRender.h"
#include "view/qt/MapRenderer.h"

namespace kartivo::view {

namespace {

using testing::Near;
using testing::SyntheticTask;
using testing::TaskShape;

struct Picture {
    QImage Image;
    double CenterX, CenterY; // fractional column and row edge at the picture's middle
    double Scale;
    int TileW, TileH;

    // The pixel of the point at fractional column and row edge (ex, ey),
    // worked out from the tile size alone: columns run east, rows north.
    QPoint PixelOf(double ex, double ey) const
    {
        return QPoint(static_cast<int>(std::floor(Image.width() / 2.0 + (ex - CenterX) * TileW * Scale)),
                      static_cast<int>(std::floor(Image.height() / 2.0 - (ey - CenterY) * TileH * Scale)));
    }
};

ViewerCommand Command(const SyntheticTask& t, const std::string& out, double cx, double cy, double scale,
                      int w = 512, int h = 384)
{
    ViewerCommand cmd;
    cmd.Kind = ViewerCommand::Mode::Render;
    cmd.Project = t.ProjectPath();
    cmd.Output = out;
    cmd.Width = w;
    cmd.Height = h;
    cmd.CenterLon = core::TileXToLon(cx, t.Params().Zoom);
    cmd.CenterLat = core::TileYToLat(cy, t.Params().Zoom);
    cmd.Scale = scale;
    cmd.Show.Area = false;
    return cmd;
}

Picture Render(const SyntheticTask& t, double cx, double cy, double scale, int w = 512, int h = 384,
               Overlays show = {false, false, true})
{
    ViewerCommand cmd = Command(t, t.Folder() + "out.png", cx, cy, scale, w, h);
    cmd.Show = show;
    std::string error;
    EXPECT_TRUE(qt::RenderProjectToFile(cmd, error)) << error;
    QImage image(QString::fromStdString(cmd.Output));
    EXPECT_EQ(image.size(), QSize(w, h));
    return {image, cx, cy, scale, t.Task().TileWidth, t.Task().TileHeight};
}

// Every sample point of every tile that lies well inside the picture shows
// that tile's colour (or what `expect` says for it); returns how many were looked at.
template <class Expect> int CheckTiles(const SyntheticTask& t, const Picture& p, Expect expect)
{
    int checked = 0;
    const task::KvTask& task = t.Task();
    const double margin = 3.0 / (std::min(p.TileW, p.TileH) * p.Scale);
    for (int x = task.Xmin; x <= task.Xmax; ++x)
        for (int y = task.Ymin; y <= task.Ymax; ++y)
            // Off the diagonals, where a missing tile has its cross.
            for (auto [fx, fy] : {std::pair{0.5, 0.4}, {0.2, 0.3}, {0.85, 0.7}}) {
                if (fx < margin || fy < margin || fx > 1 - margin || fy > 1 - margin)
                    continue;
                const QPoint px = p.PixelOf(x + fx, y + fy);
                if (!p.Image.rect().adjusted(1, 1, -1, -1).contains(px))
                    continue;
                ++checked;
                EXPECT_TRUE(expect(x, y, p.Image.pixelColor(px)))
                    << "tile " << x << "," << y << " at " << fx << "," << fy << " scale " << p.Scale;
            }
    return checked;
}

bool LooksMissing(QColor c) { return c.red() > 200 && c.green() > 140 && c.green() < 200 && c.blue() < 130; }
bool LooksFailed(QColor c) { return c.red() > 180 && c.green() < 120 && c.blue() < 120; }

class RenderEveryType : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(RenderEveryType, ColoursAtLonLatPointsAtEveryScale)
{
    const auto [mapsType, continued] = GetParam();
    SyntheticTask t({1000, 1003, 2000, 2002, 12, mapsType});
    t.WriteAllTiles();
    if (continued) {
        // A run stopped part way: the westmost column never came.
        t.Continue();
        for (int y = 2000; y <= 2002; ++y)
            t.Remove(1000, y);
    }
    auto expect = [&](int x, int y, QColor c) {
        if (continued && x == 1000)
            return LooksMissing(c);
        return bool(Near(c, t.ColourOf(x, y)));
    };
    for (double scale : {2.0, 1.0, 0.5, 0.25, 0.125}) {
        const Picture p = Render(t, 1001.5, 2001.5, scale);
        EXPECT_GT(CheckTiles(t, p, expect), 0) << scale;
    }
    // The whole task fitted, as the window opens it: every tile in sight.
    ViewerCommand cmd;
    std::string error;
    ASSERT_TRUE(ParseViewerCommand(
        {"--render", t.Folder() + "fit.png", "--size", "600x400", "--no-area", t.ProjectPath()}, cmd, error))
        << error;
    ASSERT_TRUE(qt::RenderProjectToFile(cmd, error)) << error;
    const double fit = std::min(600.0 / (4 * t.Task().TileWidth), 400.0 / (3 * t.Task().TileHeight));
    const Picture whole{QImage(QString::fromStdString(cmd.Output)),
                        1002.0,
                        2001.5,
                        fit,
                        t.Task().TileWidth,
                        t.Task().TileHeight};
    EXPECT_EQ(CheckTiles(t, whole, expect), 4 * 3 * 3);
    // Beyond the task: the background.
    EXPECT_TRUE(Near(whole.Image.pixelColor(1, 1), qt::viewcolors::Background, 0));
}

INSTANTIATE_TEST_SUITE_P(MapTypes, RenderEveryType,
                         ::testing::Combine(::testing::Values(5, 6, 7, 21, 22), ::testing::Bool()),
                         [](const auto& info) {
                             return "type" + std::to_string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) ? "_continued" : "_new");
                         });

// Saved, blank, missing, failed and broken tiles look different, with the
// marks on; without them missing and failed look alike but not like a tile.
TEST(RenderStates, MissingBlankFailedAndBrokenTilesAreToldApart)
{
    SyntheticTask t({500, 505, 700, 700, 11, 5});
    t.WriteAllTiles();
    t.MakeBlank(501, 700);
    t.Remove(502, 700);
    t.Fail({{503, 700}});
    t.WriteBytes(504, 700, "<html>not an image</html>");
    std::string png = testing::ReadBytes(t.Task().GetTileFilePath(505, 700));
    t.WriteBytes(505, 700, png.substr(0, png.size() / 3)); // truncated

    for (double scale : {1.0, 0.25}) { // tiles and an overview
        const Picture p = Render(t, 503.0, 700.5, scale, 6 * 256, 256);
        auto at = [&](int x) { return p.Image.pixelColor(p.PixelOf(x + 0.25, 700.5)); };
        EXPECT_TRUE(Near(at(500), t.ColourOf(500, 700))) << scale;
        EXPECT_TRUE(Near(at(501), t.BlankColour())) << scale;
        EXPECT_TRUE(LooksMissing(at(502))) << at(502).name().toStdString() << " " << scale;
        EXPECT_TRUE(LooksFailed(at(503))) << at(503).name().toStdString() << " " << scale;
        EXPECT_TRUE(LooksMissing(at(504))) << "foreign file drawn as missing, " << scale;
        EXPECT_TRUE(LooksMissing(at(505))) << "truncated file drawn as missing, " << scale;
    }
    const Picture plain = Render(t, 503.0, 700.5, 1.0, 6 * 256, 256, {false, false, false});
    for (int x : {502, 503, 504})
        EXPECT_TRUE(Near(plain.Image.pixelColor(plain.PixelOf(x + 0.25, 700.5)), qt::viewcolors::NoImage, 0))
            << x;
}

// Overviews of a task too large to read whole: each cell shows the middle
// tile of its block, so blocks of one colour come out right even where a
// tile is a few pixels wide; a failed tile no cell shows is still marked.
TEST(RenderOverviews, LargeTaskShowsItsBlocksAtCoarseScales)
{
    constexpr int kSide = 64, kBlock = 8;
    SyntheticTask t({3000, 3000 + kSide - 1, 3000, 3000 + kSide - 1, 13, 6});
    // Hard links to one file per colour keep the folder cheap.
    for (int bx = 0; bx < kSide / kBlock; ++bx)
        for (int by = 0; by < kSide / kBlock; ++by) {
            const int x0 = 3000 + bx * kBlock, y0 = 3000 + by * kBlock;
            t.WriteTile(x0, y0, t.ColourOf(3000 + bx, 3000 + by));
            for (int i = 0; i < kBlock; ++i)
                for (int j = 0; j < kBlock; ++j)
                    if (i || j) {
                        ASSERT_EQ(::link(t.Task().GetTileFilePath(x0, y0).c_str(),
                                         t.Task().GetTileFilePath(x0 + i, y0 + j).c_str()),
                                  0);
                    }
        }
    // One failed tile that no overview cell shows: marked from the failed list.
    t.Fail({{3001, 3002}});
    for (double scale : {1.0 / 32, 1.0 / 64, 1.0 / 128}) {
        const Picture p = Render(t, 3000 + kSide / 2.0, 3000 + kSide / 2.0, scale, 512, 512);
        EXPECT_TRUE(Near(p.Image.pixelColor(p.PixelOf(3001.5, 3002.5)), qt::viewcolors::FailedMark, 0))
            << scale;
        int checked = 0;
        for (int bx = 0; bx < kSide / kBlock; ++bx)
            for (int by = 0; by < kSide / kBlock; ++by) {
                const QPoint px = p.PixelOf(3000 + bx * kBlock + kBlock / 2.0 + 0.5,
                                            3000 + by * kBlock + kBlock / 2.0 + 0.5);
                ++checked;
                EXPECT_TRUE(Near(p.Image.pixelColor(px), t.ColourOf(3000 + bx, 3000 + by), 20))
                    << "block " << bx << "," << by << " scale " << scale;
            }
        EXPECT_EQ(checked, 64);
    }
}

// The outline of the area asked for runs through the four coordinates.
TEST(RenderOverlays, AreaOutlineAndGridFollowTheCoordinates)
{
    SyntheticTask t({100, 101, 100, 101, 9, 5});
    t.WriteAllTiles();
    const Picture p = Render(t, 101.0, 101.0, 1.0, 512, 512, {true, true, false});
    // West edge of the area at column edge 100.3, north edge at row edge 101.7.
    const QPoint nw = p.PixelOf(100.3, 101.7);
    auto isArea = [&](QPoint q) { return Near(p.Image.pixelColor(q), qt::viewcolors::Area, 40); };
    int hits = 0;
    for (int dy = 10; dy < 200; dy += 5)
        hits += isArea(QPoint(nw.x(), nw.y() + dy)) || isArea(QPoint(nw.x() + 1, nw.y() + dy)) ||
                isArea(QPoint(nw.x() - 1, nw.y() + dy));
    EXPECT_GT(hits, 15) << "dashed line down the west edge";
    EXPECT_FALSE(isArea(p.PixelOf(100.5, 100.5)));
    // The grid line between columns 100 and 101 is lighter than both tiles.
    const QPoint edge = p.PixelOf(101.0, 100.4);
    const QColor line =
        p.Image.pixelColor(edge).lightness() > p.Image.pixelColor(edge.x() - 1, edge.y()).lightness()
            ? p.Image.pixelColor(edge)
            : p.Image.pixelColor(edge.x() - 1, edge.y());
    EXPECT_GT(line.lightness(), t.ColourOf(100, 100).lightness());
}

// Bad input: one sentence, nothing written.
TEST(RenderRefusals, BadProjectsGiveOneSentence)
{
    testing::TempFolder dir;
    std::string error;
    ViewerCommand cmd;
    cmd.Kind = ViewerCommand::Mode::Render;
    cmd.Output = dir / "out.png";

    cmd.Project = dir / "absent.kvpd";
    EXPECT_FALSE(qt::RenderProjectToFile(cmd, error));
    EXPECT_NE(error.find("absent.kvpd"), std::string::npos) << error;

    cmd.Project = dir / "text.kvpd";
    testing::WriteBytes(cmd.Project, "just some notes\r\n");
    EXPECT_FALSE(qt::RenderProjectToFile(cmd, error));
    EXPECT_NE(error.find("is not a Kartivo project file"), std::string::npos) << error;

    {
        SyntheticTask t({10, 11, 10, 11, 6, 6});
        std::filesystem::remove_all(t.Task().TileFolder);
        cmd.Project = t.ProjectPath();
        EXPECT_FALSE(qt::RenderProjectToFile(cmd, error));
        EXPECT_EQ(error, "The tile folder " + t.Task().TileFolder + " of this project does not exist.");

        std::filesystem::create_directory(t.Task().TileFolder);
        cmd.Output = dir / "no-such-folder/out.png";
        EXPECT_FALSE(qt::RenderProjectToFile(cmd, error));
        EXPECT_EQ(error, "Cannot create file " + cmd.Output);
    }
    EXPECT_FALSE(platform::FileExists(dir / "out.png"));
}

// The program itself: exit status and one line on the error stream.
TEST(RenderProgram, ExitStatusAndOneLine)
{
    const QString program = QString::fromStdString(platform::ProgramFolder() + "plateview");
    ASSERT_TRUE(platform::FileExists(program.toStdString()));
    SyntheticTask t({40, 41, 40, 40, 7, 5});
    t.WriteAllTiles();
    auto run = [&](const QStringList& args, QByteArray& err) {
        QProcess p;
        p.start(program, args);
        EXPECT_TRUE(p.waitForFinished(60000));
        err = p.readAllStandardError();
        return p.exitCode();
    };
    QByteArray err;
    const QString out = QString::fromStdString(t.Folder() + "thumb.png");
    EXPECT_EQ(run({"--render", out, "--size", "64x48", QString::fromStdString(t.ProjectPath())}, err), 0)
        << err.data();
    EXPECT_EQ(QImage(out).size(), QSize(64, 48));
    EXPECT_EQ(run({"--render", out, QString::fromStdString(t.Folder() + "nope.kvpd")}, err), 1);
    EXPECT_EQ(err.count('\n'), 1) << err.data();
    EXPECT_TRUE(err.startsWith("plateview: ")) << err.data();
    EXPECT_EQ(run({"--render", out, "--size", "0x5", QString::fromStdString(t.ProjectPath())}, err), 2);
    EXPECT_EQ(err.count('\n'), 1) << err.data();
    EXPECT_EQ(run({"--help"}, err), 0);
}

} // namespace

} // namespace kartivo::view
