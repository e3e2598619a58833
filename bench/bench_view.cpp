// The map viewer on a 1,000,000-tile project (or N x N tiles for a first
// argument N), JPEG (aerial) or PNG (road) tiles: what users wait for at
// 1920 x 1080. The whole task's first frame with the overviews still to be
// built and once they are kept, in-process and as `plateview --render`; a
// sharp frame after each zoom step through the slow middle scales (1/16 to
// 1/128); pan frames that include waiting for tiles, cold and warm; peak
// memory. Tiles are copies of 16 pictures, one file each (so each is read
// from disk on its own), made once under /tmp/kartivo_bench_view (or the
// second argument); before each cold measure they are dropped from the page
// cache. Usage: bench_view [side] [folder] [jpg|png] [kept]; "kept" starts
// from the overviews an earlier run left in the folder and skips building
// them from cold tiles, the longest part at 1,000,000 tiles.
#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/BenchTask.h"
#include "bench/PeakMemory.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "task/SavedProject.h"
#include "task/Unitclasstask.h"
#include "view/qt/MapRenderer.h"

namespace kartivo::bench {

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Makes (once) a project of side x side tiles at zoom 14, aerial (JPEG) or
// road (PNG), each tile a file of its own.
std::string MakeProject(const std::string& folder, int side, bool png)
{
    const std::string name = std::string("bench") + (png ? "png" : "jpg") + std::to_string(side) + ".kvpd";
    const std::string done = folder + name + ".complete";
    task::TaskParameters params;
    params.SavePath = folder;
    params.TaskName = name;
    params.MapsType = png ? 5 : 6;
    testing::SetAreaOfTiles(params, 8000, 8000 + side - 1, 9000, 9000 + side - 1, 14);
    if (platform::FileExists(done))
        return folder + name;
    std::filesystem::create_directories(folder);
    auto task = CreateTaskFilesOrExit(params);
    std::vector<std::string> sources;
    for (int i = 0; i < 16; ++i) {
        QImage image(256, 256, QImage::Format_RGB32);
        image.fill(QColor::fromHsv(i * 22, 200, 60 + (i % 4) * 50));
        QPainter p(&image);
        // Some detail, so the files are the size of real tiles.
        for (int k = 0; k < 60; ++k)
            p.drawLine((k * 37) % 256, (k * 91) % 256, (k * 53) % 256, (k * 17) % 256);
        p.drawText(20, 40, QString("source %1").arg(i));
        p.end();
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, png ? "PNG" : "JPG", 85);
        sources.push_back(bytes.toStdString());
    }
    std::printf("making %d tiles (one file each) in %s ...\n", side * side, task->TileFolder.c_str());
    std::fflush(stdout);
    const auto t0 = Clock::now();
    for (int x = task->Xmin; x <= task->Xmax; ++x)
        for (int y = task->Ymin; y <= task->Ymax; ++y) {
            const std::string& src = sources[((x / 7) + (y / 5)) % 16];
            std::ofstream(task->GetTileFilePath(x, y), std::ios::binary)
                .write(src.data(), std::streamsize(src.size()));
        }
    std::ofstream(done) << "ok\n";
    std::printf("  made in %.1f s\n", Ms(Clock::now() - t0) / 1000);
    return folder + name;
}

// Drops every tile (and every kept overview) from the page cache, so the
// next measure reads them from disk as after a reboot.
void Evict(const task::KvTask& task, const std::string& cache)
{
    auto drop = [](const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            ::close(fd);
        }
    };
    ::sync(); // dirty pages cannot be dropped
    for (int x = task.Xmin; x <= task.Xmax; ++x)
        for (int y = task.Ymin; y <= task.Ymax; ++y)
            drop(task.GetTileFilePath(x, y));
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(cache, ec))
        if (e.is_regular_file())
            drop(e.path().string());
}

struct Stats {
    double p50, p95, max;
};
Stats Summarise(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 95 / 100)], v.back()};
}

// Wakes the pan loop when the loader or the pyramid has something new, as
// the window is woken to repaint.
struct Arrivals {
    std::mutex mutex;
    std::condition_variable cv;
    bool arrived = false;

    void Notify()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            arrived = true;
        }
        cv.notify_all();
    }
    // Waits for the next arrival (at most `limit`); false on time-out.
    bool Wait(std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex);
        const bool got = cv.wait_for(lock, limit, [this] { return arrived; });
        arrived = false;
        return got;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        arrived = false;
    }
};

struct PanFigures {
    Stats Sharp;        // from the drag step until every image in sight is drawn
    Stats Paint;        // the first paint of each step: what the window's thread spends
    double Placeholder; // share of steps whose first paint lacked an image
};

// Pans along a fixed path twice as a drag does: one step every 1/60 s, the
// loader working between steps as it does behind the window. A step counts
// from its input until the view is drawn with every image in sight:
// repainted each time images arrive, as the window repaints, so waiting for
// tiles is in the figure. A step whose images were all at hand counts its
// paint alone. The first pass starts cold, the second reuses what the first
// loaded.
std::pair<PanFigures, PanFigures> PanFrames(view::qt::MapRenderer& r, Arrivals& arrivals, double scale,
                                            int frames)
{
    view::Viewport v(1920, 1080);
    v.Fit(r.Grid());
    v.SetScale(scale, r.Grid());
    const view::MapPoint start = v.Center();
    QImage frame(1920, 1080, QImage::Format_RGB32);
    const view::Overlays overlays;
    PanFigures figures[2];
    const auto step = std::chrono::microseconds(16667);
    for (int pass = 0; pass < 2; ++pass) {
        v.SetCenter(start);
        std::vector<double> sharp, paint;
        int placeholders = 0;
        auto next = Clock::now();
        for (int i = 0; i < frames; ++i) {
            // The next drag event: not before its time, at once when late.
            next += step;
            std::this_thread::sleep_until(next);
            v.Pan(i < frames / 2 ? -23 : 23, -9);
            const auto t0 = Clock::now();
            for (int round = 0;; ++round) {
                arrivals.Clear();
                r.Absorb();
                const auto p0 = Clock::now();
                QPainter painter(&frame);
                r.Paint(painter, v, overlays);
                painter.end();
                // An overview being built is measured by the zoom steps:
                // its kept image or a sampled stand-in counts as at hand.
                const bool complete = r.AllImagesAtHand();
                if (round == 0) {
                    paint.push_back(Ms(Clock::now() - p0));
                    placeholders += complete ? 0 : 1;
                }
                if (complete || !arrivals.Wait(std::chrono::seconds(10)))
                    break;
            }
            sharp.push_back(Ms(Clock::now() - t0));
            next = std::max(next, Clock::now() - step);
        }
        figures[pass] = {Summarise(sharp), Summarise(paint), 100.0 * placeholders / frames};
    }
    return {figures[0], figures[1]};
}

double RenderMs(view::qt::MapRenderer& r, const view::Viewport& v)
{
    const auto t0 = Clock::now();
    r.Render(v, view::Overlays());
    return Ms(Clock::now() - t0);
}

int Run(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    const int side = argc > 1 ? std::atoi(argv[1]) : 1000;
    const std::string folder =
        platform::IncludeTrailingPathDelimiter(argc > 2 ? argv[2] : "/tmp/kartivo_bench_view");
    const bool png = argc > 3 && std::string(argv[3]) == "png";
    const bool kept = argc > 4 && std::string(argv[4]) == "kept";
    // Each figure as soon as it is known, also into a file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string project = MakeProject(folder, side, png);
    // The kept overviews go to a folder of the benchmark's own, emptied first
    // unless asked to keep them.
    const std::string cache = folder + "cache";
    if (!kept)
        std::filesystem::remove_all(cache);
    setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    std::printf("project %s: %d x %d = %lld %s tiles\n", project.c_str(), side, side,
                static_cast<long long>(side) * side, png ? "PNG" : "JPEG");

    std::string error;
    auto saved = task::SavedProject::Open(project, error);
    if (!saved) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const task::KvTask& task = saved->Task();

    // 1. The whole task: overviews built from cold tiles, then kept.
    Evict(task, cache);
    if (!kept) {
        view::qt::MapRenderer renderer(*saved);
        view::Viewport fit(1920, 1080);
        fit.Fit(renderer.Grid());
        std::printf("first frame, overviews built (cold) %8.1f ms  (level %d)\n", RenderMs(renderer, fit),
                    fit.Level(renderer.Grid()));
    }
    Evict(task, cache);
    view::qt::MapRenderer renderer(*saved);
    view::Viewport fit(1920, 1080);
    fit.Fit(renderer.Grid());
    std::printf("first frame, overviews kept (cold)  %8.1f ms  (target < 1000)\n", RenderMs(renderer, fit));

    // The window's case: a new session draws the kept images at once and
    // checks them against the tiles behind the frame.
    Evict(task, cache);
    {
        view::qt::MapRenderer window(*saved);
        const auto w0 = Clock::now();
        QImage frame(1920, 1080, QImage::Format_RGB32);
        for (int round = 0; round < 100; ++round) {
            QPainter painter(&frame);
            window.Paint(painter, fit, view::Overlays());
            painter.end();
            if (window.AllImagesAtHand())
                break;
            window.WaitForLoads();
        }
        std::printf("window's first full frame, kept     %8.1f ms  (target < 1000; checked behind it)\n",
                    Ms(Clock::now() - w0));
    }

    const QString plateview = QString::fromStdString(platform::ProgramFolder() + "plateview");
    if (platform::FileExists(plateview.toStdString())) {
        Evict(task, cache);
        const auto p0 = Clock::now();
        QProcess proc;
        proc.start(plateview, {"--render", QString::fromStdString(folder + "bench_render.png"), "--size",
                               "1920x1080", QString::fromStdString(project)});
        proc.waitForFinished(600000);
        std::printf("plateview --render 1920x1080 (cold) %8.1f ms  (exit %d)\n", Ms(Clock::now() - p0),
                    proc.exitCode());
    }

    // 2. Zoom steps through the middle scales about the centre, each until sharp.
    Evict(task, cache);
    for (double scale : {1.0 / 16, 1.0 / 32, 1.0 / 64, 1.0 / 128}) {
        view::Viewport v = fit;
        v.SetScale(scale, renderer.Grid());
        std::printf("sharp after zoom to 1/%-4g (cold)    %8.1f ms  (target < 2000)\n", 1 / scale,
                    RenderMs(renderer, v));
    }

    // 3. Panning at 60 steps a second, waiting for tiles included.
    Arrivals arrivals;
    renderer.SetOnTilesReady([&arrivals] { arrivals.Notify(); });
    for (double scale : {1.0, 0.3, 1.0 / 32}) {
        Evict(task, cache);
        const auto [cold, warm] = PanFrames(renderer, arrivals, scale, 240);
        std::printf(
            "pan at scale %-7g until sharp: cold p50 %6.2f p95 %7.2f max %7.2f | warm p50 %6.2f p95 %6.2f"
            " ms  (target p95 < 16)\n",
            scale, cold.Sharp.p50, cold.Sharp.p95, cold.Sharp.max, warm.Sharp.p50, warm.Sharp.p95);
        std::printf(
            "             %-7s paint only: cold p95 %6.2f max %6.2f, %4.1f %% of steps drew a placeholder"
            " | warm p95 %6.2f, %4.1f %%\n",
            "", cold.Paint.p95, cold.Paint.max, cold.Placeholder, warm.Paint.p95, warm.Placeholder);
    }

    // 4. Memory.
    std::printf("cache                              %8.1f MB (bound %zu MB)\n",
                renderer.CacheBytes() / 1048576.0, view::qt::MapRenderer::kDefaultCacheBytes >> 20);
    std::printf("peak resident memory               %8.1f MB  (target < 512)\n", PeakRssMb());
    return 0;
}

} // namespace

} // namespace kartivo::bench

int main(int argc, char** argv) { return kartivo::bench::Run(argc, argv); }
