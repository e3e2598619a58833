// The map combiner against GDAL doing the same job the way a user would
// without Kartivo. A synthetic task of textured tiles (JPEG aerial tiles and
// PNG road tiles) is combined into a tiled DEFLATE GeoTIFF with overviews;
// then gdalbuildvrt over the same tiles with their world files and
// gdal_translate with the same creation options, then gdaladdo for the
// overviews, all with NUM_THREADS=ALL_CPUS. Prints both times, the ratio and
// the peak memory of each. For the JPEG tiles also the default path (YCbCr
// JPEG blocks with a 1-bit mask) against GDAL writing the same layout: times,
// sizes, and the two outputs compared pixel by pixel; the output is checked
// with GDAL's cloud optimized GeoTIFF validator; the PNG tiles go through
// each lossless and lossy block compression. Then a larger task into
// MBTiles: time, CPU time against wall time (is it the disk or the CPU?) and
// peak memory, and the same with the zoom levels down to 10 (--min-zoom).
//
//   bench_join [tiles=100000] [mbtiles-tiles=1000000] [folder=/tmp] [mbtiles-quality=85]
//
// A lower JPEG quality for the MBTiles task makes its tiles smaller, so that
// a million of them fit on a small disk; the combiner does not decode them.
//
// Each measured job runs in a child process, so that its peak memory is its
// own. The task folders are removed at the end.
#include "bench/BenchTask.h"
#include "join/Combiner.h"
#include "join/MapGeometry.h"
#include "join/TileImage.h"
#include "platform/Dialogs.h"
#include "task/SavedProject.h"
#include "task/Unitclasstask.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kartivo::bench {

namespace {

using Clock = std::chrono::steady_clock;

struct Measure {
    double wall = 0, cpu = 0, peakMb = 0;
    bool ok = false;
};

// Runs `job` in a child process and measures it (wall, user + system CPU of
// the child and its own children, peak resident memory).
Measure InChild(const std::function<int()>& job)
{
    std::fflush(nullptr);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0)
        std::_Exit(job());
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    Measure m;
    m.wall = std::chrono::duration<double>(Clock::now() - start).count();
    m.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
            usage.ru_stime.tv_usec / 1e6;
    m.peakMb = usage.ru_maxrss / 1024.0;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return m;
}

Measure Shell(const std::string& command)
{
    return InChild([&] { return std::system((command + " >/dev/null 2>&1").c_str()) == 0 ? 0 : 1; });
}

// Tiles with texture (gradients and noise) so that they compress like
// imagery, not like flat colour; a few variants, used in turn.
std::vector<std::string> MakeTileVariants(join::TileFormat format, int count, int quality)
{
    std::vector<std::string> variants;
    std::mt19937 random(42);
    for (int v = 0; v < count; ++v) {
        std::vector<std::uint8_t> rgba(256 * 256 * 4);
        for (int y = 0; y < 256; ++y)
            for (int x = 0; x < 256; ++x) {
                std::uint8_t* p = &rgba[(y * 256 + x) * 4];
                const int noise = static_cast<int>(random() % 24);
                p[0] = static_cast<std::uint8_t>((x + v * 40 + noise) & 255);
                p[1] = static_cast<std::uint8_t>((y * 2 + v * 17 + noise) & 255);
                p[2] = static_cast<std::uint8_t>(((x ^ y) + noise) & 255);
                p[3] = 255;
            }
        if (format == join::TileFormat::Png) // road maps are mostly flat areas
            for (int i = 0; i < 256 * 256 * 4; i += 4)
                if ((i / 4 / 256) % 64 > 8)
                    rgba[i] = rgba[i + 1] = rgba[i + 2] = static_cast<std::uint8_t>(230 - v);
        variants.push_back(join::EncodeTile(rgba, 256, 256, format, quality));
    }
    return variants;
}

struct SyntheticTask {
    std::string folder, project;
    std::int64_t tiles = 0, bytes = 0;
};

// A square-ish task of about `tiles` tiles at zoom 18, written as Start
// writes it, with every tile present.
SyntheticTask MakeTask(const std::string& folder, int mapsType, std::int64_t tiles, bool worldFiles,
                       int quality = 85)
{
    std::filesystem::create_directories(folder);
    const int columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(tiles))));
    const int rows = static_cast<int>((tiles + columns - 1) / columns);
    const int zoom = 18, x0 = 130000, y0 = 170000;
    task::TaskParameters params;
    params.SavePath = folder + "/";
    params.TaskName = "bench.kvpd";
    params.MapsType = mapsType;
    testing::SetAreaOfTiles(params, x0, x0 + columns - 1, y0, y0 + rows - 1, zoom);
    auto task = CreateTaskFilesOrExit(params);
    const bool png = mapsType == 5;
    const auto variants = MakeTileVariants(png ? join::TileFormat::Png : join::TileFormat::Jpeg, 16, quality);
    SyntheticTask t{folder, task->ProjectFile(), 0, 0};
    const double metres = 2 * M_PI * join::kEarthRadius / (1 << zoom);
    std::string list;
    for (int x = x0; x < x0 + columns; ++x)
        for (int y = y0; y < y0 + rows; ++y) {
            const std::string& bytes = variants[(x * 7 + y * 3) % variants.size()];
            const std::string path = task->GetTileFilePath(x, y);
            if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
                std::fwrite(bytes.data(), 1, bytes.size(), f);
                std::fclose(f);
            }
            ++t.tiles;
            t.bytes += static_cast<std::int64_t>(bytes.size());
            if (worldFiles) {
                // What a user adds so that GDAL can place each tile.
                const std::string world = path.substr(0, path.size() - 3) + (png ? "pgw" : "jgw");
                if (std::FILE* f = std::fopen(world.c_str(), "wb")) {
                    std::fprintf(f, "%.10f\n0\n0\n%.10f\n%.10f\n%.10f\n", metres / 256, -metres / 256,
                                 join::MercatorXOfColumnEdge(x, zoom) + metres / 512,
                                 join::MercatorYOfRowEdge(y + 1, zoom) - metres / 512);
                    std::fclose(f);
                }
                list += path + "\n";
            }
        }
    if (worldFiles)
        if (std::FILE* f = std::fopen((folder + "/tiles.txt").c_str(), "wb")) {
            std::fwrite(list.data(), 1, list.size(), f);
            std::fclose(f);
        }
    return t;
}

Measure Combine(const std::string& project, join::OutputFormat format, const std::string& output,
                join::Compression compression = join::Compression::Deflate, int minZoom = -1)
{
    return InChild([&] {
        std::string error;
        auto p = task::SavedProject::Open(project, error);
        if (!p)
            return 1;
        join::JoinOptions options;
        options.Format = format;
        options.OutputPath = output;
        options.TiffCompression = compression;
        options.MinZoom = minZoom;
        join::JoinControl control;
        join::JoinSummary summary;
        return join::Combine(*p, options, control, summary, error) == join::JoinOutcome::Done ? 0 : 1;
    });
}

// The first line of a command's output.
std::string FirstLine(const std::string& command)
{
    std::string line;
    if (std::FILE* p = ::popen(command.c_str(), "r")) {
        char buffer[1024];
        if (std::fgets(buffer, sizeof buffer, p))
            line = buffer;
        ::pclose(p);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line.empty() ? "(no answer: is python3-gdal installed?)" : line;
}

// GDAL's validator's verdict on a file.
std::string CogVerdict(const std::string& tif)
{
    return FirstLine(
        "/usr/bin/python3 /usr/lib/python3/dist-packages/osgeo_utils/samples/"
        "validate_cloud_optimized_geotiff.py '" +
        tif + "' 2>&1 | grep -m1 -i valid");
}

// The largest and the mean difference of the colour bands where both masks
// say map, and the pixels whose masks differ, at full resolution.
std::string ComparePixels(const std::string& a, const std::string& b)
{
    const std::string script =
        "import sys\n"
        "from osgeo import gdal\n"
        "import numpy as np\n"
        "A=gdal.Open(sys.argv[1]); B=gdal.Open(sys.argv[2])\n"
        "ma=A.GetRasterBand(1).GetMaskBand().ReadAsArray()>0; "
        "mb=B.GetRasterBand(1).GetMaskBand().ReadAsArray()>0\n"
        "both=ma&mb; worst=0; total=0.0\n"
        "for i in (1,2,3):\n"
        "  "
        "d=np.abs(A.GetRasterBand(i).ReadAsArray().astype(int)-B.GetRasterBand(i).ReadAsArray().astype(int))["
        "both]\n"
        "  worst=max(worst,int(d.max()) if d.size else 0); total+=float(d.mean()) if d.size else 0\n"
        "print('largest difference %d, mean %.3f, pixels whose mask differs %d' % "
        "(worst,total/3,int((ma!=mb).sum())))\n";
    const std::string path = a + ".compare.py";
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fputs(script.c_str(), f);
        std::fclose(f);
    }
    const std::string verdict = FirstLine("/usr/bin/python3 '" + path + "' '" + a + "' '" + b + "' 2>&1");
    std::remove(path.c_str());
    return verdict;
}

double FileMb(const std::string& path)
{
    std::error_code ec;
    return static_cast<double>(std::filesystem::file_size(path, ec)) / 1e6;
}

// With `deflateOnly`, only platejoin's and GDAL's DEFLATE files are made.
void CompareWithGdal(const std::string& root, int mapsType, const char* label, std::int64_t tiles,
                     bool deflateOnly = false)
{
    const std::string folder = root + "/" + label;
    std::printf("\n%s tiles: %lld requested\n", label, static_cast<long long>(tiles));
    const auto made = Clock::now();
    const SyntheticTask t = MakeTask(folder, mapsType, tiles, true);
    std::printf("  task made: %lld tiles, %.1f MB of tiles, %.1f s (with a world file per tile)\n",
                static_cast<long long>(t.tiles), t.bytes / 1e6,
                std::chrono::duration<double>(Clock::now() - made).count());

    const std::string ours = folder + "/kartivo.tif";
    const Measure k = Combine(t.project, join::OutputFormat::GeoTiff, ours);
    std::printf("  platejoin:  %8.1f s wall, %8.1f s CPU, peak %7.1f MB, %8.1f MB file%s\n", k.wall, k.cpu,
                k.peakMb, FileMb(ours), k.ok ? "" : "  FAILED");

    const std::string vrt = folder + "/gdal.vrt", tif = folder + "/gdal.tif";
    const Measure v = Shell("gdalbuildvrt -addalpha -a_srs EPSG:3857 -input_file_list '" + folder +
                            "/tiles.txt' '" + vrt + "'");
    const Measure tr = Shell(
        "gdal_translate -co TILED=YES -co BLOCKXSIZE=256 -co BLOCKYSIZE=256 "
        "-co COMPRESS=DEFLATE -co BIGTIFF=IF_SAFER -co NUM_THREADS=ALL_CPUS "
        "--config GDAL_NUM_THREADS ALL_CPUS '" +
        vrt + "' '" + tif + "'");
    const Measure ov = Shell(
        "gdaladdo -r average --config COMPRESS_OVERVIEW DEFLATE "
        "--config GDAL_NUM_THREADS ALL_CPUS '" +
        tif + "'");
    const double gdalWall = v.wall + tr.wall + ov.wall;
    const double gdalPeak = std::max({v.peakMb, tr.peakMb, ov.peakMb});
    std::printf("  GDAL:       %8.1f s wall, %8.1f s CPU, peak %7.1f MB, %8.1f MB file%s\n", gdalWall,
                v.cpu + tr.cpu + ov.cpu, gdalPeak, FileMb(tif), v.ok && tr.ok && ov.ok ? "" : "  FAILED");
    std::printf("              (gdalbuildvrt %.1f s, gdal_translate %.1f s, gdaladdo %.1f s)\n", v.wall,
                tr.wall, ov.wall);
    std::printf("  ratio platejoin / GDAL: %.2f (target at most 0.5)\n", k.wall / gdalWall);
    std::printf("  cloud optimized: %s\n", CogVerdict(ours).c_str());

    if (deflateOnly) {
        std::filesystem::remove_all(folder);
        return;
    }
    if (mapsType == 5) {
        // Every block compression on the road tiles.
        const std::pair<join::Compression, const char*> codecs[] = {{join::Compression::Zstd, "ZSTD"},
                                                                    {join::Compression::Webp, "WebP"}};
        for (const auto& [codec, name] : codecs) {
            if (!join::CompressionAvailable(codec))
                continue;
            const std::string out = folder + "/kartivo_" + name + ".tif";
            const Measure c = Combine(t.project, join::OutputFormat::GeoTiff, out, codec);
            std::printf("  platejoin %-5s %6.1f s wall, peak %7.1f MB, %8.1f MB file (DEFLATE %.1f MB)%s\n",
                        name, c.wall, c.peakMb, FileMb(out), FileMb(ours), c.ok ? "" : "  FAILED");
        }
    } else {
        // The default for JPEG tiles: YCbCr JPEG blocks and a 1-bit mask, as
        // GDAL writes them with the same quality.
        const std::string ycc = folder + "/kartivo_ycbcr.tif", gdalYcc = folder + "/gdal_ycbcr.tif";
        const Measure ky = Combine(t.project, join::OutputFormat::GeoTiff, ycc, join::Compression::Default);
        const std::string jpegOptions =
            "--config GDAL_TIFF_INTERNAL_MASK YES --config GDAL_NUM_THREADS ALL_CPUS ";
        const Measure gt = Shell(
            "gdal_translate -b 1 -b 2 -b 3 -mask 4 -co TILED=YES -co BLOCKXSIZE=256 "
            "-co BLOCKYSIZE=256 -co COMPRESS=JPEG -co PHOTOMETRIC=YCBCR -co JPEG_QUALITY=85 "
            "-co BIGTIFF=IF_SAFER " +
            jpegOptions + "'" + vrt + "' '" + gdalYcc + "'");
        const Measure go = Shell(
            "gdaladdo -r average --config COMPRESS_OVERVIEW JPEG --config "
            "PHOTOMETRIC_OVERVIEW YCBCR --config JPEG_QUALITY_OVERVIEW 85 " +
            jpegOptions + "'" + gdalYcc + "'");
        std::printf("  YCbCr JPEG + mask, platejoin: %6.1f s wall, peak %7.1f MB, %8.1f MB file%s\n", ky.wall,
                    ky.peakMb, FileMb(ycc), ky.ok ? "" : "  FAILED");
        std::printf("  YCbCr JPEG + mask, GDAL:      %6.1f s wall, peak %7.1f MB, %8.1f MB file%s\n",
                    gt.wall + go.wall, std::max(gt.peakMb, go.peakMb), FileMb(gdalYcc),
                    gt.ok && go.ok ? "" : "  FAILED");
        std::printf(
            "  ratio platejoin / GDAL: time %.2f (target at most 0.5), size %.3f (target within 5 %%)\n",
            ky.wall / (gt.wall + go.wall), FileMb(ycc) / FileMb(gdalYcc));
        std::printf("  cloud optimized: %s\n", CogVerdict(ycc).c_str());
        std::printf("  pixel by pixel against GDAL's: %s\n", ComparePixels(ycc, gdalYcc).c_str());
    }
    std::filesystem::remove_all(folder);
}

int Run(int argc, char** argv)
{
    const std::int64_t tiles = argc > 1 ? std::atoll(argv[1]) : 100000;
    const std::int64_t mbtilesTiles = argc > 2 ? std::atoll(argv[2]) : 1000000;
    const std::string root = (argc > 3 ? std::string(argv[3]) : std::string("/tmp")) +
                             "/kartivo_bench_join_" + std::to_string(::getpid());
    std::printf("bench_join: %lld tiles against GDAL, %lld tiles into MBTiles, in %s\n",
                static_cast<long long>(tiles), static_cast<long long>(mbtilesTiles), root.c_str());
    if (std::system("gdal_translate --version >/dev/null 2>&1") != 0)
        std::printf("GDAL's tools are missing (Debian package gdal-bin): the GDAL side fails.\n");

    // A fifth argument "aerial-deflate" runs only the aerial tiles into
    // DEFLATE blocks, for quick measurements of that path.
    const bool aerialDeflate = argc > 5 && std::string(argv[5]) == "aerial-deflate";
    if (tiles > 0) {
        CompareWithGdal(root, 6, "JPEG (aerial)", tiles, aerialDeflate);
        if (!aerialDeflate)
            CompareWithGdal(root, 5, "PNG (road)", tiles);
    }

    if (mbtilesTiles > 0) {
        const std::string folder = root + "/mbtiles";
        std::printf("\nMBTiles: %lld tiles requested\n", static_cast<long long>(mbtilesTiles));
        const auto made = Clock::now();
        const SyntheticTask t = MakeTask(folder, 6, mbtilesTiles, false, argc > 4 ? std::atoi(argv[4]) : 85);
        std::printf("  task made: %lld tiles, %.1f MB of tiles, %.1f s\n", static_cast<long long>(t.tiles),
                    t.bytes / 1e6, std::chrono::duration<double>(Clock::now() - made).count());
        // Cold reads are what a user has after a download of this size; drop
        // what this run cached when the system allows it (root only).
        std::system("sync; echo 1 > /proc/sys/vm/drop_caches 2>/dev/null");
        const std::string out = folder + "/bench.mbtiles";
        const Measure m = Combine(t.project, join::OutputFormat::MBTiles, out);
        std::printf(
            "  platejoin:  %8.1f s wall, %8.1f s CPU (%.0f %% of wall), peak %7.1f MB, %.1f MB file, "
            "%.0f tiles/s, %.1f MB/s%s\n",
            m.wall, m.cpu, 100 * m.cpu / m.wall, m.peakMb, FileMb(out), t.tiles / m.wall,
            t.bytes / 1e6 / m.wall, m.ok ? "" : "  FAILED");
        std::printf(m.cpu < 0.9 * m.wall
                        ? "  CPU well below wall time: the run waits for the disk, not the CPU.\n"
                        : "  CPU close to wall time: the run is bound by the CPU.\n");
        std::filesystem::remove(out);
        const Measure pyramid =
            Combine(t.project, join::OutputFormat::MBTiles, out, join::Compression::Default, 10);
        std::printf("  with zooms 10 to 18 (--min-zoom 10): %8.1f s wall, peak %7.1f MB, %.1f MB file%s\n",
                    pyramid.wall, pyramid.peakMb, FileMb(out), pyramid.ok ? "" : "  FAILED");
    }
    std::filesystem::remove_all(root);
    return 0;
}

} // namespace

} // namespace kartivo::bench

int main(int argc, char** argv) { return kartivo::bench::Run(argc, argv); }
