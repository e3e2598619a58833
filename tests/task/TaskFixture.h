#pragma once
// Shared set-up of the task tests: a fresh save folder, a recorder for the
// message boxes and a period as decimal separator, so that the expected
// file texts do not depend on the machine's regional settings.
#include "core/Commonfunc.h"
#include "platform/Dialogs.h"
#include "platform/Formats.h"
#include "task/Unitclasstask.h"
#include "tests/support/TaskShapes.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

namespace kartivo::testing {

class TaskTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetDialogs(&dialogs);
        platform::SetDecimalSeparatorForTests('.');
        params.SavePath = dir.Path();
        params.TaskName = "newtask.kvpd";
    }
    void TearDown() override
    {
        platform::SetDialogs(nullptr);
        platform::SetDecimalSeparatorForTests(std::nullopt);
    }

    // The single Road tile of the point 2.3522, 48.8566 at zoom 13.
    void UseWorkedExample()
    {
        params.LeftLongitude = 2.3522;
        params.RightLongitude = 2.36;
        params.TopLatitude = 48.86;
        params.BottomLatitude = 48.8566;
        params.Zoom = 13;
        params.MapsType = 5;
    }

    // An area whose tiles are exactly columns x0..x1 and rows y0..y1.
    void UseTiles(int x0, int x1, int y0, int y1, int zoom) { SetAreaOfTiles(params, x0, x1, y0, y1, zoom); }

    std::unique_ptr<task::KvTask> CreateAndWrite()
    {
        auto task = task::KvTask::Create(params).Task;
        if (task) {
            task->WriteProjectFile();
            task->WriteTileList();
            task->WriteLogHeader();
            task->ResetFailedList();
        }
        return task;
    }

    TempFolder dir;
    platform::RecordingDialogs dialogs;
    task::TaskParameters params;
};

} // namespace kartivo::testing
