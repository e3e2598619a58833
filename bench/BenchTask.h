#pragma once
// The start of every benchmark that works on a saved task: the task made as
// Start makes it, with its project file and empty failed list written. The
// area usually comes from testing::SetAreaOfTiles.
#include "task/Unitclasstask.h"
#include "tests/support/TaskShapes.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace kartivo::bench {

// Makes the task of `params` and writes its project file and empty failed
// list; a refused task ends the benchmark.
inline std::unique_ptr<task::KvTask> CreateTaskFilesOrExit(const task::TaskParameters& params)
{
    auto task = task::KvTask::Create(params).Task;
    if (!task) {
        std::fprintf(stderr, "cannot make the task\n");
        std::exit(1);
    }
    task->WriteProjectFile();
    task->ResetFailedList();
    return task;
}

} // namespace kartivo::bench
