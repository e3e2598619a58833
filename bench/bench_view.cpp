// The map viewer on a 1,000,000-tile project (or N x N tiles for a first
// argument N): time from opening the project to the first complete frame of
// the whole task at 1920 x 1080, in-process and as `plateview --render`;
// frame times while panning with a warm cache at three scales; peak memory.
// The synthetic task's tiles are 16 distinct JPEG files hard-linked into
// place, made once under /tmp/kartivo_bench_view (or the second argument).
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "bench/PeakMemory.h"
#include "bench/BenchTask.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "task/SavedProject.h"
#include "task/Unitclasstask.h"
#include "view/qt/MapRenderer.h"

namespace kartivo::bench {

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Makes (once) a project of side x side tiles at zoom 14, aerial.
std::string MakeProject(const std::string& folder, int side) {
    const std::string name = "bench" + std::to_string(side) + ".kvpd";
    const std::string done = folder + name + ".complete";
    task::TaskParameters params;
    params.SavePath = folder;
    params.TaskName = name;
    params.MapsType = 6;
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
        p.drawText(20, 40, QString("source %1").arg(i));
        p.end();
        sources.push_back(folder + "source" + std::to_string(i) + ".jpg");
        image.save(QString::fromStdString(sources.back()), "JPG", 85);
    }
    std::printf("making %d tiles (hard links) in %s ...\n", side * side, task->TileFolder.c_str());
    std::fflush(stdout);
    const auto t0 = Clock::now();
    for (int x = task->Xmin; x <= task->Xmax; ++x)
        for (int y = task->Ymin; y <= task->Ymax; ++y) {
            const std::string path = task->GetTileFilePath(x, y);
            const std::string& src = sources[((x / 7) + (y / 5)) % 16];
            if (::link(src.c_str(), path.c_str()) != 0 && errno != EEXIST) {
                std::perror(path.c_str());
                std::exit(1);
            }
        }
    std::ofstream(done) << "ok\n";
    std::printf("  made in %.1f s\n", Ms(Clock::now() - t0) / 1000);
    return folder + name;
}

struct Stats {
    double p50, p95, max;
};
Stats Summarise(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 95 / 100)], v.back()};
}

// Pans along a fixed path twice: the first pass fills the cache, the
// second is timed frame by frame.
Stats PanFrames(view::qt::MapRenderer& r, double scale, int frames) {
    view::Viewport v(1920, 1080);
    v.Fit(r.Grid());
    v.SetScale(scale, r.Grid());
    const view::MapPoint start = v.Center();
    QImage frame(1920, 1080, QImage::Format_RGB32);
    const view::Overlays overlays;
    std::vector<double> times;
    for (int pass = 0; pass < 2; ++pass) {
        v.SetCenter(start);
        for (int i = 0; i < frames; ++i) {
            v.Pan(i < frames / 2 ? -23 : 23, -9);
            const auto t0 = Clock::now();
            QPainter painter(&frame);
            const bool complete = r.Paint(painter, v, overlays);
            painter.end();
            const double ms = Ms(Clock::now() - t0);
            if (pass == 1)
                times.push_back(ms);
            if (!complete) {
                r.WaitForLoads();
                if (pass == 1)
                    std::printf("  (frame %d at scale %g was not complete with a warm cache)\n", i, scale);
            }
        }
    }
    return Summarise(times);
}

int Run(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    const int side = argc > 1 ? std::atoi(argv[1]) : 1000;
    const std::string folder = platform::IncludeTrailingPathDelimiter(
        argc > 2 ? argv[2] : "/tmp/kartivo_bench_view");
    const std::string project = MakeProject(folder, side);
    std::printf("project %s: %d x %d = %lld tiles\n", project.c_str(), side, side,
                static_cast<long long>(side) * side);

    // 1. Open to the first complete frame of the whole task, in-process.
    const auto t0 = Clock::now();
    std::string error;
    auto saved = task::SavedProject::Open(project, error);
    if (!saved) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const auto tOpen = Clock::now();
    view::qt::MapRenderer renderer(*saved);
    view::Viewport fit(1920, 1080);
    fit.Fit(renderer.Grid());
    const QImage first = renderer.Render(fit, view::Overlays());
    const auto tFrame = Clock::now();
    std::printf("open project                       %8.1f ms\n", Ms(tOpen - t0));
    std::printf("first complete frame (whole task)  %8.1f ms  (target < 1000; level %d)\n",
                Ms(tFrame - t0), fit.Level(renderer.Grid()));

    // The same through the program, process start included.
    const QString plateview = QString::fromStdString(platform::ProgramFolder() + "plateview");
    if (platform::FileExists(plateview.toStdString())) {
        const auto p0 = Clock::now();
        QProcess proc;
        proc.start(plateview, {"--render", QString::fromStdString(folder + "bench_render.png"), "--size",
                               "1920x1080", QString::fromStdString(project)});
        proc.waitForFinished(120000);
        std::printf("plateview --render 1920x1080       %8.1f ms  (exit %d)\n", Ms(Clock::now() - p0),
                    proc.exitCode());
    }

    // 2. Panning with a warm cache.
    for (double scale : {1.0, 0.7, 0.3}) {
        const Stats s = PanFrames(renderer, scale, 240);
        std::printf("pan frame at scale %-4g p50 %6.2f ms  p95 %6.2f ms  max %6.2f ms  (target p95 < 16)\n",
                    scale, s.p50, s.p95, s.max);
    }

    // 3. Memory.
    std::printf("cache                              %8.1f MB (bound %zu MB)\n",
                renderer.CacheBytes() / 1048576.0, view::qt::MapRenderer::kDefaultCacheBytes >> 20);
    std::printf("peak resident memory               %8.1f MB  (target < 512)\n", PeakRssMb());
    return 0;
}

} // namespace

} // namespace kartivo::bench

int main(int argc, char** argv) {
    return kartivo::bench::Run(argc, argv);
}
