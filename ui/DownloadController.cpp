#include "ui/DownloadController.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "core/Commonfunc.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Formats.h"
#include "platform/IniFile.h"
#include "platform/TextFile.h"
#include "ui/OptionsSettings.h"
#include "ui/TaskSize.h"

namespace kartivo::ui {

namespace {

// The status bar once a tile list has been abandoned.
constexpr const char* kListStopped = "Stopped before the download began; the partial tile list was removed.";

std::string PositionKey(int slot, char axis)
{
    return "T" + std::to_string(slot + 1) + axis;
}

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
}

DownloadController::~DownloadController()
{
    listJob_.reset();
    for (int i = 0; i < task::kThreadSlots; ++i) {
        if (Workers[i])
            Workers[i]->Terminate();
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

    // 1. The proxy settings, read afresh for every download.
    const OptionsValues settings = LoadOptions(IniFileName);

    // 2 to 8. The checks of the input (zoom, map type, save path, then the
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

    // 9. (10, the task name with its extension, came with the request.)
    RunningWorkers = 0;

    // 11. Does the input describe the project file that is there already?
    // When it does not, starting afresh replaces that project's log, lists
    // and positions: the user says whether to, and No changes nothing.
    bool continueTask = false;
    const std::string projectFile = path + name;
    if (platform::FileExists(projectFile)) {
        continueTask = ContinuesProject(input, projectFile, name, mapsType, zoom);
        if (!continueTask && !dialogs.AskYesNo(StartMessages::StartAfresh(name)))
            return;
    }

    // 12. The request.
    auto params = std::make_shared<task::TaskParameters>();
    params->LeftLongitude = request.LeftLongitude;
    params->RightLongitude = request.RightLongitude;
    params->TopLatitude = request.TopLatitude;
    params->BottomLatitude = request.BottomLatitude;
    params->Zoom = zoom;
    params->ThreadCount = task::kThreadSlots;
    params->ThreadSlots = task::kThreadSlots;
    params->MapsType = mapsType;
    params->SavePath = path;
    params->TaskName = name;
    params->UseProxy = settings.UseProxy;
    params->ProxyServer = settings.ProxyServer;
    params->ProxyPort = settings.ProxyPort;
    params->ProxyUsername = settings.ProxyUsername;
    params->ProxyPassword = settings.ProxyPassword;
    params->ContinueTask = continueTask;
    CurrentParams = params;

    // How big is it? A task's size is told, and a list that cannot fit the
    // disk refused, before anything of it is made.
    if (!continueTask && !ConfirmTaskSize(*params, request.SaveFolder))
        return;

    // 13, 14. The task.
    const std::string tileFolder = path + task::TaskBaseName(name) + platform::PathDelim;
    const bool tileFolderExisted = platform::DirectoryExists(tileFolder);
    auto task = task::KvTask::Create(*params);
    if (!task) {
        dialogs.ShowMessage(StartMessages::kCreateTaskFailure);
        return;
    }
    CurrentTask = std::move(task);
    taskParams_ = params;
    madeTileFolder_ = !tileFolderExisted;
    if (CurrentTask->TileCount < params->ThreadCount)
        params->ThreadCount = CurrentTask->TileCount;

    // 15. The tile list first: it is the one record that can take long, and
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
    // The task as it would be, worked out on a copy without touching the
    // disk; a request the task refuses is left to Create, which says why.
    task::TaskParameters copy = params;
    std::string error;
    const auto described = task::KvTask::Describe(copy, error);
    if (!described)
        return true;
    TaskSize size;
    size.Tiles = described->TileCount;
    size.ListBytes = described->TileListBytes();
    size.FreeBytes = FreeSpace ? FreeSpace(saveFolder) : std::nullopt;
    size.TilesPerSecond = download::MaxTilesPerSecond(copy.ThreadCount);
    auto& dialogs = platform::Dialogs();
    if (!TileListFits(size)) {
        dialogs.ShowMessage(NoRoomForTileList(size, saveFolder));
        return false;
    }
    if (size.Tiles > kHugeTaskTiles && !dialogs.AskYesNo(HugeTaskQuestion(size)))
        return false;
    return true;
}

void DownloadController::FinishStart()
{
    const auto& params = taskParams_;
    // The other record files; a file error ends Start in the error box.
    CurrentTask->WriteProjectFile();
    CurrentTask->WriteLogHeader();
    CurrentTask->ResetFailedList();
    currentProject_ = CurrentTask->ProjectFile();
    // The count starts where the workers' resume positions put it.
    Progress.Begin(*CurrentTask, params->ThreadCount);

    // 16. The memos show the files as they are now.
    Memo1Lines.Assign(platform::ReadLines(CurrentTask->LogFile));
    logSaver_.Adopt(Memo1Lines, CurrentTask->LogFile);
    Memo2Lines.Assign(platform::ReadLines(CurrentTask->FailedFile));
    failedSaver_.Adopt(Memo2Lines, CurrentTask->FailedFile);
    view_.MemosChanged();

    // 17 to 20.
    view_.ShowTotal(TotalImagesText(CurrentTask->TileCount));
    view_.ShowProgress(Progress.Permille(), Progress.StatusText(), Progress.CountsText());
    SetCaption(kCaptionStop);
    StartWorkers(params->ThreadCount);
}

void DownloadController::ShowListProgress()
{
    const std::int64_t lines = listJob_->LinesWritten();
    const std::int64_t total = CurrentTask->TileCount;
    const int permille = total > 0 ? static_cast<int>(lines * 1000 / total) : 0;
    view_.ShowProgress(permille,
                       "Writing the tile list: " + DownloadProgress::Thousands(lines) + " of " +
                           DownloadProgress::Thousands(total) + " tiles",
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
    return "Total images: " + DownloadProgress::Thousands(count);
}

void DownloadController::ShowOpenedTotal(const StartInput& input)
{
    // Only the area and the zoom matter here; the folder and name came from
    // the file's own path. A project that Start would refuse shows no count.
    std::string text;
    double left = 0, right = 0, top = 0, bottom = 0;
    int zoom = 0;
    if (task::ParseCoordinate(input.LeftLongitude, left) && task::ParseCoordinate(input.RightLongitude, right) &&
        task::ParseCoordinate(input.TopLatitude, top) && task::ParseCoordinate(input.BottomLatitude, bottom) &&
        platform::ParseIniInteger(input.Zoom, zoom) && task::CheckRequest(left, right, top, bottom, zoom).empty())
        text = TotalImagesText(core::ComputeTileRange(left, right, top, bottom, zoom).TileCount);
    view_.ShowTotal(text);
}

bool DownloadController::ContinuesProject(const StartInput& input, const std::string& projectFile,
                                          const std::string& taskName, int mapsType, int zoom) const
{
    platform::TIniFile project(projectFile);
    return project.ReadInteger("MapsType", "MapsType", 100) == mapsType &&
           SameCoordinate(input.LeftLongitude, project.ReadString("AREA", "LeftLongitude", "")) &&
           SameCoordinate(input.RightLongitude, project.ReadString("AREA", "RightLongitude", "")) &&
           SameCoordinate(input.TopLatitude, project.ReadString("AREA", "TopLatitude", "")) &&
           SameCoordinate(input.BottomLatitude, project.ReadString("AREA", "BottomLatitude", "")) &&
           project.ReadInteger("Zoom", "Zoom", 100) == zoom &&
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
    if (!CurrentParams)
        return;
    for (int i = 0; i < CurrentParams->ThreadCount && i < task::kThreadSlots; ++i) {
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

void DownloadController::AddLogLine(const std::string& line)
{
    Progress.OnLogLine(line);
    AppendLog(line);
}

void DownloadController::AddFailedLine(const std::string& line)
{
    Progress.OnFailedLine(line);
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

void DownloadController::WorkerDone()
{
    --RunningWorkers;
}

void DownloadController::SaveWorkerPosition(int slot)
{
    if (!Workers[slot] || !CurrentTask)
        return;
    // One consistent pair: the worker publishes column and row together.
    const auto [x, y] = Workers[slot]->CurrentPosition();
    if (x <= 0 && y <= 0)
        return;   // nothing finished yet: a position saved earlier stays
    platform::TIniFile project(CurrentTask->ProjectFile());
    if (x > 0)
        project.WriteInteger("THREADS", PositionKey(slot, 'X'), x);
    if (y > 0)
        project.WriteInteger("THREADS", PositionKey(slot, 'Y'), y);
}

void DownloadController::SavePositions()
{
    if (!taskParams_)
        return;
    for (int i = 0; i < taskParams_->ThreadCount && i < task::kThreadSlots; ++i)
        SaveWorkerPosition(i);
}

void DownloadController::SaveMemos()
{
    if (!CurrentTask)
        return;
    logSaver_.Save(Memo1Lines, CurrentTask->LogFile);
    failedSaver_.Save(Memo2Lines, CurrentTask->FailedFile);
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
            SavePositions();
            SaveMemos();
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
    if (CurrentTask) {
        guarded([&] { logSaver_.Save(Memo1Lines, CurrentTask->LogFile); });
        guarded([&] { failedSaver_.Save(Memo2Lines, CurrentTask->FailedFile); });
    }
    const int count = taskParams_ ? std::min(taskParams_->ThreadCount, task::kThreadSlots) : 0;
    for (int i = 0; i < count; ++i) {
        guarded([&] { SaveWorkerPosition(i); });
        ReleaseWorker(i);
    }
    for (int i = count; i < task::kThreadSlots; ++i)
        ReleaseWorker(i);
    SetCaption(kCaptionStart);
    if (!summary.empty())
        view_.ShowSummary(Progress.Permille(), summary);
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
        shown([&] { SavePositions(); });
        shown([&] { logSaver_.Save(Memo1Lines, CurrentTask->LogFile); });
        shown([&] { failedSaver_.Save(Memo2Lines, CurrentTask->FailedFile); });
    }
    for (auto& w : Workers)
        if (w)
            w->Terminate();
    return WorkersInFlight();
}

} // namespace kartivo::ui
