#include "task/SavedProject.h"

#include <cstdio>
#include <sys/stat.h>

#include "core/MapTypes.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "platform/SafeRead.h"
#include "platform/TextFile.h"
#include "task/Coordinates.h"
#include "task/ProjectFile.h"

namespace kartivo::task {

const char* TileStateName(TileState state)
{
    switch (state) {
    case TileState::Saved: return "saved";
    case TileState::Blank: return "blank";
    case TileState::Missing: return "missing";
    case TileState::Failed: return "failed";
    }
    return "missing";
}

bool ReadWholeFile(const std::string& path, std::string& bytes, std::size_t maxBytes)
{
    return platform::ReadRegularFile(path, maxBytes, bytes) == platform::ReadStatus::Ok;
}

std::unique_ptr<SavedProject> SavedProject::Open(const std::string& projectPath, std::string& error)
{
    error.clear();
    if (!platform::FileExists(projectPath)) {
        error = "The project file " + projectPath + " does not exist.";
        return nullptr;
    }
    // Read once; a file far larger than any project (or no regular file) is
    // refused without being read.
    const ProjectIni ini = ProjectIni::Read(projectPath);
    if (ini.State() == ProjectIni::Status::NotAProject) {
        error = platform::RegularFileSize(projectPath) > static_cast<long long>(platform::kMaxIniFileBytes)
                    ? NotAProjectMessage(projectPath)
                    : "The project file " + projectPath + " cannot be read.";
        return nullptr;
    }
    if (ini.State() == ProjectIni::Status::Missing) {
        error = "The project file " + projectPath + " does not exist.";
        return nullptr;
    }

    std::unique_ptr<SavedProject> project(new SavedProject());
    double values[4] = {};
    for (int i = 0; i < 4; ++i) {
        project->coordinateTexts_[i] = ini.CoordinateText(i);
        if (!ParseCoordinate(project->coordinateTexts_[i], values[i])) {
            error = projectPath + " is not a Kartivo project file (its area is missing or unreadable).";
            return nullptr;
        }
    }
    TaskParameters p;
    p.LeftLongitude = values[0];
    p.RightLongitude = values[1];
    p.TopLatitude = values[2];
    p.BottomLatitude = values[3];
    p.Zoom = ini.Zoom().value_or(0);
    p.MapsType = ini.MapsType().value_or(0);
    if (!core::FindMapType(p.MapsType)) {
        error = projectPath + " names an unknown map type (" + std::to_string(p.MapsType) + ").";
        return nullptr;
    }
    p.SavePath = platform::ExtractFilePath(projectPath);
    if (p.SavePath.empty())
        p.SavePath = std::string(".") + platform::PathDelim;
    p.TaskName = platform::ExtractFileName(projectPath);
    p.ContinueTask = true; // read the workers' saved positions

    TaskOrError described = KvTask::Describe(std::move(p));
    if (!described.Task) {
        error = projectPath + ": " + described.Error;
        return nullptr;
    }
    project->task_ = std::move(described.Task);

    if (platform::FileExists(project->task_->FailedFile)) {
        try {
            for (const std::string& line : platform::ReadLines(project->task_->FailedFile)) {
                const FailedEntry entry = SplitFailedLine(line);
                if (!entry.Path.empty())
                    project->failedNames_.insert(platform::ExtractFileName(entry.Path));
            }
        } catch (const std::exception&) {
            // An unreadable failed list names no tile; the tiles still show.
        }
    }

    project->blankFile_ = project->task_->BlankImageFile();
    ReadWholeFile(project->blankFile_, project->blankBytes_);
    return project;
}

TileState SavedProject::StateOfBytes(const std::string& fileName, const std::string& bytes) const
{
    if (bytes.empty())
        return failedNames_.count(fileName) ? TileState::Failed : TileState::Missing;
    if (!blankBytes_.empty() && bytes == blankBytes_)
        return TileState::Blank;
    return TileState::Saved;
}

TileState SavedProject::StateOfTile(int x, int y) const
{
    const std::string path = task_->GetTileFilePath(x, y);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
        return StateOfBytes(task_->GetTileFileName(x, y), std::string());
    if (blankBytes_.empty() || static_cast<std::size_t>(st.st_size) != blankBytes_.size())
        return TileState::Saved;
    std::string bytes;
    if (!ReadWholeFile(path, bytes))
        return StateOfBytes(task_->GetTileFileName(x, y), std::string());
    return StateOfBytes(task_->GetTileFileName(x, y), bytes);
}

} // namespace kartivo::task
