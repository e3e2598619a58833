// The main window's log under load: 8 workers append 1,000,000 lines through
// Synchronize while a timer saves the log the way the progress monitor does.
// Prints the cost of one periodic save at 10k, 100k and 1M lines, the main
// thread's worst event latency during the run, and peak memory against the
// log's bytes. The window's progress count runs as in a download: every line
// is counted and the status bar is updated every second (--no-progress
// leaves it off, for comparison on the same machine).
// The window holds a bounded tail of the log; the file gets every line.
// Run: QT_QPA_PLATFORM=offscreen build/bin/bench_log [--no-progress] [lines]
#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/LatencyProbe.h"
#include "platform/Dialogs.h"
#include "platform/Threads.h"
#include "platform/qt/QtDispatcher.h"
#include "ui/MemoLines.h"
#include "ui/qt/Controls.h"
#include "ui/qt/Unit1.h"

namespace kartivo::bench {

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

long ProcStatusKb(const char* key)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(std::string(key).size()));
    return 0;
}

constexpr int kWorkers = 8;
int g_lines = 1'000'000;
int g_linesPerWorker = g_lines / kWorkers;

std::string WorkerLine(int worker, int seq)
{
    return "T" + std::to_string(worker + 1) + ":seq=" + std::to_string(seq) + ",a_" +
           std::to_string(4149 + seq % 1000) + "_" + std::to_string(5373 + seq / 1000) + "_17.jpeg OK";
}

// A worker that only logs: every line goes through Synchronize, as the
// download worker's AddToLog does.
class LoggingThread : public platform::TThread {
public:
    LoggingThread(int index, download::IWorkerHost& host) : index_(index), host_(host) {}
    ~LoggingThread() override { WaitFor(); }

protected:
    void Execute() override
    {
        for (int i = 0; i < g_linesPerWorker; ++i) {
            const std::string line = WorkerLine(index_, i * kWorkers + index_);
            Synchronize([&] { host_.AddLogLine(line); });
        }
        Synchronize([&] { host_.WorkerDone(); });
    }

private:
    int index_;
    download::IWorkerHost& host_;
};

// One save of `count` lines after `fresh` new ones, as a periodic save sees it.
struct SaveCost {
    double appendMs;
    double wholeMs;
};
SaveCost MeasureSave(std::size_t count, std::size_t fresh, const std::string& path)
{
    ui::LineList lines;
    for (std::size_t i = 0; i < count - fresh; ++i)
        lines.Add(WorkerLine(static_cast<int>(i % kWorkers), static_cast<int>(i)));
    ui::LinesFileSaver saver;
    saver.Save(lines, path);
    for (std::size_t i = count - fresh; i < count; ++i)
        lines.Add(WorkerLine(static_cast<int>(i % kWorkers), static_cast<int>(i)));
    auto t0 = Clock::now();
    saver.Save(lines, path);
    const double append = Ms(Clock::now() - t0);
    ui::LinesFileSaver fresh_saver; // what writing the whole list costs
    t0 = Clock::now();
    fresh_saver.Save(lines, path);
    return {append, Ms(Clock::now() - t0)};
}

int Run(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    bool withProgress = true;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--no-progress")
            withProgress = false;
        else if (std::atoi(argv[i]) >= kWorkers)
            g_lines = std::atoi(argv[i]) / kWorkers * kWorkers;
    }
    g_linesPerWorker = g_lines / kWorkers;
    platform::RecordingDialogs dialogs;
    platform::SetDialogs(&dialogs);
    platform::qt::QtMainDispatcher dispatcher;
    platform::SetMainDispatcher(&dispatcher);
    const std::string dir = std::filesystem::temp_directory_path().string() + "/kartivo_bench_log";
    std::filesystem::create_directories(dir);
    const std::string logFile = dir + "/bench_log.txt";

    auto form = std::make_unique<ui::TForm1>(dispatcher);
    form->show();
    QApplication::processEvents();
    ui::DownloadController& host = form->Controller();
    host.Memo1Lines.Clear();
    std::filesystem::remove(logFile);
    const long baselineKb = ProcStatusKb("VmRSS:");

    // The run: 8 logging workers; a save every second (the monitor saves
    // every fifth second; saving more often only makes the test harder); a
    // probe thread posts an event every 2 ms and the main thread notes how
    // late each one runs.
    ui::LinesFileSaver saver;
    std::vector<double> saveMs;
    std::vector<std::size_t> saveLines;
    QTimer saveTimer;
    saveTimer.setInterval(1000);
    QObject::connect(&saveTimer, &QTimer::timeout, [&] {
        if (withProgress)
            host.UpdateProgress(); // the status bar, as every tick shows it
        const auto t0 = Clock::now();
        saver.Save(host.Memo1Lines, logFile);
        host.Memo1Lines.KeepFrom(saver.LinesWritten()); // as the monitor's save does
        saveMs.push_back(Ms(Clock::now() - t0));
        saveLines.push_back(static_cast<std::size_t>(host.Memo1Lines.Total()));
    });
    saveTimer.start();

    LatencyProbe probe;

    if (withProgress)
        host.Progress.Begin(g_lines, 0);
    host.RunningWorkers = kWorkers;
    const auto start = Clock::now();
    std::vector<std::unique_ptr<LoggingThread>> workers;
    for (int i = 0; i < kWorkers; ++i) {
        workers.push_back(std::make_unique<LoggingThread>(i, host));
        workers.back()->Start();
    }
    QTimer watch;
    watch.setInterval(5);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (host.RunningWorkers == 0)
            app.quit();
    });
    watch.start();
    app.exec();
    const double runMs = Ms(Clock::now() - start);
    probe.Stop();
    workers.clear();
    saver.Save(host.Memo1Lines, logFile);
    QApplication::processEvents();

    const long peakKb = ProcStatusKb("VmHWM:");
    std::uint64_t expectedBytes = 0;
    for (int w = 0; w < kWorkers; ++w)
        for (int i = 0; i < g_linesPerWorker; ++i)
            expectedBytes += WorkerLine(w, i * kWorkers + w).size() + 2;
    const double logMb = static_cast<double>(expectedBytes) / (1 << 20);
    const bool fileExact = std::filesystem::file_size(logFile) == expectedBytes;

    std::printf("bench_log: %d lines from %d workers through Synchronize in %.0f ms (%.0f lines/s)\n",
                g_lines, kWorkers, runMs, g_lines / (runMs / 1000));
    std::printf(
        "  periodic saves during the run: %zu, worst %.2f ms (at %zu lines), last %.2f ms (at %zu lines)\n",
        saveMs.size(), saveMs.empty() ? 0 : *std::max_element(saveMs.begin(), saveMs.end()),
        saveMs.empty() ? 0 : saveLines[std::max_element(saveMs.begin(), saveMs.end()) - saveMs.begin()],
        saveMs.empty() ? 0 : saveMs.back(), saveLines.empty() ? 0 : saveLines.back());
    std::printf("  worst main-thread event latency: %.2f ms (target < 50 ms)\n", probe.WorstMs());
    std::printf("  progress count %s: %lld of %lld lines counted as saved tiles\n",
                withProgress ? "on" : "off", static_cast<long long>(host.Progress.Counts().Saved),
                static_cast<long long>(g_lines));
    std::printf(
        "  log: %.1f MiB on disk (file bytes exact: %s); the window holds %zu lines, its display %d\n", logMb,
        fileExact ? "yes" : "NO", host.Memo1Lines.Count(), form->Memo1->DisplayLimit());
    std::printf("  memory: baseline RSS %.1f MiB, peak %.1f MiB, growth %.1f MiB = %.2fx the log's bytes\n",
                baselineKb / 1024.0, peakKb / 1024.0, (peakKb - baselineKb) / 1024.0,
                (peakKb - baselineKb) / 1024.0 / logMb);

    // One five-second save at a given log length. A busy run adds far fewer
    // than 1,000 lines in five seconds (8 workers, 500 ms after each tile).
    std::printf("  one five-second save of 1,000 new lines:\n");
    for (std::size_t count : {std::size_t{10'000}, std::size_t{100'000}, std::size_t{1'000'000}}) {
        const SaveCost cost = MeasureSave(count, 1000, dir + "/save_" + std::to_string(count) + ".txt");
        std::printf("    at %7zu lines: %.3f ms (writing the whole log instead: %.1f ms)\n", count,
                    cost.appendMs, cost.wholeMs);
    }

    form.reset();
    platform::SetMainDispatcher(nullptr);
    platform::SetDialogs(nullptr);
    std::filesystem::remove_all(dir);
    return 0;
}

} // namespace

} // namespace kartivo::bench

int main(int argc, char** argv) { return kartivo::bench::Run(argc, argv); }
