#pragma once
// plateview --render: opens a project, sets up the view the command asks
// for (the whole task when it names no centre or scale) and saves the
// picture as PNG, without a window.
#include <QImage>
#include <cstdio>
#include <memory>
#include <string>

#include "view/CommandLine.h"

namespace kartivo::task {
class SavedProject;
}

namespace kartivo::view::qt {

// How a render ended, as plateview's exit status: 0 written, 1 the project
// could not be drawn or the picture not written, 2 a request that makes no
// sense for this project (a scale outside the range it allows).
enum class RenderOutcome { Written = 0, Failed = 1, BadRequest = 2 };

// Draws and writes the picture; anything but Written comes with one
// sentence in `error`. When `status` is a terminal, the overviews being
// built are counted on one line rewritten in place ("Building overviews:
// 120 of 340"), wiped when the picture is drawn; nothing goes to anything else.
RenderOutcome RenderProject(const ViewerCommand& cmd, std::string& error, std::FILE* status = nullptr);
// The same, true when the picture was written.
inline bool RenderProjectToFile(const ViewerCommand& cmd, std::string& error)
{
    return RenderProject(cmd, error) == RenderOutcome::Written;
}

// Opens a project file for viewing: as task::SavedProject::Open, except that
// a file that is no regular file, or is larger than any project file, is
// refused as no project before anything reads it.
std::unique_ptr<task::SavedProject> OpenViewerProject(const std::string& path, std::string& error);

// Why a project's tiles cannot be shown at all, or empty when they can.
std::string TileFolderProblem(const task::SavedProject& project);

// The picture as PNG bytes; empty when it cannot be encoded.
std::string EncodePng(const QImage& image);

} // namespace kartivo::view::qt
