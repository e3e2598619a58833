// Decoding for speed without losing the picture: a tile decoded at a
// reduced size shows the mean of the pixels it stands for, in the format
// the painter draws; an overview made from finer images already decoded
// equals one made from the tiles; a frame never waits for the disk and
// the images just beyond the view are ready when a drag reaches them.
#include <QBuffer>
#include <QImage>
#include <cmath>

#include "tests/view/ViewFixture.h"
#include "view/qt/HeadlessRender.h"
#include "view/qt/MapRenderer.h"
#include "view/qt/TileImages.h"

namespace kartivo::view {

namespace {

using testing::Near;
using testing::SyntheticTask;

// A picture with detail everywhere (smooth ramps and a fine pattern), so
// that averaging the wrong pixels shows.
QImage Detailed(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y,
                           qRgb(x * 255 / (w - 1), y * 255 / (h - 1), ((x / 8 + y / 8) % 2) * 200 + 20));
    return image;
}

std::string Encode(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, 95);
    return bytes.toStdString();
}

// The mean of each f x f block of `source`, worked out pixel by pixel.
QColor BlockMean(const QImage& source, int ox, int oy, int fx, int fy)
{
    int r = 0, g = 0, b = 0;
    for (int y = oy * fy; y < (oy + 1) * fy; ++y)
        for (int x = ox * fx; x < (ox + 1) * fx; ++x) {
            const QRgb p = source.pixel(x, y);
            r += qRed(p);
            g += qGreen(p);
            b += qBlue(p);
        }
    const int n = fx * fy;
    return QColor((r + n / 2) / n, (g + n / 2) / n, (b + n / 2) / n);
}

// The largest difference of any channel of any pixel from the block means.
int WorstDifference(const QImage& reduced, const QImage& source)
{
    const int fx = source.width() / reduced.width(), fy = source.height() / reduced.height();
    int worst = 0;
    for (int y = 0; y < reduced.height(); ++y)
        for (int x = 0; x < reduced.width(); ++x) {
            const QColor want = BlockMean(source, x, y, fx, fy), got = reduced.pixelColor(x, y);
            worst = std::max({worst, std::abs(got.red() - want.red()), std::abs(got.green() - want.green()),
                              std::abs(got.blue() - want.blue())});
        }
    return worst;
}

} // namespace

TEST(ReduceImage, EachPixelIsTheMeanOfItsBlockAlphaIncluded)
{
    const QImage source = Detailed(64, 48);
    const QImage reduced = qt::ReduceImage(source, QSize(16, 12));
    ASSERT_EQ(reduced.size(), QSize(16, 12));
    EXPECT_EQ(reduced.format(), QImage::Format_RGB32);
    EXPECT_LE(WorstDifference(reduced, source), 1);

    // Half of each 2 x 2 block transparent: half the alpha, the colour of the
    // opaque half (premultiplied, so it is not darkened).
    QImage holes(4, 2, QImage::Format_ARGB32_Premultiplied);
    holes.fill(Qt::transparent);
    for (int x = 0; x < 4; ++x)
        holes.setPixel(x, 0, qRgba(200, 100, 40, 255));
    const QImage half = qt::ReduceImage(holes, QSize(2, 1));
    ASSERT_EQ(half.format(), QImage::Format_ARGB32_Premultiplied);
    const QColor c = half.convertToFormat(QImage::Format_ARGB32).pixelColor(0, 0);
    EXPECT_NEAR(c.alpha(), 128, 1);
    EXPECT_TRUE(Near(c, QColor(200, 100, 40), 2));

    // A size that does not divide evenly is still met exactly.
    EXPECT_EQ(qt::ReduceImage(source, QSize(20, 15)).size(), QSize(20, 15));
}

TEST(ScaledDecode, ShowsTheMeanOfThePixelsInThePaintersFormat)
{
    const QImage square = Detailed(256, 256);
    const QImage wide = Detailed(256, 180);
    struct Case {
        const QImage* Source;
        const char* Format;
        QSize To;
        int Tolerance; // PNG within rounding; JPEG loses a little, and more at 1/8
    };
    for (const Case& c : {Case{&square, "PNG", {128, 128}, 1}, Case{&square, "PNG", {64, 64}, 1},
                          Case{&square, "PNG", {16, 16}, 1}, Case{&square, "JPG", {128, 128}, 10},
                          Case{&square, "JPG", {64, 64}, 10}, Case{&square, "JPG", {16, 16}, 12},
                          Case{&wide, "JPG", {64, 45}, 10}, Case{&wide, "PNG", {128, 90}, 1}}) {
        TileFault fault = TileFault::Damaged;
        const QImage image = qt::DecodeTileImage(Encode(*c.Source, c.Format), c.Source->size(), c.To, fault);
        ASSERT_EQ(fault, TileFault::None) << c.Format << " " << c.To.width();
        ASSERT_EQ(image.size(), c.To);
        EXPECT_EQ(image.format(), QImage::Format_RGB32) << c.Format;
        EXPECT_LE(WorstDifference(image, *c.Source), c.Tolerance) << c.Format << " " << c.To.width();
    }
    // A tile with transparency keeps it, premultiplied, at a reduced size too.
    QImage clear(256, 256, QImage::Format_ARGB32);
    clear.fill(QColor(10, 200, 30, 100));
    TileFault fault = TileFault::Damaged;
    const QImage image = qt::DecodeTileImage(Encode(clear, "PNG"), QSize(256, 256), QSize(32, 32), fault);
    ASSERT_EQ(fault, TileFault::None);
    EXPECT_EQ(image.format(), QImage::Format_ARGB32_Premultiplied);
    EXPECT_EQ(image.convertToFormat(QImage::Format_ARGB32).pixelColor(5, 5).alpha(), 100);
}

// A level-1 overview made from decoded tiles given for three quarters (one
// of them a missing tile) and from the file for the fourth.
TEST(FinerParts, QuartersComeFromTheGivenImagesAndTheRestFromTheTiles)
{
    SyntheticTask t({100, 101, 200, 201, 12, 5});
    t.WriteAllTiles();
    std::string error;
    auto project = qt::OpenViewerProject(t.ProjectPath(), error);
    ASSERT_TRUE(project) << error;
    const MapGrid grid = MapGrid::OfTask(project->Task());
    auto solid = [](QColor c) {
        qt::TileEntry e;
        e.Image = QImage(256, 256, QImage::Format_RGB32);
        e.Image.fill(c);
        e.State = task::TileState::Saved;
        return e;
    };
    qt::TileEntry missing;
    missing.State = task::TileState::Missing;
    missing.Marks.push_back({QRect(0, 0, 256, 256), task::TileState::Missing, TileFault::None});
    const qt::FinerParts parts{
        {{0, 0, 0}, solid(QColor(250, 0, 0))}, {{0, 1, 0}, solid(QColor(0, 0, 250))}, {{0, 0, 1}, missing}};
    const qt::TileEntry entry = qt::LoadPyramidImage(*project, grid, {1, 0, 0}, nullptr, parts);
    ASSERT_FALSE(entry.Image.isNull());
    // Not the files' colours: the given images were used as they are.
    EXPECT_TRUE(Near(entry.Image.pixelColor(64, 64), QColor(250, 0, 0), 1));
    EXPECT_TRUE(Near(entry.Image.pixelColor(192, 64), QColor(0, 0, 250), 1));
    // The quarter not given: the tile south-east, read from its file (rows run south).
    EXPECT_TRUE(Near(entry.Image.pixelColor(192, 192), t.ColourOf(101, 200), 2));
    ASSERT_EQ(entry.Marks.size(), 1u);
    EXPECT_EQ(entry.Marks[0].Rect, QRect(0, 128, 128, 128));
    EXPECT_EQ(entry.Marks[0].State, task::TileState::Missing);

    // Given nothing, the same overview from the tiles alone.
    const qt::TileEntry plain = qt::LoadPyramidImage(*project, grid, {1, 0, 0});
    EXPECT_TRUE(plain.Marks.empty());
    EXPECT_TRUE(Near(plain.Image.pixelColor(64, 64), t.ColourOf(100, 201), 2));
}

// A frame draws what is at hand and returns; once the loader is idle the
// ring around the view is decoded too, so a drag finds every image there,
// and a zoom out shows the finer images at once, then the overviews made of them.
TEST(PanWithoutWaiting, RingAroundTheViewIsReadyAndZoomOutReusesTiles)
{
    SyntheticTask t({300, 311, 400, 409, 12, 5});
    t.WriteAllTiles();
    testing::TempFolder overviews;
    std::string error;
    auto project = qt::OpenViewerProject(t.ProjectPath(), error);
    ASSERT_TRUE(project) << error;
    qt::MapRenderer renderer(*project, qt::MapRenderer::kDefaultCacheBytes, 0, overviews.Path());
    Viewport view(512, 384);
    view.Fit(renderer.Grid());
    view.SetScale(1.0, renderer.Grid());
    QImage frame(512, 384, QImage::Format_RGB32);
    const Overlays none{false, false, false};
    auto paint = [&] {
        QPainter painter(&frame);
        return renderer.Paint(painter, view, none);
    };
    EXPECT_FALSE(paint()); // nothing decoded yet: drawn as loading, not waited for
    renderer.WaitForLoads();
    EXPECT_TRUE(paint());

    // A drag of almost half a screen, in every direction: all at hand.
    for (auto [dx, dy] : {std::pair{250.0, 0.0}, {-500.0, 0.0}, {250.0, 180.0}, {0.0, -360.0}}) {
        view.Pan(dx, dy);
        EXPECT_TRUE(paint()) << dx << "," << dy;
    }

    // Out to 1/2: the tiles stand in at once, then overviews made of them.
    view.Pan(0, 180);
    view.SetScale(0.5, renderer.Grid());
    const ScreenPoint mid{256, 192};
    int x = 0, y = 0;
    ASSERT_TRUE(renderer.Grid().TileAt(view.ScreenToMap(mid), x, y));
    paint();
    EXPECT_TRUE(Near(frame.pixelColor(256, 192), t.ColourOf(x, y), 6));
    renderer.WaitForLoads();
    EXPECT_TRUE(paint());
    EXPECT_TRUE(Near(frame.pixelColor(256, 192), t.ColourOf(x, y), 6));
}

} // namespace kartivo::view
