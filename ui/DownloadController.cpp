#include "ui/DownloadController.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "core/Commonfunc.h"
#include "platform/Dialogs.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Formats.h"
#include "platform/IniFile.h"
#include "platform/TextFile.h"
#include "task/ProjectFile.h"
#include "ui/OptionsSettings.h"
#include "ui/TaskSize.h"

namespace kartivo::ui {

namespace {

// The status bar once a tile list has been abandoned.
constexpr const char* kListStopped = "Stopped before the download began; the partial tile list was removed.";

// The log window holds the newest lines of the log (the file holds them
// all); the hidden failed-tiles memo holds little more than what is not yet
// saved. Lines not yet on disk are never dropped.
constexpr std::size_t kLogTailLines = 100000;
constexpr std::size_t kFailedTailLines = 1000;
// What Start reads of a continued task's files: their ends only.
constexpr std::size_t kTailReadBytes = 16u << 20;

// A coordinate as typed against the text a project file holds: the same
// number, both read as Start reads a coordinate ("2.30", "2,3" and "+2.3"
// all match a stored "2.3").
bool SameCoordinate(const std::string& typed, const std::string& stored)
{
    double a = 0, b = 0;
    return task::ParseCoordinate(typed, a) && task::ParseCoordinate(stored, b) && a == b;
}

} // namespace

DownloadController::DownloadController(IDownloadView& view) : view_(view)
{
    MakeWorker = [](int index, const task::KvTask& task, download::IWorkerHost& host) {
        return std::make_unique<download::TDownThread>(false, index, task, host);
    };
    FreeSpace = [](const std::string& folder) { return platform::FreeDiskSpace(folder); };
    Memo1Lines.Add("[log window]");
    Memo2Lines.Add("[Failed tile inforamtion window]");
    Memo1Lines.SetTailLimit(kLogTailLines);
    Memo2Lines.SetTailLimit(kFailedTailLines);
}

DownloadController::~DownloadController()
{
    listJob_.reset();
    // Going away: a request in flight is cut short rather than waited for.
    for (int i = 0; i < task::kThreadSlots; ++i) {
        if (Workers[i])
            Workers[i]->Abandon();
    }
    for (int i = 0; i < task::kThreadSlots; ++i)
        Workers[i].reset();
}

void DownloadController::SetCaption(const std::string& caption)
{
    caption_ = caption;
    view_.ShowButtonCaption(caption_);
}

bool DownloadController::WorkersInFlight() const
{
    for (const auto& w : Workers)
        if (w && !w->Finished())
            return true;
    return false;
}

void DownloadController::Press(const StartInput& input)
{
    if (caption_ == kCaptionStart)
        Start(input);
    else
        Stop();
}

void DownloadController::Start(const StartInput& input)
{
    auto& dialogs = platform::Dialogs();

    // The proxy settings, read afresh for every download, so a change made
    // in Options applies to the next Start.
    const OptionsValues settings = LoadOptions(IniFileName);

    // The checks of the input (zoom, map type, save path, then the
    // coordinates and their ranges); a zoom that is no integer ends Start in
    // the error box.
    const StartCheck check = CheckStartInput(input);
    if (!check.PathMessage.empty()) {
        dialogs.ShowMessage(check.PathMessage);
        return;
    }
    // The save folder, created one level deep when missing, before the
    // coordinates' refusal is shown: the folder stays even then.
    const StartRequest& request = check.Request;
    if (!platform::DirectoryExists(request.SaveFolder) && !platform::CreateDir(request.SaveFolder)) {
        dialogs.ShowMessage(StartMessages::CreateDirectoryFailed(request.SaveFolder));
        return;
    }
    if (!check.AreaMessage.empty()) {
        dialogs.ShowMessage(check.AreaMessage);
        return;
    }
    const std::string& path = request.SavePath;
    const std::string& name = request.TaskName;
    const int zoom = request.Zoom;
    const int mapsType = request.MapsType;

    // No worker runs yet; the task name already carries its extension.
    RunningWorkers = 0;

    // Does the input describe the project file that is there already?
    // When it does not, starting afresh replaces that project's log, lists
    // and positions: the user says whether to, and No changes nothing.
    bool continueTask = false;
    const std::string projectFile = path + name;
    if (platform::FileExists(projectFile)) {
        continueTask = ContinuesProject(input, projectFile, name, mapsType, zoom);
        if (!continueTask && !dialogs.AskYesNo(StartMessages::StartAfresh(name)))
            return;
    }

    // The task's parameters: the checked input, every worker slot, and the
    // proxy of the settings.
    task::TaskParameters params;
    params.LeftLongitude = request.LeftLongitude;
    params.RightLongitude = request.RightLongitude;
    params.TopLatitude = request.TopLatitude;
    params.BottomLatitude = request.BottomLatitude;
    params.Zoom = zoom;
    params.ThreadCount = task::kThreadSlots;
    params.ThreadSlots = task::kThreadSlots;
    params.MapsType = mapsType;
    params.SavePath = path;
    params.TaskName = name;
    params.UseProxy = settings.UseProxy;
    params.ProxyServer = settings.ProxyServer;
    params.ProxyPort = settings.ProxyPort;
    params.ProxyUsername = settings.ProxyUsername;
    params.ProxyPassword = settings.ProxyPassword;
    params.ContinueTask = continueTask;

    // How big is it? A task's size is told, and a list that cannot fit the
    // disk refused, before anything of it is made.
    if (!continueTask && !ConfirmTaskSize(params, request.SaveFolder))
        return;

    // The task: its tile range and folder. Whether the tile folder was there
    // before is kept, so abandoning this start removes only a folder it made.
    // A task that cannot be made is told in two boxes: why, then that Start
    // failed.
    const std::string tileFolder = path + task::TaskBaseName(name) + platform::PathDelim;
    const bool tileFolderExisted = platform::DirectoryExists(tileFolder);
    task::TaskOrError made = task::KvTask::Create(std::move(params));
    if (!made.Task) {
        dialogs.ShowMessage(made.Error);
        dialogs.ShowMessage(StartMessages::kCreateTaskFailure);
        return;
    }
    CurrentTask = std::move(made.Task);
    madeTileFolder_ = !tileFolderExisted;

    // The tile list first: it is the one record that can take long, and
    // a list that is stopped or fails leaves the project as it was. A long
    // list is written on a thread of its own while the window stays
    // responsive, its progress in the status bar; the ticks finish Start
    // once it is done, and Stop abandons it.
    if (!continueTask && CurrentTask->TileCount > BackgroundListTiles) {
        listJob_ = std::make_unique<TileListJob>(*CurrentTask, OnTileListProgress);
        SetCaption(kCaptionStop);
        ShowListProgress();
        view_.SetTimerEnabled(true);
        return;
    }
    CurrentTask->WriteTileList();
    FinishStart();
}

bool DownloadController::ConfirmTaskSize(const task::TaskParameters& params, const std::string& saveFolder)
{
    // The task as it would be, worked out without touching the disk; a
    // request the task refuses is left to Create, which says why.
    const task::TaskOrError described = task::KvTask::Describe(params);
    if (!described.Task)
        return true;
    const task::KvTask& task = *described.Task;
    TaskSize size;
    size.Tiles = task.TileCount;
    size.ListBytes = task.TileListBytes();
    size.FreeBytes = FreeSpace ? FreeSpace(saveFolder) : std::nullopt;
    size.TilesPerSecond = download::MaxTilesPerSecond(task.Params.ThreadCount);
    auto& dialogs = platform::Dialogs();
    if (!TileListFits(size)) {
        dialogs.ShowMessage(NoRoomForTileList(size, saveFolder));
        return false;
    }
    if (size.Tiles > kHugeTaskTiles && !dialogs.AskYesNo(HugeTaskQuestion(size)))
        return false;
    return true;
}

int DownloadController::TaskThreadCount() const { return CurrentTask ? CurrentTask->Params.ThreadCount : 0; }

void DownloadController::FinishStart()
{
    // The other record files; a file error ends Start in the error box.
    CurrentTask->WriteProjectFile();
    CurrentTask->WriteLogHeader();
    CurrentTask->ResetFailedList();
    currentProject_ = CurrentTask->ProjectFile();
    // The count starts where the workers' resume positions put it.
    Progress.Begin(*CurrentTask);

    // The memos show the files' ends as they are now; whatever is added
    // later is appended to the files.
    notSaved_.clear();
    Memo1Lines.Assign(platform::ReadLastLines(CurrentTask->LogFile, kLogTailLines, kTailReadBytes));
    logSaver_.AdoptTail(Memo1Lines, CurrentTask->LogFile);
    Memo1Lines.KeepFrom(Memo1Lines.Total());
    Memo2Lines.Assign(platform::ReadLastLines(CurrentTask->FailedFile, kFailedTailLines, kTailReadBytes));
    failedSaver_.AdoptTail(Memo2Lines, CurrentTask->FailedFile);
    Memo2Lines.KeepFrom(Memo2Lines.Total());
    view_.MemosChanged();

    // Show the tile total and the starting count, turn the button into
    // Stop, and start the workers.
    view_.ShowTotal(TotalImagesText(CurrentTask->TileCount));
    view_.ShowProgress(Progress.Permille(), Progress.StatusText(), Progress.CountsText());
    SetCaption(kCaptionStop);
    StartWorkers(TaskThreadCount());
}

void DownloadController::ShowListProgress()
{
    const std::int64_t lines = listJob_->LinesWritten();
    const std::int64_t total = CurrentTask->TileCount;
    const int permille = total > 0 ? static_cast<int>(lines * 1000 / total) : 0;
    view_.ShowProgress(permille,
                       "Writing the tile list: " + platform::GroupThousands(lines) + " of " +
                           platform::GroupThousands(total) + " tiles",
                       "Stop cancels the task and removes the partial list.");
}

void DownloadController::TickTileList()
{
    if (!listJob_->Finished()) {
        ShowListProgress();
        return;
    }
    const TileListJob::Outcome outcome = listJob_->Result();
    const std::string error = listJob_->Error();
    listJob_.reset();
    if (outcome == TileListJob::Outcome::Written) {
        try {
            FinishStart();
        } catch (const std::exception& e) {
            AbandonStart("The task's record files could not be written.");
            platform::Dialogs().ShowError(e.what());
        }
        return;
    }
    if (outcome == TileListJob::Outcome::Cancelled) {
        AbandonStart(kListStopped);
        return;
    }
    AbandonStart("The tile list could not be written; the partial list was removed.");
    platform::Dialogs().ShowError(error);
}

void DownloadController::AbandonStart(const std::string& status)
{
    view_.SetTimerEnabled(false);
    // The tile folder this Start made is removed while it is still empty.
    if (madeTileFolder_ && CurrentTask) {
        std::error_code ec;
        std::filesystem::remove(CurrentTask->TileFolder, ec);
    }
    madeTileFolder_ = false;
    SetCaption(kCaptionStart);
    view_.ShowSummary(0, status);
}

std::string DownloadController::TotalImagesText(std::int64_t count)
{
    return "Total images: " + platform::GroupThousands(count);
}

void DownloadController::ShowOpenedTotal(const StartInput& input)
{
    // Only the area and the zoom matter here; the folder and name came from
    // the file's own path. A project that Start would refuse shows no count.
    std::string text;
    double left = 0, right = 0, top = 0, bottom = 0;
    int zoom = 0;
    if (task::ParseCoordinate(input.LeftLongitude, left) &&
        task::ParseCoordinate(input.RightLongitude, right) && task::ParseCoordinate(input.TopLatitude, top) &&
        task::ParseCoordinate(input.BottomLatitude, bottom) && platform::ParseIniInteger(input.Zoom, zoom) &&
        task::CheckRequest(left, right, top, bottom, zoom).empty())
        text = TotalImagesText(core::ComputeTileRange(left, right, top, bottom, zoom).TileCount);
    view_.ShowTotal(text);
}

bool DownloadController::ContinuesProject(const StartInput& input, const std::string& projectFile,
                                          const std::string& taskName, int mapsType, int zoom) const
{
    // Read once; an absent map type or zoom matches nothing.
    const task::ProjectIni project = task::ProjectIni::Read(projectFile);
    return project.MapsType() == mapsType && SameCoordinate(input.LeftLongitude, project.CoordinateText(0)) &&
           SameCoordinate(input.RightLongitude, project.CoordinateText(1)) &&
           SameCoordinate(input.TopLatitude, project.CoordinateText(2)) &&
           SameCoordinate(input.BottomLatitude, project.CoordinateText(3)) && project.Zoom() == zoom &&
           platform::ExtractFilePath(projectFile) == platform::IncludeTrailingPathDelimiter(input.SavePath) &&
           // The name as Start completed it: "tiny" continues "tiny.kvpd".
           platform::ExtractFileName(projectFile) == taskName;
}

void DownloadController::StartWorkers(int count)
{
    // The timer runs whatever happens below: it is what ends the task, and a
    // worker that cannot be made must not leave the window in "Stop" with
    // nothing to end it.
    TimerTicks = 0;
    std::string failure;
    for (int i = 0; i < count && failure.empty(); ++i) {
        try {
            Workers[i] = MakeWorker(i, *CurrentTask, *this);
            ++RunningWorkers;
        } catch (const std::exception& e) {
            failure = e.what();
        } catch (...) {
            failure = "A download worker could not be started.";
        }
    }
    if (!failure.empty()) {
        // The workers already made stop after their current tile; the next
        // tick after the last of them ends the task as usual.
        for (auto& w : Workers)
            if (w)
                w->Terminate();
        platform::Dialogs().ShowError(failure);
    }
    view_.SetTimerEnabled(true);
}

void DownloadController::Stop()
{
    if (listJob_) {
        // The next tick sees the writer stop and puts the window back.
        listJob_->Cancel();
        view_.ShowProgress(0, "Stopping: removing the partial tile list...", "");
        return;
    }
    for (int i = 0; i < TaskThreadCount() && i < task::kThreadSlots; ++i) {
        if (Workers[i])
            Workers[i]->Terminate();
        AppendLog("Thread" + std::to_string(i + 1) + "will be terminated by user. please wait...");
    }
}

void DownloadController::AppendLog(const std::string& line)
{
    Memo1Lines.Add(line);
    view_.MemosChanged();
}

void DownloadController::AddLogLine(const std::string& line) { AppendLog(line); }

void DownloadController::AddFailedLine(const std::string& line)
{
    Memo2Lines.Add(line);
    view_.MemosChanged();
}

void DownloadController::UpdateProgress()
{
    if (!Progress.Active())
        return;
    Progress.Sample();
    view_.ShowProgress(Progress.Permille(), Progress.StatusText(), Progress.CountsText());
}

void DownloadController::WorkerDone() { --RunningWorkers; }

void DownloadController::TileEnded(const download::TileReport& report) { Progress.OnTileEnded(report); }

void DownloadController::TileNotSaved(const download::TileWriteFailure& failure)
{
    // The first cause is the one to mend; the other workers usually meet
    // the same full disk.
    if (!notSaved_.empty())
        return;
    notSaved_ = failure.Message();
    AppendLog(notSaved_);
}

void DownloadController::SavePositions()
{
    if (!CurrentTask)
        return;
    // One consistent pair per worker (published together), and every pair
    // in one replacement of the project file.
    std::array<std::optional<task::ProjectIni::Position>, task::kThreadSlots> positions;
    bool any = false;
    for (int i = 0; i < TaskThreadCount() && i < task::kThreadSlots; ++i) {
        if (!Workers[i])
            continue;
        const auto [x, y] = Workers[i]->CurrentPosition();
        if (x <= 0 && y <= 0)
            continue; // nothing finished yet: a position saved earlier stays
        positions[static_cast<std::size_t>(i)] = task::ProjectIni::Position{x, y};
        any = true;
    }
    if (any)
        task::ProjectIni::SavePositions(CurrentTask->ProjectFile(), positions);
}

void DownloadController::SaveMemos()
{
    if (!CurrentTask)
        return;
    // Each is on disk (flushed) when its save returns. Both are tried; a
    // failure names every file that could not be written.
    std::string errors;
    auto save = [&](LinesFileSaver& saver, LineList& lines, const std::string& file) {
        try {
            saver.Save(lines, file);
            lines.KeepFrom(saver.LinesWritten());
        } catch (const std::exception& e) {
            errors += (errors.empty() ? "" : "\n") + std::string(e.what());
        }
    };
    save(logSaver_, Memo1Lines, CurrentTask->LogFile);
    save(failedSaver_, Memo2Lines, CurrentTask->FailedFile);
    if (!errors.empty())
        throw platform::Exception(errors);
}

void DownloadController::SaveRecords()
{
    // The log and the failed list first: a position may pass a tile only
    // once the lines that tell what became of it are on disk. A list that
    // cannot be saved leaves the positions where they were.
    SaveMemos();
    SavePositions();
}

void DownloadController::ReleaseWorker(int slot)
{
    // Waits, if need be, for the thread to leave its run; it has already
    // lowered the count, so this is short.
    Workers[slot].reset();
}

void DownloadController::Tick()
{
    // A message box shown by a tick runs a nested event loop in which the
    // timer keeps firing; those ticks wait for the box instead of stacking
    // further boxes on top of it.
    if (inTick_)
        return;
    inTick_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{inTick_};

    if (listJob_) {
        TickTileList();
        return;
    }

    ++TimerTicks;
    UpdateProgress();
    if (TimerTicks % 5 == 0) {
        // A file that cannot be written ends the tick here, in the error box;
        // the next fifth tick tries again. The box is shown while this tick
        // still holds the guard, so the ticks that fire meanwhile wait for it.
        try {
            SaveRecords();
        } catch (const std::exception& e) {
            platform::Dialogs().ShowError(e.what());
            return;
        }
    }
    if (RunningWorkers == 0 && caption_ != kCaptionStart)
        EndTask();
}

void DownloadController::EndTask()
{
    view_.SetTimerEnabled(false);
    const std::string summary = Progress.Active() ? Progress.Summary() : std::string();
    if (!summary.empty())
        AppendLog(summary);
    AppendLog("");
    AppendLog("--------------------------------");
    AppendLog("Task Stoped!");
    AppendLog("");
    AppendLog("Now time:" + platform::FormatDateTimeNow());
    AppendLog("");
    AppendLog("Log file has been saved as " + (CurrentTask ? CurrentTask->LogFile : std::string()));

    // Unlike a periodic save, a failure here must not leave the window in
    // "Stop" with no worker and the timer off: the end is finished anyway
    // (the other files still written, workers released, "Start"), and every
    // file that could not be written is named in one error box.
    std::vector<std::string> errors;
    auto guarded = [&](auto&& step) {
        try {
            step();
        } catch (const std::exception& e) {
            if (std::find(errors.begin(), errors.end(), e.what()) == errors.end())
                errors.push_back(e.what());
        }
    };
    // The lists first; the positions only when both are on disk.
    if (CurrentTask)
        guarded([&] { SaveRecords(); });
    for (int i = 0; i < task::kThreadSlots; ++i)
        ReleaseWorker(i);
    SetCaption(kCaptionStart);
    if (!summary.empty())
        view_.ShowSummary(Progress.Permille(), summary);
    // Why the task stopped short, when a tile could not be written.
    if (!notSaved_.empty())
        platform::Dialogs().ShowMessage(notSaved_);
    if (!errors.empty()) {
        std::string text;
        for (const auto& e : errors)
            text += (text.empty() ? "" : "\n") + e;
        platform::Dialogs().ShowError(text);
    }
    platform::Dialogs().ShowMessage(StartMessages::kTaskStoped);
}

bool DownloadController::PrepareForClose()
{
    // A tile list still being written is abandoned and removed, and the
    // tile folder this Start made with it.
    if (listJob_) {
        listJob_.reset();
        AbandonStart(kListStopped);
    }
    if (caption_ == kCaptionStop && CurrentTask) {
        // Exactly what a fifth tick saves, so the next Start of the project
        // continues where each worker was. There is no later tick to try
        // again: a file that cannot be written is shown, the other files are
        // still saved, and the window closes all the same.
        auto shown = [](auto&& save) {
            try {
                save();
            } catch (const std::exception& e) {
                platform::Dialogs().ShowError(e.what());
            }
        };
        // The log says how far the task got and that Start continues it.
        if (Progress.Active())
            AppendLog(Progress.Summary());
        shown([&] { SaveRecords(); });
    }
    // The window is closing: a tile still being fetched (a slow server may
    // hold it for a minute per attempt) is given up, to be fetched on resume.
    for (auto& w : Workers)
        if (w)
            w->Abandon();
    return WorkersInFlight();
}

} // namespace kartivo::ui
