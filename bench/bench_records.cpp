// The task's records: what one periodic save costs (file operations,
// fsyncs, time) with the positions written key by key as replacements of
// the project file against all in one replacement; continuing a task whose
// log has many lines (the longest main-thread call of Start and the ticks
// up to the end, peak memory); and opening a project file far larger than
// any real one.
// Run: build/bin/bench_records [log-lines]      (default 10,000,000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "bench/BenchTask.h"
#include "bench/PeakMemory.h"
#include "platform/Dialogs.h"
#include "platform/FileOps.h"
#include "platform/Files.h"
#include "platform/Formats.h"
#include "platform/IniFile.h"
#include "platform/Threads.h"
#include "task/ProjectFile.h"
#include "task/SavedProject.h"
#include "tests/support/TaskShapes.h"
#include "ui/DownloadController.h"

namespace kartivo::bench {

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct SaveFigures {
    long long operations = 0;
    long long fsyncs = 0;
    double ms = 0;
};

template <typename Save> SaveFigures Measure(Save&& save, int rounds)
{
    SaveFigures f;
    platform::fileops::StartCounting();
    const auto t0 = Clock::now();
    for (int i = 0; i < rounds; ++i)
        save(i);
    f.ms = Ms(Clock::now() - t0) / rounds;
    f.operations = platform::fileops::OperationCount() / rounds;
    f.fsyncs = platform::fileops::FsyncCount() / rounds;
    platform::fileops::StopCounting();
    return f;
}

void SaveCost(const std::string& dir)
{
    task::TaskParameters params;
    params.SavePath = dir + "/";
    params.TaskName = "save.kvpd";
    params.MapsType = 6;
    testing::SetAreaOfTiles(params, 1000, 1999, 2000, 2999, 12);
    auto task = CreateTaskFilesOrExit(params);
    const std::string project = task->ProjectFile();
    constexpr int kRounds = 20;

    // Eight workers' column and row written key by key, each key a
    // replacement of the file (as saves were made before).
    const SaveFigures keyByKey = Measure(
        [&](int round) {
            platform::TIniFile ini(project);
            for (int slot = 1; slot <= task::kThreadSlots; ++slot) {
                ini.WriteInteger("THREADS", "T" + std::to_string(slot) + "X", 1000 + round);
                ini.WriteInteger("THREADS", "T" + std::to_string(slot) + "Y", 2000 + round);
            }
        },
        kRounds);
    const SaveFigures oneReplacement = Measure(
        [&](int round) {
            std::array<std::optional<task::ProjectIni::Position>, task::kThreadSlots> positions;
            for (auto& p : positions)
                p = task::ProjectIni::Position{1100 + round, 2100 + round};
            task::ProjectIni::SavePositions(project, positions);
        },
        kRounds);
    std::printf("one save of 8 workers' positions (mean of %d):\n", kRounds);
    std::printf("  key by key:      %3lld file operations, %2lld fsyncs, %7.2f ms\n", keyByKey.operations,
                keyByKey.fsyncs, keyByKey.ms);
    std::printf("  one replacement: %3lld file operations, %2lld fsyncs, %7.2f ms\n",
                oneReplacement.operations, oneReplacement.fsyncs, oneReplacement.ms);
}

class NullView : public ui::IDownloadView {
public:
    void ShowButtonCaption(const std::string&) override {}
    void ShowTotal(const std::string&) override {}
    void SetTimerEnabled(bool) override {}
    void MemosChanged() override {}
    void ShowProgress(int, const std::string&, const std::string&) override {}
    void ShowSummary(int, const std::string&) override {}
};

void ContinueLongLog(const std::string& dir, long long logLines)
{
    // A task of 100 tiles every worker has finished: Start continues it, the
    // workers skip their shares, and the task ends at once; the figures are
    // those of the records alone.
    task::TaskParameters params;
    params.SavePath = dir + "/";
    params.TaskName = "long.kvpd";
    params.MapsType = 6;
    testing::SetAreaOfTiles(params, 1000, 1009, 2000, 2009, 12);
    auto task = CreateTaskFilesOrExit(params);
    task->WriteTileList();
    task->WriteLogHeader();
    std::array<std::optional<task::ProjectIni::Position>, task::kThreadSlots> done;
    for (auto& p : done)
        p = task::ProjectIni::Position{task->Xmax, task->Ymax};
    task::ProjectIni::SavePositions(task->ProjectFile(), done);
    {
        std::ofstream log(task->LogFile, std::ios::binary | std::ios::app);
        std::string chunk;
        for (long long i = 0; i < logLines; ++i) {
            chunk +=
                "T" + std::to_string(i % 8 + 1) + ":seq=" + std::to_string(i) + ",a_1000_2000_12.jpeg OK\r\n";
            if (chunk.size() > (1 << 20)) {
                log << chunk;
                chunk.clear();
            }
        }
        log << chunk;
    }
    // A real long log has long been on disk: what Start flushes is its own.
    ::sync();
    const double logMb = static_cast<double>(std::filesystem::file_size(task->LogFile)) / (1 << 20);
    const double baseMb = PeakRssMb();

    platform::RecordingDialogs dialogs;
    platform::SetDialogs(&dialogs);
    platform::QueueDispatcher queue;
    platform::SetMainDispatcher(&queue);
    platform::SetSleepHook([](int) {});
    NullView view;
    double worstMs = 0, startMs = 0;
    {
        ui::DownloadController controller(view);
        controller.IniFileName = dir + "/none.ini";
        ui::StartInput input;
        input.LeftLongitude = platform::FormatG(params.LeftLongitude);
        input.RightLongitude = platform::FormatG(params.RightLongitude);
        input.TopLatitude = platform::FormatG(params.TopLatitude);
        input.BottomLatitude = platform::FormatG(params.BottomLatitude);
        input.Zoom = std::to_string(params.Zoom);
        input.SavePath = dir;
        input.TaskName = params.TaskName;
        input.MapsTypeIndex = 1;
        auto t0 = Clock::now();
        controller.Start(input);
        startMs = Ms(Clock::now() - t0);
        worstMs = startMs;
        while (controller.ButtonCaption() == ui::kCaptionStop) {
            queue.PumpUntil([&] { return controller.RunningWorkers == 0; }, std::chrono::milliseconds(5));
            t0 = Clock::now();
            controller.Tick();
            worstMs = std::max(worstMs, Ms(Clock::now() - t0));
        }
        std::printf("continue of a task whose log has %lld lines (%.0f MiB):\n", logLines, logMb);
        std::printf("  Start %.1f ms, longest main-thread call %.1f ms (target < 100 ms)\n", startMs,
                    worstMs);
        std::printf(
            "  log window holds %zu lines; peak memory %.1f MiB (%.1f MiB before Start; target < 128)\n",
            controller.Memo1Lines.Count(), PeakRssMb(), baseMb);
        if (!dialogs.errors.empty())
            std::printf("  error: %s\n", dialogs.errors.front().c_str());
    }
    platform::SetSleepHook({});
    platform::SetMainDispatcher(nullptr);
    platform::SetDialogs(nullptr);
}

void OpenHugeProject(const std::string& dir)
{
    const std::string path = dir + "/huge.kvpd";
    {
        std::ofstream out(path, std::ios::binary);
        out << "[AREA]\r\nLeftLongitude=1\r\nRightLongitude=2\r\nTopLatitude=3\r\nBottomLatitude=2\r\n";
        const std::string filler(1 << 20, ';');
        for (int i = 0; i < 100; ++i)
            out << filler;
    }
    auto t0 = Clock::now();
    std::string error;
    const bool opened = task::SavedProject::Open(path, error) != nullptr;
    const double ms = Ms(Clock::now() - t0);
    std::printf("opening a 100 MB project file: %s in %.2f ms (target < 1 s): %s\n",
                opened ? "opened" : "refused", ms, error.c_str());
}

} // namespace

int Run(int argc, char** argv)
{
    const long long logLines = argc > 1 ? std::atoll(argv[1]) : 10'000'000;
    const std::string dir = std::filesystem::temp_directory_path().string() + "/kartivo_bench_records";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    SaveCost(dir);
    OpenHugeProject(dir);
    ContinueLongLog(dir, logLines);
    std::filesystem::remove_all(dir);
    return 0;
}

} // namespace kartivo::bench

int main(int argc, char** argv) { return kartivo::bench::Run(argc, argv); }
