// Download worker benchmark. Eight workers with the program's real pacing
// fetch an 800-tile task from the local test server (as their proxy), with
// the main window's progress count fed from their tile outcomes and its status texts
// made every second: achieved tiles per second against the pacing bound
// (8 workers x 2 tiles a second), CPU time per tile, resident memory while
// the task runs, and the progress count checked against the tiles saved. Then a
// 1,000,000-tile continued task whose shares are all skipped by the resume:
// the time the workers take to walk the scan.
//
//   build/bin/bench_worker [tiles]      (default 800)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "download/Unit3.h"
#include "platform/Files.h"
#include "platform/Threads.h"
#include "task/Unitclasstask.h"
#include "tests/support/TaskShapes.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestServer.h"
#include "ui/DownloadProgress.h"

namespace kartivo::bench {

namespace {

using Clock = std::chrono::steady_clock;

class CountingHost : public download::IWorkerHost {
public:
    void AddLogLine(const std::string& line) override
    {
        ++lines;
        if (line.size() > 3 && line.compare(line.size() - 3, 3, " OK") == 0)
            ++saved;
    }
    void AddFailedLine(const std::string& /*line*/) override { ++failed; }
    void TileEnded(const download::TileReport& report) override
    {
        progress.OnTileEnded(report); // as the main window counts
    }
    void WorkerDone() override { ++done; }
    long lines = 0, saved = 0, failed = 0;
    int done = 0;
    ui::DownloadProgress progress;
};

double CpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long PeakRssKb()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

long CurrentRssKb()
{
    std::ifstream in("/proc/self/statm");
    long size = 0, resident = 0;
    in >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Runs ThreadCount workers to their end, pumping the main-thread queue.
// `sample` is called from the pumping thread about every 100 ms.
double RunTask(const task::KvTask& task, CountingHost& host, platform::QueueDispatcher& dispatcher,
               const std::function<void()>& sample = {})
{
    const auto start = Clock::now();
    std::vector<std::unique_ptr<download::TDownThread>> workers;
    for (int i = 0; i < task.Params.ThreadCount; ++i)
        workers.push_back(std::make_unique<download::TDownThread>(false, i, task, host));
    auto lastSample = start;
    dispatcher.PumpUntil(
        [&] {
            if (sample && Clock::now() - lastSample >= std::chrono::milliseconds(100)) {
                lastSample = Clock::now();
                sample();
            }
            return host.done == task.Params.ThreadCount;
        },
        std::chrono::hours(1));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    workers.clear();
    return seconds;
}

int Run(int argc, char** argv)
{
    const int tiles = argc > 1 ? std::max(8, std::atoi(argv[1])) : 800;
    testing::TempFolder folder;
    platform::SetProgramFolderForTests(folder.Path());

    testing::TestServer server;
    const std::string body(15000, 'j'); // about the size of an aerial tile
    server.SetHandler(
        [&](const testing::RecordedRequest&) { return testing::ScriptedReply::Ok(body, "image/jpeg"); });

    platform::QueueDispatcher dispatcher;
    platform::SetMainDispatcher(&dispatcher);

    // ---- Part 1: real pacing, eight workers.
    {
        task::TaskParameters params =
            testing::ProxiedTaskParams(folder.Path(), "bench.kvpd", 6, server.Port());
        auto task = task::KvTask::Create(params).Task;
        if (!task) {
            std::fprintf(stderr, "cannot create the task\n");
            return 1;
        }
        const int rows = 100;
        testing::SetTileRange(*task, 4000, 4000 + (tiles + rows - 1) / rows - 1, 5000, 5000 + rows - 1);
        task->Params.ThreadCount = 8;

        CountingHost host;
        host.progress.Begin(*task);
        std::vector<std::pair<long, long>> rss; // (tiles saved, RSS kB)
        std::string status;
        int samples = 0;
        const long rssBefore = CurrentRssKb();
        const double cpu0 = CpuSeconds();
        const double seconds = RunTask(*task, host, dispatcher, [&] {
            rss.emplace_back(host.saved, CurrentRssKb());
            if (++samples % 10 == 0) { // the window's one-second tick
                host.progress.Sample();
                status = host.progress.StatusText() + " | " + host.progress.CountsText();
            }
        });
        const double cpu = CpuSeconds() - cpu0;
        const double rate = host.saved / seconds;
        const double bound = 8 * 2.0;
        std::printf("worker pacing: %d tiles, 8 workers, real pauses\n", task->TileCount);
        std::printf("  saved %ld tiles, %ld failed, in %.2f s\n", host.saved, host.failed, seconds);
        std::printf("  achieved %.2f tiles/s, bound %.0f tiles/s, ratio %.3f (target >= 0.97)\n", rate, bound,
                    rate / bound);
        std::printf("  CPU time %.3f s in all, %.1f us per tile (workers, server and pump)\n", cpu,
                    cpu * 1e6 / std::max(1L, host.saved));
        std::printf("  RSS before %ld kB", rssBefore);
        if (!rss.empty()) {
            const auto q = [&](double f) {
                return rss[std::min(rss.size() - 1, static_cast<size_t>(f * rss.size()))];
            };
            for (double f : {0.25, 0.5, 0.75})
                std::printf(", at %ld tiles %ld kB", q(f).first, q(f).second);
        }
        std::printf(", after %ld kB, peak %ld kB\n", CurrentRssKb(), PeakRssKb());
        std::printf("  progress count: %lld done of %lld (%s the tiles saved); last status: %s\n",
                    static_cast<long long>(host.progress.Done()),
                    static_cast<long long>(host.progress.Total()),
                    host.progress.Done() == host.saved ? "equal to" : "NOT equal to", status.c_str());
        std::printf("  %s\n", host.progress.Summary().c_str());
    }

    // ---- Part 2: a continued 1,000,000-tile task, every share skipped.
    {
        platform::SetSleepHook([](int) {}); // the stagger is not what is measured
        task::TaskParameters params =
            testing::ProxiedTaskParams(folder.Path(), "bench.kvpd", 6, server.Port());
        params.ContinueTask = true;
        auto task = task::KvTask::Create(params).Task;
        if (!task)
            return 1;
        testing::SetTileRange(*task, 1000, 1999, 3000, 3999); // 1,000,000 tiles
        task->Params.ThreadCount = 8;
        for (int i = 0; i < 8; ++i) {
            task->ResumeX[i] = task->Xmax;
            task->ResumeY[i] = task->Ymax;
        }
        CountingHost host;
        const std::size_t requestsBefore = server.RequestCount();
        const long rssBefore = CurrentRssKb();
        const double cpu0 = CpuSeconds();
        const double seconds = RunTask(*task, host, dispatcher);
        const double cpu = CpuSeconds() - cpu0;
        std::printf("resume walk: %d tiles, 8 workers, all skipped\n", task->TileCount);
        std::printf(
            "  all workers finished in %.3f s (%.1f ns per tile per worker), CPU %.3f s, "
            "%zu requests\n",
            seconds, seconds * 1e9 / task->TileCount, cpu, server.RequestCount() - requestsBefore);
        std::printf("  RSS before %ld kB, after %ld kB\n", rssBefore, CurrentRssKb());
        platform::SetSleepHook(nullptr);
    }
    platform::SetMainDispatcher(nullptr);
    platform::SetProgramFolderForTests("");
    return 0;
}

} // namespace

} // namespace kartivo::bench

int main(int argc, char** argv) { return kartivo::bench::Run(argc, argv); }
