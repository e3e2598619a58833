#include "view/qt/HeadlessRender.h"

#include <QSaveFile>

#include "platform/Files.h"
#include "task/SavedProject.h"
#include "view/qt/MapRenderer.h"

namespace kartivo::view::qt {

std::string TileFolderProblem(const task::SavedProject& project) {
    const std::string& folder = project.Task().TileFolder;
    if (platform::DirectoryExists(folder))
        return std::string();
    return "The tile folder " + folder + " of this project does not exist.";
}

bool RenderProjectToFile(const ViewerCommand& cmd, std::string& error) {
    std::unique_ptr<task::SavedProject> project = task::SavedProject::Open(cmd.Project, error);
    if (!project)
        return false;
    error = TileFolderProblem(*project);
    if (!error.empty())
        return false;

    MapRenderer renderer(*project);
    const MapGrid& grid = renderer.Grid();
    Viewport view(cmd.Width, cmd.Height);
    view.Fit(grid);
    if (cmd.Scale)
        view.SetScale(*cmd.Scale, grid);
    if (cmd.CenterLon && cmd.CenterLat)
        view.SetCenter(grid.LonLatToMap(*cmd.CenterLon, *cmd.CenterLat));

    const QImage image = renderer.Render(view, cmd.Show);
    if (image.isNull()) {
        error = "There is not enough memory for a picture of " + std::to_string(cmd.Width) + "x" +
                std::to_string(cmd.Height) + " pixels.";
        return false;
    }
    // Written whole or not at all: a failed write leaves no half picture.
    QSaveFile file(QString::fromStdString(cmd.Output));
    if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG") || !file.commit()) {
        error = "Cannot create file " + cmd.Output;
        return false;
    }
    return true;
}

} // namespace kartivo::view::qt
