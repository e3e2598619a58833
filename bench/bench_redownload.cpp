// The re-download window over a list of failing tiles: the local test
// server answers each request with a status 500 after a delay, so every tile
// costs time on the run's thread. A probe thread posts an event every 2 ms
// and the main thread notes how late each one runs; the figures are the
// window's worst event latency while the run goes, the run's time, and the
// window's memory against the list's length (resident memory before the
// run, its peak, and the lines the memo holds at the end).
// The server runs in a child process, so what it records of every request
// is not counted in the window's memory.
//
//   QT_QPA_PLATFORM=offscreen build/bin/bench_redownload [tiles] [delay-ms] [memo-lines]
//   (default 200 tiles, 25 ms per request, the window's own memo bound;
//   1000000 0 for the long list)
#include <QApplication>
#include <QLabel>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "bench/LatencyProbe.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestServer.h"
#include "ui/qt/Unitftl.h"

namespace kartivo::bench {

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A field of /proc/self/status in MB ("VmRSS", "VmHWM").
double StatusMb(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == std::string(field) + ":") {
            double kb = 0;
            status >> kb;
            return kb / 1024.0;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

// Starts the test server in a child process; returns its port, or 0. The
// child ends when the pipe to it closes (the bench ends).
int StartServerProcess(int delayMs, pid_t& child)
{
    int portPipe[2], lifePipe[2];
    if (::pipe(portPipe) != 0 || ::pipe(lifePipe) != 0)
        return 0;
    child = ::fork();
    if (child == 0) {
        ::close(portPipe[0]);
        ::close(lifePipe[1]);
        {
            testing::TestServer server;
            server.SetHandler([&](const testing::RecordedRequest&) {
                auto reply = testing::ScriptedReply::Status(500, "Internal Server Error");
                reply.delayMs = delayMs;
                return reply;
            });
            const int port = server.Port();
            if (::write(portPipe[1], &port, sizeof port) != static_cast<ssize_t>(sizeof port))
                std::_Exit(1);
            char c;
            while (::read(lifePipe[0], &c, 1) > 0) {
            }
        }
        std::_Exit(0);
    }
    ::close(portPipe[1]);
    ::close(lifePipe[0]);
    int port = 0;
    if (child < 0 || ::read(portPipe[0], &port, sizeof port) != static_cast<ssize_t>(sizeof port))
        port = 0;
    ::close(portPipe[0]);
    return port; // lifePipe[1] stays open until the bench ends
}

int Run(int argc, char** argv)
{
    const int tiles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const int delayMs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 25;
    pid_t child = -1;
    const int port = StartServerProcess(delayMs, child); // before any thread starts
    if (port == 0) {
        std::fprintf(stderr, "bench_redownload: the test server did not start\n");
        return 1;
    }

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    testing::TempFolder folder;
    platform::SetProgramFolderForTests(folder.Path()); // no settings file: no proxy
    // Tile names of zoom 20 (columns up to 1,048,575), written line by line.
    const std::string listFile = folder.Path() + "bench_failed.ftl";
    {
        std::ofstream list(listFile, std::ios::binary);
        const std::string server = "|http://127.0.0.1:" + std::to_string(port) + "/tiles/";
        for (int i = 0; i < tiles; ++i) {
            const std::string name =
                "mn_" + std::to_string(i % 1048576) + "_" + std::to_string(i / 1048576) + "_20.png";
            list << folder.Path() << name << server << name << "\r\n";
        }
    }

    platform::RecordingDialogs dialogs;
    dialogs.openAnswers.push_back(listFile);
    platform::SetDialogs(&dialogs);

    ui::TfrmFlt window;
    if (argc > 3)
        window.Memo1->SetTail(static_cast<std::size_t>(std::max(1, std::atoi(argv[3]))));
    window.show();
    QApplication::processEvents();
    const double rssBefore = StatusMb("VmRSS");

    LatencyProbe probe;

    const auto start = Clock::now();
    QObject::connect(&window, &ui::TfrmFlt::RunFinished, &app, &QApplication::quit);
    QTimer::singleShot(0, &window, &ui::TfrmFlt::Button1Click);
    app.exec();
    const double runMs = Ms(Clock::now() - start);
    probe.Stop();
    QApplication::processEvents();

    std::printf("bench_redownload: %d failing tiles, %d ms per request, one request per tile\n", tiles,
                delayMs);
    std::printf("  run took %.0f ms, report %zu lines in the memo, last progress \"%s\"\n", runMs,
                window.Memo1Lines.Count(), window.LabelProgress->text().toUtf8().constData());
    std::printf("  worst window event latency during the run: %.2f ms over %ld probes (target < 50 ms)\n",
                probe.WorstMs(), probe.Probes());
    std::printf(
        "  memory: %.1f MB resident before the run, peak %.1f MB (target < 128 MB), %.1f MB at the end\n",
        rssBefore, StatusMb("VmHWM"), StatusMb("VmRSS"));

    platform::SetDialogs(nullptr);
    platform::SetProgramFolderForTests("");
    return 0;
}

} // namespace

} // namespace kartivo::bench

int main(int argc, char** argv)
{
    const int rc = kartivo::bench::Run(argc, argv);
    return rc;
}
