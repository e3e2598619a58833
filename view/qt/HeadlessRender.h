#pragma once
// plateview --render: opens a project, sets up the view the command asks
// for (the whole task when it names no centre or scale) and saves the
// picture as PNG, without a window.
#include <string>

#include "view/CommandLine.h"

namespace kartivo::task { class SavedProject; }

namespace kartivo::view::qt {

// True when the PNG was written; otherwise one sentence in `error`.
bool RenderProjectToFile(const ViewerCommand& cmd, std::string& error);

// Why a project's tiles cannot be shown at all, or empty when they can.
std::string TileFolderProblem(const task::SavedProject& project);

} // namespace kartivo::view::qt
