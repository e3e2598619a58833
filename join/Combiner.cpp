#include "join/Combiner.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "core/MapTypes.h"
#include "join/GeoTiffWriter.h"
#include "join/ImageWriter.h"
#include "join/MapGeometry.h"
#include "join/MbtilesWriter.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "task/SavedProject.h"

namespace kartivo::join {

namespace {

std::string WithoutExtension(const std::string& path) {
    const std::string ext = platform::ExtractFileExt(path);
    return path.substr(0, path.size() - ext.size());
}

std::string Thousands(std::int64_t n) {
    const std::string digits = std::to_string(n);
    std::string s;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0 && digits[i - 1] != '-')
            s += ',';
        s += digits[i];
    }
    return s;
}

void WriteReport(const std::string& path, const task::SavedProject& project, const JoinOptions& options,
                 const JoinSummary& summary, const TileSource& tiles) {
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
                 static_cast<long long>(summary.Height), Thousands(c.Total()).c_str(),
                 Thousands(c.Saved).c_str(), Thousands(c.Blank).c_str(), Thousands(c.Missing).c_str(),
                 Thousands(c.Failed).c_str(), Thousands(c.Undecodable).c_str());
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

void WriteSideFile(const std::string& path, const std::string& text) {
    platform::WriteFileAtomic(path, text.data(), text.size());
}

} // namespace

bool TilesArePng(const task::SavedProject& project) {
    // Ordnance Survey tiles are stored as .jpg but served as PNG: the
    // requested format tells what the bytes are.
    return std::strstr(core::FindMapType(project.Params().MapsType)->UrlSuffix, ".png") != nullptr;
}

bool ParseOutputFormat(const std::string& text, OutputFormat& format) {
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

const char* OutputFormatName(OutputFormat format) {
    switch (format) {
    case OutputFormat::GeoTiff: return "GeoTIFF";
    case OutputFormat::MBTiles: return "MBTiles";
    case OutputFormat::Png: return "PNG";
    case OutputFormat::Jpeg: return "JPEG";
    }
    return "";
}

const char* OutputExtension(OutputFormat format) {
    switch (format) {
    case OutputFormat::GeoTiff: return ".tif";
    case OutputFormat::MBTiles: return ".mbtiles";
    case OutputFormat::Png: return ".png";
    case OutputFormat::Jpeg: return ".jpg";
    }
    return "";
}

std::string DefaultOutputPath(const task::SavedProject& project, OutputFormat format) {
    return WithoutExtension(project.Task().ProjectFile()) + OutputExtension(format);
}

std::string ReportPathFor(const std::string& outputPath) {
    return WithoutExtension(outputPath) + "_report.txt";
}

std::string CheckOptions(const task::SavedProject& project, const JoinOptions& options) {
    if (options.JpegQuality < 1 || options.JpegQuality > 100)
        return "The JPEG quality must be between 1 and 100.";
    if (options.Format != OutputFormat::Png && options.Format != OutputFormat::Jpeg)
        return "";
    const MapRaster r = RasterOfTask(project.Task());
    const ImageKind kind = options.Format == OutputFormat::Png ? ImageKind::Png : ImageKind::Jpeg;
    const std::int64_t limit = LimitOfSingleImage(kind);
    if (r.Width <= limit && r.Height <= limit)
        return "";
    return "The combined map would be " + std::to_string(r.Width) + " x " + std::to_string(r.Height) +
           " pixels, more than a " + OutputFormatName(options.Format) + " image can hold (" +
           std::to_string(limit) + " pixels a side). Choose GeoTIFF (--format gtiff) or MBTiles "
           "(--format mbtiles) instead.";
}

JoinOutcome Combine(const task::SavedProject& project, const JoinOptions& options, JoinControl& control,
                    JoinSummary& summary, std::string& error) {
    summary = JoinSummary();
    error = CheckOptions(project, options);
    if (!error.empty())
        return JoinOutcome::Failed;

    const task::KvTask& task = project.Task();
    const MapRaster raster = RasterOfTask(task);
    summary.OutputPath = options.OutputPath.empty() ? DefaultOutputPath(project, options.Format)
                                                    : options.OutputPath;
    summary.ReportPath = ReportPathFor(summary.OutputPath);
    summary.Width = raster.Width;
    summary.Height = raster.Height;
    std::string folder = platform::ExtractFilePath(summary.OutputPath);
    if (folder.empty())
        folder = std::string(".") + platform::PathDelim;
    if (platform::DirectoryExists(summary.OutputPath)) {
        error = summary.OutputPath + " is a folder; name the output file.";
        return JoinOutcome::Failed;
    }
    if (!platform::DirectoryExists(folder)) {
        error = "The folder " + folder + " does not exist.";
        return JoinOutcome::Failed;
    }
    // The task's own record files are never replaced by an output.
    std::error_code ec;
    const std::filesystem::path output = std::filesystem::weakly_canonical(summary.OutputPath, ec);
    for (const std::string& own : {task.ProjectFile(), task.ListFile, task.LogFile, task.FailedFile}) {
        std::error_code ownEc;
        if (!ec && std::filesystem::weakly_canonical(own, ownEc) == output && !ownEc) {
            error = "The output would replace the task's own file " + own + "; choose another name.";
            return JoinOutcome::Failed;
        }
    }

    TempFiles temps;
    TileSource tiles(project);
    try {
        const std::string temp = temps.Create(folder, platform::ExtractFileName(summary.OutputPath));
        switch (options.Format) {
        case OutputFormat::GeoTiff: {
            GeoTiffSettings s;
            s.Jpeg = options.TiffCompression == Compression::Jpeg ||
                     (options.TiffCompression == Compression::Default && !TilesArePng(project));
            s.Quality = options.JpegQuality;
            s.BigTiff = UncompressedPyramidBytes(raster.Width, raster.Height) > options.BigTiffAbove;
            summary.BigTiff = s.BigTiff;
            WriteGeoTiff(temp, folder, task, tiles, s, control, temps);
            break;
        }
        case OutputFormat::MBTiles:
            WriteMbtiles(temp, project, tiles, control);
            break;
        case OutputFormat::Png:
        case OutputFormat::Jpeg:
            WriteSingleImage(temp, options.Format == OutputFormat::Png ? ImageKind::Png : ImageKind::Jpeg,
                             options.JpegQuality, task, tiles, control);
            break;
        }
        control.Poll();
        temps.Commit(temp, summary.OutputPath);
        summary.Counts = tiles.Counts();
        summary.FirstProblems = tiles.FirstProblems();

        // The world file and projection of a plain image; written after the
        // image so that a failure above leaves none without their image.
        if (options.Format == OutputFormat::Png || options.Format == OutputFormat::Jpeg) {
            const std::string base = WithoutExtension(summary.OutputPath);
            const std::string world = base + (options.Format == OutputFormat::Png ? ".pgw" : ".jgw");
            WriteSideFile(world, WorldFileText(raster));
            WriteSideFile(base + ".prj", kWebMercatorPrj);
            // GDAL (and so QGIS) takes a PNG's or JPEG's projection from its
            // auxiliary file, not from the .prj that other programs read.
            const std::string aux = summary.OutputPath + ".aux.xml";
            WriteSideFile(aux, "<PAMDataset>\n  <SRS>EPSG:3857</SRS>\n</PAMDataset>\n");
            summary.SideFiles = {world, base + ".prj", aux};
        }
        WriteReport(summary.ReportPath, project, options, summary, tiles);
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
