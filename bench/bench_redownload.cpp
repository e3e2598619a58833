// The re-download window over a list of 200 failing tiles: the local test
// server answers each request with a status 500 after a delay, so every tile
// costs time on the run's thread. A probe thread posts an event every 2 ms
// and the main thread notes how late each one runs; the figure is the
// window's worst event latency while the run goes, next to the run's time.
//
//   QT_QPA_PLATFORM=offscreen build/bin/bench_redownload [tiles] [delay-ms]
//   (default 200 tiles, 25 ms per request)
#include <QApplication>
#include <QLabel>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestServer.h"
#include "ui/Unitftl.h"
#include "bench/LatencyProbe.h"

namespace kartivo::bench {

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

int Run(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int tiles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const int delayMs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 25;

    testing::TempFolder folder;
    platform::SetProgramFolderForTests(folder.Path());   // no settings file: no proxy
    testing::TestServer server;
    server.SetHandler([&](const testing::RecordedRequest&) {
        auto reply = testing::ScriptedReply::Status(500, "Internal Server Error");
        reply.delayMs = delayMs;
        return reply;
    });
    std::string list;
    for (int i = 0; i < tiles; ++i) {
        const std::string name = "t" + std::to_string(i) + ".png";
        list += folder.Path() + name + "|http://127.0.0.1:" + std::to_string(server.Port()) + "/" + name + "\r\n";
    }
    const std::string listFile = folder.Path() + "bench_failed.ftl";
    testing::WriteBytes(listFile, list);

    platform::RecordingDialogs dialogs;
    dialogs.openAnswers.push_back(listFile);
    platform::SetDialogs(&dialogs);

    ui::TfrmFlt window;
    window.show();
    QApplication::processEvents();

    LatencyProbe probe;

    const auto start = Clock::now();
    QObject::connect(&window, &ui::TfrmFlt::RunFinished, &app, &QApplication::quit);
    QTimer::singleShot(0, &window, &ui::TfrmFlt::Button1Click);
    app.exec();
    const double runMs = Ms(Clock::now() - start);
    probe.Stop();
    QApplication::processEvents();

    std::printf("bench_redownload: %d failing tiles, %d ms per request, one request per tile\n", tiles, delayMs);
    std::printf("  run took %.0f ms (%zu requests), report %zu lines, last progress \"%s\"\n", runMs,
                server.RequestCount(), window.Memo1Lines.Count(), window.LabelProgress->text().toUtf8().constData());
    std::printf("  worst window event latency during the run: %.2f ms over %ld probes (target < 50 ms)\n",
                probe.WorstMs(), probe.Probes());

    platform::SetDialogs(nullptr);
    platform::SetProgramFolderForTests("");
    return 0;
}

} // namespace

} // namespace kartivo::bench

int main(int argc, char** argv)
{
    return kartivo::bench::Run(argc, argv);
}
