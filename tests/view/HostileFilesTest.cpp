// Files that are not what they claim: tiles of the wrong size, named pipes,
// giant or truncated files, oversized project files, pictures rendered onto
// pipes and folders, scales outside the allowed range, and a start without
// a display. Nothing may hang, blow up memory, replace a special file or be
// reported as fine.
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <cmath>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/qt/Application.h"
#include "tests/view/ViewFixture.h"
#include "view/OutputFile.h"
#include "view/qt/HeadlessRender.h"
#include "view/qt/MapRenderer.h"

namespace kartivo::view {

namespace {

using testing::Near;
using testing::SyntheticTask;

ViewerCommand RenderCommand(const SyntheticTask& t, const std::string& out, int w = 256, int h = 256)
{
    ViewerCommand cmd;
    cmd.Kind = ViewerCommand::Mode::Render;
    cmd.Project = t.ProjectPath();
    cmd.Output = out;
    cmd.Width = w;
    cmd.Height = h;
    cmd.Show = {false, false, false};
    return cmd;
}

std::string Png(QSize size, QColor colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return qt::EncodePng(image);
}

// Runs plateview with a deadline, so a program that hangs fails the test
// instead of the whole run; false when it had to be killed.
struct ProgramRun {
    bool Finished = false;
    int Status = -1;
    QByteArray Err;
};
ProgramRun RunPlateview(const QStringList& args,
                        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QString::fromStdString(platform::ProgramFolder() + "plateview"), args);
    ProgramRun r;
    r.Finished = p.waitForFinished(30000);
    if (!r.Finished) {
        p.kill();
        p.waitForFinished(5000);
        return r;
    }
    r.Status = p.exitCode();
    r.Err = p.readAllStandardError();
    return r;
}

void MakeFifo(const std::string& path)
{
    std::filesystem::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
}

bool IsFifo(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

} // namespace

// A tile whose picture is not the task's tile size is a bad tile: never
// decoded at the size it claims, drawn as having no image, and named so.
TEST(HostileTiles, WrongSizeAndOversizedFilesAreBadTiles)
{
    SyntheticTask t({300, 303, 300, 300, 10, 5});
    t.WriteAllTiles();
    t.WriteBytes(301, 300, Png({4096, 4096}, Qt::red)); // claims 64 MB of pixels
    t.WriteBytes(302, 300, Png({300, 300}, Qt::red));
    // A sparse file far beyond any tile, as a link to a device would be.
    {
        const std::string path = t.Task().GetTileFilePath(303, 300);
        std::filesystem::resize_file(path, std::uintmax_t(1) << 30);
    }
    std::string error;
    auto project = qt::OpenViewerProject(t.ProjectPath(), error);
    ASSERT_TRUE(project) << error;

    const qt::TileLook good = qt::LookAtTile(*project, 300, 300);
    EXPECT_EQ(good.Fault, TileFault::None);
    EXPECT_FALSE(good.Image.isNull());
    const qt::TileLook huge = qt::LookAtTile(*project, 301, 300);
    EXPECT_EQ(huge.State, task::TileState::Saved);
    EXPECT_EQ(huge.Fault, TileFault::WrongSize);
    EXPECT_TRUE(huge.Image.isNull());
    EXPECT_EQ(qt::LookAtTile(*project, 302, 300).Fault, TileFault::WrongSize);
    const qt::TileLook giant = qt::LookAtTile(*project, 303, 300);
    EXPECT_EQ(giant.State, task::TileState::Saved);
    EXPECT_EQ(giant.Fault, TileFault::TooLarge);
    EXPECT_EQ(StateText(huge.State, huge.Fault), "saved, but not a tile of this task");
    EXPECT_EQ(StateText(giant.State, giant.Fault), "saved, but too large to be a tile (over 4 MB)");

    // At the tiles' own pixels and as an overview, only the good tile shows.
    for (double scale : {1.0, 0.25}) {
        ViewerCommand cmd = RenderCommand(t, t.Folder() + "out.png", int(4 * 256 * scale), 64);
        cmd.Scale = scale;
        cmd.CenterLon = core::TileXToLon(302.0, 10);
        cmd.CenterLat = core::TileYToLat(300.5, 10);
        ASSERT_TRUE(qt::RenderProjectToFile(cmd, error)) << error;
        const QImage image(QString::fromStdString(cmd.Output));
        const int tile = int(256 * scale);
        EXPECT_TRUE(Near(image.pixelColor(tile / 2, 32), t.ColourOf(300, 300))) << scale;
        for (int i = 1; i < 4; ++i)
            EXPECT_TRUE(Near(image.pixelColor(i * tile + tile / 2, 32), qt::viewcolors::NoImage, 0))
                << "tile " << 300 + i << " at scale " << scale;
    }
}

// A cut-short image is not called merely "saved": the read-out says what
// it is, also when the tile was never loaded at its own size.
TEST(HostileTiles, TruncatedAndForeignFilesSayWhatTheyAre)
{
    SyntheticTask t({10, 11, 10, 10, 5, 5});
    t.WriteAllTiles();
    const std::string png = testing::ReadBytes(t.Task().GetTileFilePath(10, 10));
    t.WriteBytes(10, 10, png.substr(0, png.size() / 2));
    t.WriteBytes(11, 10, "<html>not an image</html>");
    std::string error;
    auto project = qt::OpenViewerProject(t.ProjectPath(), error);
    ASSERT_TRUE(project) << error;
    const qt::TileLook cut = qt::LookAtTile(*project, 10, 10);
    EXPECT_EQ(StateText(cut.State, cut.Fault), "saved, but the image is cut short or damaged");
    const qt::TileLook foreign = qt::LookAtTile(*project, 11, 10);
    EXPECT_EQ(StateText(foreign.State, foreign.Fault), "saved, but not a readable image");
}

// Named pipes in place of tiles or of the project are never opened for
// reading: the render finishes, the pipes drawn as missing.
TEST(HostileTiles, NamedPipesNeverBlock)
{
    SyntheticTask t({20, 21, 20, 20, 6, 5});
    t.WriteAllTiles();
    MakeFifo(t.Task().GetTileFilePath(21, 20));
    const QString out = QString::fromStdString(t.Folder() + "fifo.png");
    const ProgramRun render = RunPlateview(
        {"--render", out, "--size", "128x64", "--no-marks", QString::fromStdString(t.ProjectPath())});
    ASSERT_TRUE(render.Finished) << "plateview hung on a named pipe as a tile";
    EXPECT_EQ(render.Status, 0) << render.Err.data();
    const QImage image(out);
    EXPECT_TRUE(Near(image.pixelColor(96, 32), qt::viewcolors::NoImage, 0))
        << image.pixelColor(96, 32).name().toStdString();

    const std::string pipeProject = t.Folder() + "pipe.kvpd";
    MakeFifo(pipeProject);
    const ProgramRun open = RunPlateview({"--render", out, QString::fromStdString(pipeProject)});
    ASSERT_TRUE(open.Finished) << "plateview hung on a named pipe as the project";
    EXPECT_EQ(open.Status, 1);
    EXPECT_TRUE(open.Err.contains("is not a Kartivo project file")) << open.Err.data();
}

// Project files are read bounded: a giant one is no project (exit 1, one
// line), and one that starts with a UTF-8 byte-order mark opens.
TEST(HostileProjects, GiantProjectIsRefusedAndByteOrderMarkIsRead)
{
    SyntheticTask t({30, 30, 30, 30, 6, 5});
    t.WriteAllTiles();
    const std::string text = testing::ReadBytes(t.ProjectPath());
    const std::string giant = t.Folder() + "giant.kvpd";
    testing::WriteBytes(giant, text);
    std::filesystem::resize_file(giant, std::uintmax_t(2) << 30); // sparse: costs no disk
    const ProgramRun run = RunPlateview(
        {"--render", QString::fromStdString(t.Folder() + "g.png"), QString::fromStdString(giant)});
    ASSERT_TRUE(run.Finished);
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Err, QByteArray("plateview: " + QByteArray::fromStdString(giant) +
                                  " is not a Kartivo project file (larger than any project file).\n"));

    testing::WriteBytes(t.ProjectPath(), "\xEF\xBB\xBF" + text);
    std::string error;
    EXPECT_TRUE(qt::RenderProjectToFile(RenderCommand(t, t.Folder() + "bom.png", 32, 32), error)) << error;
}

// The picture goes into a pipe as a stream; a pipe nobody reads, a folder,
// or a device that takes no bytes is refused with a message, and never
// replaced by a regular file.
TEST(HostileOutputs, PipesAreWrittenAsStreamsAndNeverReplaced)
{
    SyntheticTask t({40, 40, 40, 40, 6, 5});
    t.WriteAllTiles();
    std::string error;
    const std::string pipe = t.Folder() + "out.pipe";
    MakeFifo(pipe);

    // No reader: refused at once.
    EXPECT_FALSE(qt::RenderProjectToFile(RenderCommand(t, pipe, 32, 32), error));
    EXPECT_EQ(error, "Nobody reads from the named pipe " + pipe + ".");
    EXPECT_TRUE(IsFifo(pipe));

    // A reader: the PNG arrives through the pipe, which stays a pipe.
    const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(qt::RenderProjectToFile(RenderCommand(t, pipe, 32, 32), error)) << error;
    std::string received(1 << 16, '\0');
    const ssize_t n = ::read(reader, received.data(), received.size());
    ::close(reader);
    ASSERT_GT(n, 0);
    received.resize(std::size_t(n));
    QImage image;
    EXPECT_TRUE(image.loadFromData(QByteArray::fromStdString(received), "PNG"));
    EXPECT_EQ(image.size(), QSize(32, 32));
    EXPECT_TRUE(IsFifo(pipe));

    EXPECT_FALSE(qt::RenderProjectToFile(RenderCommand(t, t.Folder(), 32, 32), error));
    EXPECT_NE(error.find("is a folder"), std::string::npos) << error;

    // A device that refuses every byte: the failure is reported, not success.
    if (std::filesystem::is_character_file("/dev/full")) {
        EXPECT_FALSE(WriteOutputFile("/dev/full", "bytes", error));
        EXPECT_NE(error.find("/dev/full"), std::string::npos) << error;
        EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
    }
}

// A scale outside what the view allows is refused with the range, with
// exit status 2, instead of being drawn at another scale.
TEST(HostileCommands, ScaleOutOfRangeIsRefusedNamingTheRange)
{
    SyntheticTask t({50, 50, 50, 50, 7, 5});
    t.WriteAllTiles();
    std::string error;
    ViewerCommand cmd = RenderCommand(t, t.Folder() + "s.png", 240, 240);
    cmd.Scale = 64;
    EXPECT_EQ(qt::RenderProject(cmd, error), qt::RenderOutcome::BadRequest);
    EXPECT_EQ(error,
              "The scale 64 is outside the range this task allows at 240x240 pixels: from 0.235 to 32.");
    // One 256-pixel tile fits 240 pixels at 0.9375; a quarter of that is the least.
    cmd.Scale = 0.01;
    EXPECT_EQ(qt::RenderProject(cmd, error), qt::RenderOutcome::BadRequest);
    cmd.Scale = 0.235;
    EXPECT_EQ(qt::RenderProject(cmd, error), qt::RenderOutcome::Written) << error;
    cmd.Scale = 32;
    EXPECT_EQ(qt::RenderProject(cmd, error), qt::RenderOutcome::Written) << error;

    const ProgramRun run = RunPlateview({"--render", QString::fromStdString(cmd.Output), "--scale", "64",
                                         QString::fromStdString(t.ProjectPath())});
    ASSERT_TRUE(run.Finished);
    EXPECT_EQ(run.Status, 2);
    EXPECT_EQ(run.Err.count('\n'), 1) << run.Err.data();
}

// Without a display the window is not attempted: one line, exit 1.
TEST(HostileCommands, NoDisplayIsOneLineAndExitOne)
{
    using platform::qt::MissingDisplay;
    EXPECT_FALSE(MissingDisplay(nullptr, nullptr, nullptr).empty());
    EXPECT_FALSE(MissingDisplay("", "", "xcb").empty());
    EXPECT_FALSE(MissingDisplay(nullptr, nullptr, "wayland-egl").empty());
    EXPECT_TRUE(MissingDisplay(":0", nullptr, nullptr).empty());
    EXPECT_TRUE(MissingDisplay(nullptr, "wayland-0", "wayland").empty());
    EXPECT_TRUE(MissingDisplay(nullptr, nullptr, "offscreen").empty());
    EXPECT_TRUE(MissingDisplay(nullptr, nullptr, "vnc:port=5900").empty());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    const ProgramRun run = RunPlateview({}, env);
    ASSERT_TRUE(run.Finished);
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Err.toStdString(),
              "plateview: There is no display to show the window on (neither DISPLAY nor "
              "WAYLAND_DISPLAY is set); --render draws a picture without one.\n");
}

} // namespace kartivo::view
