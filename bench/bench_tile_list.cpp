// Writes the tile list of a zoom-20 task of about a million tiles (or of
// the count given as the first argument, in as many columns as the second
// argument says) and compares it with writing the
// same number of bytes in one plain write. Prints time, throughput and the
// peak resident memory of the streamed list.
#include "platform/Dialogs.h"
#include "task/Unitclasstask.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "bench/PeakMemory.h"
#include "tests/support/TaskShapes.h"

namespace kartivo::bench {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double PlainWrite(const std::string& path, const std::string& bytes)
{
    auto start = Clock::now();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        std::perror("open");
        std::exit(1);
    }
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n <= 0) {
            std::perror("write");
            std::exit(1);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ::close(fd);
    return Seconds(Clock::now() - start);
}

int Run(int argc, char** argv)
{
    const long long wanted = argc > 1 ? std::atoll(argv[1]) : 1000000;
    // Square by default; a second argument gives the number of columns
    // (1 column of a million rows is the largest row-edge table there is).
    const int side = std::max(1, static_cast<int>(std::lround(std::sqrt(static_cast<double>(wanted)))));
    const int columns = argc > 2 ? std::max(1, std::atoi(argv[2])) : side;
    const int rows = static_cast<int>(std::max<long long>(1, wanted / columns));
    const int zoom = 20, x0 = 540000, y0 = rows > 500000 ? 20000 : 690000;
    const int runs = 3;

    char folder[] = "/tmp/kartivo_bench_XXXXXX";
    if (!::mkdtemp(folder)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = std::string(folder) + "/";

    task::TaskParameters params;
    testing::SetAreaOfTiles(params, x0, x0 + columns - 1, y0, y0 + rows - 1, zoom);
    params.MapsType = 6;
    params.SavePath = dir;
    params.TaskName = "bench.kvpd";
    auto task = task::KvTask::Create(params).Task;
    if (!task) {
        std::fprintf(stderr, "task refused\n");
        return 1;
    }

    const double rssBefore = PeakRssMb();
    double best = 1e9;
    std::uintmax_t bytes = 0;
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        task->WriteTileList();
        best = std::min(best, Seconds(Clock::now() - start));
        bytes = std::filesystem::file_size(task->ListFile);
        // Both sides start without the file, so neither pays for truncation.
        std::filesystem::remove(task->ListFile);
    }
    const double rssAfter = PeakRssMb();

    // The same list into /dev/null: the cost of forming the lines alone.
    double bestFormat = 1e9;
    std::filesystem::create_symlink("/dev/null", task->ListFile);
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        task->WriteTileList();
        bestFormat = std::min(bestFormat, Seconds(Clock::now() - start));
    }
    std::filesystem::remove(task->ListFile);

    // The yardstick: the same number of bytes, already in memory, in one write.
    const std::string blob(bytes, 'x');
    double bestPlain = 1e9;
    for (int i = 0; i < runs; ++i) {
        bestPlain = std::min(bestPlain, PlainWrite(dir + "plain.bin", blob));
        std::filesystem::remove(dir + "plain.bin");
    }

    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("tile list: %d tiles (%d x %d) at zoom %d, %.1f MB\n", task->TileCount, columns, rows, zoom,
                mb);
    std::printf("streamed tile list: %.3f s, %.0f MB/s (best of %d)\n", best, mb / best, runs);
    std::printf("forming the lines alone (to /dev/null): %.3f s\n", bestFormat);
    std::printf("plain single write: %.3f s, %.0f MB/s (best of %d)\n", bestPlain, mb / bestPlain, runs);
    std::printf("ratio tile list / plain write: %.2f (target <= 2)\n", best / bestPlain);
    std::printf("peak RSS before list: %.1f MB, after list: %.1f MB (target < 64 MB)\n", rssBefore, rssAfter);

    std::filesystem::remove_all(dir);
    return 0;
}

} // namespace

} // namespace kartivo::bench

int main(int argc, char** argv) { return kartivo::bench::Run(argc, argv); }
