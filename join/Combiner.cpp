#include "join/Combiner.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "core/MapTypes.h"
#include "join/GeoTiffWriter.h"
#include "join/ImageWriter.h"
#include "join/MapGeometry.h"
#include "join/MbtilesWriter.h"

#include "platform/Errors.h"
#include "platform/Files.h"
#include "task/SavedProject.h"
#include <tiffio.h>

namespace kartivo::join {

using platform::GroupThousands;

namespace {

std::string WithoutExtension(const std::string& path)
{
    const std::string ext = platform::ExtractFileExt(path);
    return path.substr(0, path.size() - ext.size());
}

void WriteReport(const std::string& path, const task::SavedProject& project, const JoinOptions& options,
                 const JoinSummary& summary, const TileSource& tiles)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!f)
        throw platform::EFCreateError(path);
    const TileCounts& c = summary.Counts;
    std::fprintf(f.get(),
                 "Kartivo map combiner report\r\n"
                 "Project: %s\r\n"
                 "Output: %s\r\n"
                 "Format: %s, %lld x %lld pixels, EPSG:3857 (Web Mercator)\r\n"
                 "Tiles: %s\r\n"
                 "  combined: %s\r\n"
                 "  blank substitutes (combined as images): %s\r\n"
                 "  missing (left transparent): %s\r\n"
                 "  failed to download (left transparent): %s\r\n"
                 "  undecodable (left transparent): %s\r\n",
                 project.Task().ProjectFile().c_str(), summary.OutputPath.c_str(),
                 OutputFormatName(options.Format), static_cast<long long>(summary.Width),
                 static_cast<long long>(summary.Height), GroupThousands(c.Total()).c_str(),
                 GroupThousands(c.Saved).c_str(), GroupThousands(c.Blank).c_str(),
                 GroupThousands(c.Missing).c_str(), GroupThousands(c.Failed).c_str(),
                 GroupThousands(c.Undecodable).c_str());
    if (options.Format == OutputFormat::Jpeg && c.Holes() > 0)
        std::fputs("JPEG has no transparency: the tiles left out are black.\r\n", f.get());
    if (options.Format == OutputFormat::MBTiles && c.Holes() > 0)
        std::fputs("The tiles left out have no row in the tiles table.\r\n", f.get());
    if (c.Holes() > 0) {
        std::fputs("\r\nTiles left out:\r\n", f.get());
        tiles.CopyProblemsTo(f.get());
    }
    if (std::fflush(f.get()) != 0 || std::ferror(f.get()))
        throw platform::EFCreateError(path);
}

// 5 -> "5", 2.5 -> "2.5".
std::string PercentText(double percent)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", percent);
    return text;
}

// A small file written whole into its temporary name.
void WriteSideFile(const std::string& path, const std::string& text)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!f || std::fwrite(text.data(), 1, text.size(), f.get()) != text.size() || std::fflush(f.get()) != 0)
        throw platform::EFCreateError(path);
}

} // namespace

bool ParseCompression(const std::string& text, Compression& compression)
{
    if (text == "deflate")
        compression = Compression::Deflate;
    else if (text == "jpeg" || text == "jpg")
        compression = Compression::Jpeg;
    else if (text == "zstd")
        compression = Compression::Zstd;
    else if (text == "webp")
        compression = Compression::Webp;
    else
        return false;
    return true;
}

bool CompressionAvailable(Compression compression)
{
    switch (compression) {
    case Compression::Zstd: return TIFFIsCODECConfigured(COMPRESSION_ZSTD) != 0;
    case Compression::Webp: return TIFFIsCODECConfigured(COMPRESSION_WEBP) != 0;
    default: return true;
    }
}

bool TilesArePng(const task::SavedProject& project)
{
    // Ordnance Survey tiles are stored as .jpg but served as PNG: the
    // requested format tells what the bytes are.
    return std::strstr(core::FindMapType(project.Params().MapsType)->UrlSuffix, ".png") != nullptr;
}

bool ParseOutputFormat(const std::string& text, OutputFormat& format)
{
    if (text == "gtiff" || text == "geotiff" || text == "tif" || text == "tiff")
        format = OutputFormat::GeoTiff;
    else if (text == "mbtiles")
        format = OutputFormat::MBTiles;
    else if (text == "png")
        format = OutputFormat::Png;
    else if (text == "jpeg" || text == "jpg")
        format = OutputFormat::Jpeg;
    else
        return false;
    return true;
}

const char* OutputFormatName(OutputFormat format)
{
    switch (format) {
    case OutputFormat::GeoTiff: return "GeoTIFF";
    case OutputFormat::MBTiles: return "MBTiles";
    case OutputFormat::Png: return "PNG";
    case OutputFormat::Jpeg: return "JPEG";
    }
    return "";
}

const char* OutputExtension(OutputFormat format)
{
    switch (format) {
    case OutputFormat::GeoTiff: return ".tif";
    case OutputFormat::MBTiles: return ".mbtiles";
    case OutputFormat::Png: return ".png";
    case OutputFormat::Jpeg: return ".jpg";
    }
    return "";
}

std::string DefaultOutputPath(const task::SavedProject& project, OutputFormat format)
{
    return WithoutExtension(project.Task().ProjectFile()) + OutputExtension(format);
}

std::string ReportPathFor(const std::string& outputPath)
{
    // The output's whole name, extension included: a GeoTIFF and an MBTiles
    // file of one task each keep their own report.
    return outputPath + "_report.txt";
}

MapRaster RasterFor(const task::KvTask& task, const JoinOptions& options)
{
    // MBTiles keeps whole tiles whatever is asked.
    return options.Clip && options.Format != OutputFormat::MBTiles ? ClippedRasterOfTask(task)
                                                                   : RasterOfTask(task);
}

std::string CheckOptions(const task::SavedProject& project, const JoinOptions& options)
{
    if (options.JpegQuality < 1 || options.JpegQuality > 100)
        return "The JPEG quality must be between 1 and 100.";
    if (!(options.MaxMissingPercent >= 0 && options.MaxMissingPercent <= 100))
        return "The share of tiles that may be missing must be between 0 and 100 %.";
    if (options.Format == OutputFormat::GeoTiff && !CompressionAvailable(options.TiffCompression))
        return std::string("The TIFF library on this system cannot write ") +
               (options.TiffCompression == Compression::Zstd ? "ZSTD" : "WebP") +
               " blocks; choose DEFLATE or JPEG.";
    const task::KvTask& task = project.Task();
    // MBTiles readers take every tile as 256 x 256 pixels of the Web Mercator
    // grid; bird's eye tiles (256 x 180) would be read as garbage.
    if (options.Format == OutputFormat::MBTiles && (task.TileWidth != 256 || task.TileHeight != 256))
        return "MBTiles holds tiles of 256 x 256 pixels, and this task's tiles are " +
               std::to_string(task.TileWidth) + " x " + std::to_string(task.TileHeight) +
               ". Choose GeoTIFF (--format gtiff), PNG (--format png) or JPEG (--format jpeg) instead.";
    if (options.MinZoom > project.Params().Zoom)
        return "The lowest zoom (" + std::to_string(options.MinZoom) +
               ") must not be above the task's zoom (" + std::to_string(project.Params().Zoom) + ").";
    if (options.Format != OutputFormat::Png && options.Format != OutputFormat::Jpeg)
        return "";
    const MapRaster r = RasterFor(task, options);
    const ImageKind kind = options.Format == OutputFormat::Png ? ImageKind::Png : ImageKind::Jpeg;
    const std::int64_t limit = LimitOfSingleImage(kind);
    if (r.Width <= limit && r.Height <= limit)
        return "";
    return "The combined map would be " + std::to_string(r.Width) + " x " + std::to_string(r.Height) +
           " pixels, more than a " + OutputFormatName(options.Format) + " image can hold (" +
           std::to_string(limit) +
           " pixels a side). Choose GeoTIFF (--format gtiff) or MBTiles "
           "(--format mbtiles) instead.";
}

namespace {

// A file the run writes: the name the user sees, the file it stands for
// (links followed), and the temporary file that holds it until the commit.
struct Target {
    std::string Path;
    std::string Resolved;
    std::string Temp;
    const char* Role; // "output", "world file", ...
};

std::string Canonical(const std::string& path)
{
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::weakly_canonical(path, ec);
    return ec ? path : p.string();
}

std::string FolderOf(const std::string& path)
{
    const std::string folder = platform::ExtractFilePath(path);
    return folder.empty() ? std::string(".") + platform::PathDelim : folder;
}

// Why the run may not write `t`, as the sentence the user sees, or "". What
// is there already is replaced only when it is a regular file that may be
// written and that is no file of the task.
std::string RefusalOf(const Target& t, const task::KvTask& task)
{
    const std::string what = std::string("The ") + t.Role + " " + t.Path;
    struct stat st {};
    if (::stat(t.Resolved.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return what +
                   " is not a regular file (a folder, device or named pipe); it was left as it is. "
                   "Choose another name.";
        // Decided from the mode bits too, so that root is refused as well.
        if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
            (::geteuid() != 0 && ::access(t.Resolved.c_str(), W_OK) != 0))
            return what + " has no write permission; it was left as it is. Choose another name.";
    }
    const std::string canonical = Canonical(t.Resolved);
    for (const std::string& own : {task.ProjectFile(), task.ListFile, task.LogFile, task.FailedFile})
        if (Canonical(own) == canonical)
            return std::string("The ") + t.Role + " would replace the task's own file " + own +
                   "; choose another name.";
    if (Canonical(FolderOf(canonical)) == Canonical(task.TileFolder))
        return what + " would be among the task's tiles in " + task.TileFolder + "; choose another name.";
    return "";
}

} // namespace

JoinOutcome Combine(const task::SavedProject& project, const JoinOptions& options, JoinControl& control,
                    JoinSummary& summary, std::string& error)
{
    summary = JoinSummary();
    error = CheckOptions(project, options);
    if (!error.empty())
        return JoinOutcome::Failed;

    const task::KvTask& task = project.Task();
    const MapRaster raster = RasterFor(task, options);
    summary.OutputPath =
        options.OutputPath.empty() ? DefaultOutputPath(project, options.Format) : options.OutputPath;
    summary.ReportPath = ReportPathFor(summary.OutputPath);
    summary.Width = raster.Width;
    summary.Height = raster.Height;
    const std::string folder = FolderOf(summary.OutputPath);
    if (platform::DirectoryExists(summary.OutputPath)) {
        error = summary.OutputPath + " is a folder; name the output file.";
        return JoinOutcome::Failed;
    }
    if (!platform::DirectoryExists(folder)) {
        error = "The folder " + folder + " does not exist.";
        return JoinOutcome::Failed;
    }
    // Without its tile folder a task would give an empty map.
    if (!platform::DirectoryExists(task.TileFolder)) {
        error = "The tile folder " + task.TileFolder + " of the task does not exist; nothing to combine.";
        return JoinOutcome::Failed;
    }

    // Every file the run writes, checked before anything is written: the
    // output first, then its side files, and the report.
    std::vector<Target> targets{{summary.OutputPath, "", "", "output"}};
    const bool image = options.Format == OutputFormat::Png || options.Format == OutputFormat::Jpeg;
    if (image) {
        // The world file and projection of a plain image. GDAL (and so QGIS)
        // takes a PNG's or JPEG's projection from its auxiliary file, not
        // from the .prj that other programs read.
        const std::string base = WithoutExtension(summary.OutputPath);
        targets.push_back(
            {base + (options.Format == OutputFormat::Png ? ".pgw" : ".jgw"), "", "", "world file"});
        targets.push_back({base + ".prj", "", "", "projection file"});
        targets.push_back({summary.OutputPath + ".aux.xml", "", "", "auxiliary file"});
    }
    targets.push_back({summary.ReportPath, "", "", "report"});
    for (std::size_t i = 0; i < targets.size(); ++i) {
        Target& t = targets[i];
        t.Resolved = platform::ResolveFileLinks(t.Path);
        error = RefusalOf(t, task);
        for (std::size_t j = 0; j < i && error.empty(); ++j)
            if (Canonical(targets[j].Resolved) == Canonical(t.Resolved))
                error = std::string("The ") + targets[j].Role + " " + targets[j].Path + " and its " + t.Role +
                        " " + t.Path + " would be one file; choose another name.";
        if (!error.empty())
            return JoinOutcome::Failed;
    }

    TempFiles temps;
    TileSource tiles(project);
    try {
        auto makeTemp = [&temps](Target& t) {
            t.Temp = temps.Create(FolderOf(t.Resolved), platform::ExtractFileName(t.Resolved));
        };
        Target& output = targets.front();
        makeTemp(output);
        const std::string& temp = output.Temp;
        switch (options.Format) {
        case OutputFormat::GeoTiff: {
            GeoTiffSettings s;
            s.Jpeg = options.TiffCompression == Compression::Jpeg ||
                     (options.TiffCompression == Compression::Default && !TilesArePng(project));
            s.Codec = options.TiffCompression == Compression::Zstd   ? RgbaCodec::Zstd
                      : options.TiffCompression == Compression::Webp ? RgbaCodec::Webp
                                                                     : RgbaCodec::Deflate;
            s.Quality = options.JpegQuality;
            s.BigTiff = UncompressedPyramidBytes(raster.Width, raster.Height) > options.BigTiffAbove;
            s.Threads = options.Threads > 0                        ? options.Threads
                        : std::thread::hardware_concurrency() >= 2 ? 2
                                                                   : 1;
            summary.BigTiff = s.BigTiff;
            WriteGeoTiff(temp, FolderOf(temp), task, raster, tiles, s, control, temps);
            break;
        }
        case OutputFormat::MBTiles:
            WriteMbtiles(temp, project, tiles, control, options.MinZoom, options.JpegQuality);
            break;
        case OutputFormat::Png:
        case OutputFormat::Jpeg:
            WriteSingleImage(temp, options.Format == OutputFormat::Png ? ImageKind::Png : ImageKind::Jpeg,
                             options.JpegQuality, task, raster, tiles, control);
            break;
        }
        summary.Counts = tiles.Counts();
        summary.FirstProblems = tiles.FirstProblems();
        const TileCounts& c = summary.Counts;
        const std::string counts = GroupThousands(c.Missing) + " missing, " + GroupThousands(c.Failed) +
                                   " failed, " + GroupThousands(c.Undecodable) + " undecodable";
        if (c.Saved + c.Blank == 0) {
            error = "No tile of the task could be combined (" + counts + "); nothing was written.";
            return JoinOutcome::Failed;
        }
        if (static_cast<double>(c.Holes()) * 100.0 >
            options.MaxMissingPercent * static_cast<double>(c.Total())) {
            error = GroupThousands(c.Holes()) + " of " + GroupThousands(c.Total()) + " tiles are left out (" +
                    counts + "), more than the " + PercentText(options.MaxMissingPercent) +
                    " % allowed; nothing was written.";
            return JoinOutcome::Failed;
        }

        for (std::size_t i = 1; i < targets.size(); ++i)
            makeTemp(targets[i]);
        if (image) {
            WriteSideFile(targets[1].Temp, WorldFileText(raster));
            WriteSideFile(targets[2].Temp, kWebMercatorPrj);
            WriteSideFile(targets[3].Temp, "<PAMDataset>\n  <SRS>EPSG:3857</SRS>\n</PAMDataset>\n");
            for (std::size_t i = 1; i < 4; ++i)
                summary.SideFiles.push_back(targets[i].Path);
        }
        WriteReport(targets.back().Temp, project, options, summary, tiles);

        // The commit point: an interruption up to here leaves nothing behind;
        // from here on the files take their places and the run is done.
        control.Poll();
        std::vector<platform::FileCommit> commits;
        for (const Target& t : targets)
            commits.push_back({t.Temp, t.Resolved});
        temps.Commit(commits);
        return JoinOutcome::Done;
    } catch (const JoinCancelled&) {
        error = "Cancelled: nothing was written.";
        return JoinOutcome::Cancelled;
    } catch (const std::bad_alloc&) {
        error = "Out of memory while combining " + task.ProjectFile() + ".";
    } catch (const std::exception& e) {
        error = e.what();
    }
    return JoinOutcome::Failed;
}

} // namespace kartivo::join
