#include "view/qt/HeadlessRender.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Files.h"
#include "platform/Formats.h"
#include "platform/IniFile.h"
#include "task/SavedProject.h"
#include "view/OutputFile.h"
#include "view/qt/MapRenderer.h"

namespace kartivo::view::qt {

namespace {

// `value` rounded up (or down) to three significant digits, so that the
// range a message names holds only scales that are really allowed.
std::string ThreeDigits(double value, bool up)
{
    const double unit = std::pow(10.0, std::floor(std::log10(value)) - 2);
    const double rounded = (up ? std::ceil(value / unit - 1e-9) : std::floor(value / unit + 1e-9)) * unit;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3g", rounded);
    return buffer;
}

// The count of overviews on a terminal: rewritten in place when the
// percentage moves, padded so a shorter line covers a longer one, and wiped
// at the end so that only the outcome stays on the screen.
class OverviewCount {
public:
    explicit OverviewCount(std::FILE* status)
        : out_(status && ::isatty(::fileno(status)) == 1 ? status : nullptr)
    {
    }
    ~OverviewCount()
    {
        if (out_ && width_ > 0) {
            std::fprintf(out_, "\r%*s\r", static_cast<int>(width_), "");
            std::fflush(out_);
        }
    }
    bool Shown() const { return out_ != nullptr; }
    void Update(std::int64_t done, std::int64_t total)
    {
        const int percent = static_cast<int>(done * 100 / std::max<std::int64_t>(total, 1));
        if (!out_ || percent == percent_)
            return;
        percent_ = percent;
        const std::string text = "Building overviews: " + platform::GroupThousands(done) + " of " +
                                 platform::GroupThousands(total);
        std::fprintf(out_, "\r%s%*s", text.c_str(),
                     static_cast<int>(width_ > text.size() ? width_ - text.size() : 0), "");
        std::fflush(out_);
        width_ = std::max(width_, text.size());
    }

private:
    std::FILE* out_;
    int percent_ = -1;
    std::size_t width_ = 0;
};

} // namespace

std::unique_ptr<task::SavedProject> OpenViewerProject(const std::string& path, std::string& error)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            error = path + " is not a Kartivo project file (not a regular file).";
            return nullptr;
        }
        if (static_cast<unsigned long long>(st.st_size) > platform::kMaxIniFileBytes) {
            error = path + " is not a Kartivo project file (larger than any project file).";
            return nullptr;
        }
    }
    return task::SavedProject::Open(path, error);
}

std::string TileFolderProblem(const task::SavedProject& project)
{
    const std::string& folder = project.Task().TileFolder;
    if (platform::DirectoryExists(folder))
        return std::string();
    return "The tile folder " + folder + " of this project does not exist.";
}

std::string EncodePng(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    // Fast compression (zlib level 1): the picture's pixels are the same,
    // and at the default level compressing took half of a render's time.
    if (image.isNull() || !image.save(&buffer, "PNG", 80))
        return std::string();
    return bytes.toStdString();
}

RenderOutcome RenderProject(const ViewerCommand& cmd, std::string& error, std::FILE* status)
{
    std::unique_ptr<task::SavedProject> project = OpenViewerProject(cmd.Project, error);
    if (!project)
        return RenderOutcome::Failed;
    error = TileFolderProblem(*project);
    if (!error.empty())
        return RenderOutcome::Failed;

    MapRenderer renderer(*project);
    const MapGrid& grid = renderer.Grid();
    Viewport view(cmd.Width, cmd.Height);
    view.Fit(grid);
    if (cmd.Scale) {
        // The window's limits: from the whole task on a quarter of the
        // picture (or the tiles' own pixels, when smaller) to 32.
        const double least = Viewport::MinScale(grid, cmd.Width, cmd.Height);
        if (*cmd.Scale < least * (1 - 1e-9) || *cmd.Scale > Viewport::kMaxScale) {
            char given[32];
            std::snprintf(given, sizeof given, "%g", *cmd.Scale);
            error = "The scale " + std::string(given) + " is outside the range this task allows at " +
                    std::to_string(cmd.Width) + "x" + std::to_string(cmd.Height) + " pixels: from " +
                    ThreeDigits(least, true) + " to " + ThreeDigits(Viewport::kMaxScale, false) + ".";
            return RenderOutcome::BadRequest;
        }
        view.SetScale(*cmd.Scale, grid);
    }
    if (cmd.CenterLon && cmd.CenterLat)
        view.SetCenter(grid.LonLatToMap(*cmd.CenterLon, *cmd.CenterLat));

    QImage image;
    {
        OverviewCount count(status);
        MapRenderer::Progress progress;
        if (count.Shown())
            progress = [&count](std::int64_t done, std::int64_t total) { count.Update(done, total); };
        image = renderer.Render(view, cmd.Show, progress);
    }
    if (image.isNull()) {
        error = "There is not enough memory for a picture of " + std::to_string(cmd.Width) + "x" +
                std::to_string(cmd.Height) + " pixels.";
        return RenderOutcome::Failed;
    }
    const std::string png = EncodePng(image);
    if (png.empty()) {
        error = "Cannot create file " + cmd.Output;
        return RenderOutcome::Failed;
    }
    // A regular file is written whole or not at all; a pipe or device is
    // written to as a stream and never replaced.
    return WriteOutputFile(cmd.Output, png, error) ? RenderOutcome::Written : RenderOutcome::Failed;
}

} // namespace kartivo::view::qt
