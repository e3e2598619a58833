#include "join/CommandLine.h"

#include <chrono>
#include <locale>
#include <memory>
#include <sstream>
#include <unistd.h>

#include "join/Combiner.h"
#include "task/SavedProject.h"

namespace kartivo::join {

using platform::GroupThousands;
using platform::TimeLeftText;

const char* const kUsageText =
    "Usage: platejoin [OPTION]... PROJECT.kvpd\n"
    "Combines the tiles of a Kartivo download into one map that GIS and mapping\n"
    "programs place on Earth (Web Mercator, EPSG:3857).\n"
    "\n"
    "  -f, --format FORMAT   gtiff (default): tiled GeoTIFF with overviews\n"
    "                        mbtiles: the tiles as they are, in an MBTiles file\n"
    "                        png, jpeg: one image with a world file and a .prj\n"
    "  -o, --output PATH     the file to write (default: beside the project,\n"
    "                        named after the task)\n"
    "  -c, --compress KIND   GeoTIFF blocks: deflate, jpeg, zstd or webp\n"
    "                        (default: deflate for PNG tiles, jpeg for JPEG\n"
    "                        tiles)\n"
    "  -q, --quality N       JPEG quality 1..100 (default 85)\n"
    "      --clip            GeoTIFF, PNG, JPEG: exactly the area of the task,\n"
    "                        not the whole tiles around it\n"
    "      --min-zoom N      MBTiles: add the zoom levels below the task's down\n"
    "                        to N, each the downsample of the one above\n"
    "      --max-missing P   fail, writing nothing, when more than P percent of\n"
    "                        the tiles are left out (default 100)\n"
    "  -h, --help            show this text\n"
    "      --window [PROJECT]  open the Map Combiner window instead (with the\n"
    "                        project open); only as the first argument\n"
    "\n"
    "Tiles that are missing, failed or cannot be decoded are left transparent\n"
    "and listed in a report beside the output (OUTPUT_report.txt). Progress goes\n"
    "to standard error. Exit status: 0 done, 1 failed, 2 wrong arguments,\n"
    "130 interrupted; nothing half-written is left behind.\n";

namespace {

// Progress on standard error: a line rewritten in place on a terminal, a new
// line every 10 % otherwise (a log file should not fill with updates).
class ProgressPrinter {
public:
    explicit ProgressPrinter(std::FILE* err) : err_(err), tty_(::isatty(::fileno(err)) == 1)
    {
        start_ = std::chrono::steady_clock::now();
    }
    void Update(std::int64_t done, std::int64_t total)
    {
        const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
        const int step = tty_ ? 1 : 10;
        if (percent / step == last_ / step)
            return;
        last_ = percent;
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        std::string text = GroupThousands(done) + " of " + GroupThousands(total) + " tiles";
        if (done > 0 && done < total)
            text +=
                ", " + TimeLeftText(elapsed * static_cast<double>(total - done) / static_cast<double>(done));
        // Padded on a terminal, so that a shorter line covers a longer one.
        std::fprintf(err_, "%s%3d%% (%s)%s%s", tty_ ? "\r" : "", percent, text.c_str(), tty_ ? "   " : "",
                     tty_ ? "" : "\n");
        std::fflush(err_);
    }
    void End()
    {
        if (tty_ && last_ >= 0)
            std::fputc('\n', err_);
    }

private:
    std::FILE* err_;
    bool tty_;
    int last_ = -1;
    std::chrono::steady_clock::time_point start_;
};

int UsageError(std::FILE* err, const std::string& message)
{
    std::fprintf(err, "platejoin: %s (see platejoin --help)\n", message.c_str());
    return kExitUsage;
}

// "5", "2.5" or "5%": a share of 0 to 100 percent.
bool ParsePercent(std::string text, double& percent)
{
    if (!text.empty() && text.back() == '%')
        text.pop_back();
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789.") != std::string::npos ||
        text.find('.') != text.rfind('.') || text == ".")
        return false;
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    in >> percent;
    return !in.fail() && percent >= 0 && percent <= 100;
}

bool ParseQuality(const std::string& text, int& quality)
{
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    quality = std::stoi(text);
    return quality >= 1 && quality <= 100;
}

} // namespace

int RunCommandLine(const std::vector<std::string>& args, std::FILE* out, std::FILE* err,
                   const std::atomic<bool>* cancel)
{
    JoinOptions options;
    std::string projectPath;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string name = a, value;
        bool hasValue = false;
        if (a.rfind("--", 0) == 0 && a.find('=') != std::string::npos) {
            name = a.substr(0, a.find('='));
            value = a.substr(a.find('=') + 1);
            hasValue = true;
        }
        auto takeValue = [&]() -> bool {
            if (hasValue)
                return true;
            if (i + 1 >= args.size())
                return false;
            value = args[++i];
            return true;
        };
        if (name == "-h" || name == "--help") {
            std::fputs(kUsageText, out);
            return kExitOk;
        } else if (name == "-f" || name == "--format") {
            if (!takeValue())
                return UsageError(err, "--format needs a value: gtiff, mbtiles, png or jpeg");
            if (!ParseOutputFormat(value, options.Format))
                return UsageError(err, "unknown format \"" + value + "\": use gtiff, mbtiles, png or jpeg");
        } else if (name == "-o" || name == "--output") {
            if (!takeValue() || value.empty())
                return UsageError(err, "--output needs a file name");
            options.OutputPath = value;
        } else if (name == "-c" || name == "--compress") {
            if (!takeValue())
                return UsageError(err, "--compress needs a value: deflate, jpeg, zstd or webp");
            if (!ParseCompression(value, options.TiffCompression))
                return UsageError(err,
                                  "unknown compression \"" + value + "\": use deflate, jpeg, zstd or webp");
        } else if (name == "--clip") {
            options.Clip = true;
        } else if (name == "--min-zoom") {
            if (!takeValue() || value.empty() || value.size() > 2 ||
                value.find_first_not_of("0123456789") != std::string::npos)
                return UsageError(err, "--min-zoom needs a zoom level from 0 to the task's zoom");
            options.MinZoom = std::stoi(value);
        } else if (name == "--max-missing") {
            if (!takeValue() || !ParsePercent(value, options.MaxMissingPercent))
                return UsageError(err, "--max-missing needs a share from 0 to 100 (percent)");
        } else if (name == "-q" || name == "--quality") {
            if (!takeValue() || !ParseQuality(value, options.JpegQuality))
                return UsageError(err, "--quality needs a number from 1 to 100");
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            return UsageError(err, "unknown option " + a);
        } else if (!projectPath.empty()) {
            return UsageError(err, "one project file only (" + projectPath + ", " + a + ")");
        } else {
            projectPath = a;
        }
    }
    if (projectPath.empty())
        return UsageError(err, "no project file given");

    std::string error;
    std::unique_ptr<task::SavedProject> project = task::SavedProject::Open(projectPath, error);
    if (!project) {
        std::fprintf(err, "platejoin: %s\n", error.c_str());
        return kExitFailed;
    }

    JoinControl control;
    ProgressPrinter progress(err);
    control.Interrupt = cancel;
    control.Progress = [&](std::int64_t done, std::int64_t total) { progress.Update(done, total); };
    JoinSummary summary;
    const JoinOutcome outcome = Combine(*project, options, control, summary, error);
    progress.End();
    if (outcome != JoinOutcome::Done) {
        std::fprintf(err, "platejoin: %s\n", error.c_str());
        return outcome == JoinOutcome::Cancelled ? kExitCancelled : kExitFailed;
    }

    const TileCounts& c = summary.Counts;
    std::fprintf(err, "Wrote %s (%s, %s x %s pixels, EPSG:3857)\n", summary.OutputPath.c_str(),
                 OutputFormatName(options.Format), GroupThousands(summary.Width).c_str(),
                 GroupThousands(summary.Height).c_str());
    std::fprintf(err, "Tiles: %s combined, %s blank substitutes, %s missing, %s failed, %s undecodable\n",
                 GroupThousands(c.Saved).c_str(), GroupThousands(c.Blank).c_str(),
                 GroupThousands(c.Missing).c_str(), GroupThousands(c.Failed).c_str(),
                 GroupThousands(c.Undecodable).c_str());
    for (const std::string& line : summary.FirstProblems)
        std::fprintf(err, "  left out: %s\n", line.c_str());
    if (c.Holes() > static_cast<std::int64_t>(summary.FirstProblems.size()))
        std::fprintf(
            err, "  ... and %s more\n",
            GroupThousands(c.Holes() - static_cast<std::int64_t>(summary.FirstProblems.size())).c_str());
    std::fprintf(err, "Report: %s\n", summary.ReportPath.c_str());
    return kExitOk;
}

} // namespace kartivo::join
