#pragma once
// A synthetic download task for the viewer tests: a project file written as
// Start writes it, tiles of known solid colours in the task's own image
// format, and helpers to make tiles blank, missing, failed or broken.
#include <QColor>
#include <QImage>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/Commonfunc.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/TextFile.h"
#include "task/SavedProject.h"
#include "task/Unitclasstask.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

namespace kartivo::testing {

// Tiles of columns x0..x1 and rows y0..y1 at zoom `zoom`.
struct TaskShape {
    int X0, X1, Y0, Y1, Zoom, MapsType;
};

class SyntheticTask {
public:
    explicit SyntheticTask(const TaskShape& shape, const std::string& name = "view.kvpd") : shape_(shape)
    {
        params_.SavePath = dir_.Path();
        params_.TaskName = name;
        params_.Zoom = shape.Zoom;
        params_.MapsType = shape.MapsType;
        // Corners inside the outer tiles, so the range is exactly the shape.
        params_.LeftLongitude = core::TileXToLon(shape.X0 + 0.3, shape.Zoom);
        params_.RightLongitude = core::TileXToLon(shape.X1 + 0.7, shape.Zoom);
        params_.BottomLatitude = core::TileYToLat(shape.Y0 + 0.3, shape.Zoom);
        params_.TopLatitude = core::TileYToLat(shape.Y1 + 0.7, shape.Zoom);
        task::TaskOrError made = task::KvTask::Create(params_);
        EXPECT_TRUE(made.Task) << made.Error;
        task_ = std::move(made.Task);
        task_->WriteProjectFile();
        task_->ResetFailedList();
    }
    // Saves the project again as a continued run saves it: the same request
    // with the workers' positions read back.
    void Continue()
    {
        params_.ContinueTask = true;
        task_ = task::KvTask::Create(params_).Task;
        ASSERT_TRUE(task_);
        task_->WriteProjectFile();
    }

    const task::KvTask& Task() const { return *task_; }
    const task::TaskParameters& Params() const { return task_->Params; }
    std::string ProjectPath() const { return task_->ProjectFile(); }
    const std::string& Folder() const { return dir_.Path(); }

    // A colour of its own for every tile of the shape, far apart per channel
    // so that JPEG and scaling never make two alike.
    QColor ColourOf(int x, int y) const
    {
        const int i = x - shape_.X0, j = y - shape_.Y0;
        return QColor(30 + (i * 70) % 210, 30 + (j * 60) % 210, 220 - ((i + j) * 50) % 180);
    }

    void WriteTile(int x, int y, QColor colour)
    {
        QImage image(task_->TileWidth, task_->TileHeight, QImage::Format_RGB32);
        image.fill(colour);
        // Ordnance Survey tiles arrive as PNG and are stored as .jpg; bytes as received.
        const char* format = task_->Params.MapsType == 5 || task_->Params.MapsType == 22 ? "PNG" : "JPG";
        ASSERT_TRUE(image.save(QString::fromStdString(task_->GetTileFilePath(x, y)), format, 95));
    }
    void WriteAllTiles()
    {
        for (int x = shape_.X0; x <= shape_.X1; ++x)
            for (int y = shape_.Y0; y <= shape_.Y1; ++y)
                WriteTile(x, y, ColourOf(x, y));
    }
    void MakeBlank(int x, int y)
    {
        testing::WriteBytes(task_->GetTileFilePath(x, y), ReadBytes(task_->BlankImageFile()));
    }
    void Remove(int x, int y) { std::remove(task_->GetTileFilePath(x, y).c_str()); }
    void WriteBytes(int x, int y, const std::string& bytes)
    {
        testing::WriteBytes(task_->GetTileFilePath(x, y), bytes);
    }
    // Removes the tiles and names them in the failed list.
    void Fail(const std::vector<std::pair<int, int>>& tiles)
    {
        std::vector<std::string> lines;
        for (auto [x, y] : tiles) {
            Remove(x, y);
            lines.push_back(task::JoinFailedLine(task_->GetTileFilePath(x, y), task_->GetTileUrl(x, y)));
        }
        platform::WriteLines(task_->FailedFile, lines);
    }
    // The colour the blank reference image shows.
    QColor BlankColour() const
    {
        QImage blank(QString::fromStdString(task_->BlankImageFile()));
        return blank.pixelColor(blank.width() / 2, blank.height() / 2);
    }

private:
    TempFolder dir_;
    TaskShape shape_;
    task::TaskParameters params_;
    std::unique_ptr<task::KvTask> task_;
};

// Colours equal within what JPEG and smoothing change in a solid area.
inline ::testing::AssertionResult Near(QColor actual, QColor expected, int tolerance = 14)
{
    const int d =
        std::max({std::abs(actual.red() - expected.red()), std::abs(actual.green() - expected.green()),
                  std::abs(actual.blue() - expected.blue())});
    if (d <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "colour " << actual.name().toStdString() << " is not near " << expected.name().toStdString();
}

} // namespace kartivo::testing
