#pragma once
// The logic behind the main window's Start/Stop button and progress timer:
// validating the input, building the task and its record files, running the
// workers (it is their IWorkerHost), saving positions, log and failed list
// every fifth tick, ending the task, and the save made when the window closes
// mid-download. It knows no Qt; the window shows what it reports.
//
// Life of a download: Start (caption "Stop", timer on) -> workers append log
// and failure lines, and each tile's outcome, through Synchronize -> every
// fifth tick the new lines are
// appended to the log and the failed list and flushed, then the positions
// saved in one replacement of the project file -> the last worker's
// WorkerDone -> the next tick ends the task
// (closing lines, files written, workers released, caption "Start",
// "Task stoped!").
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "download/Unit3.h"
#include "task/Coordinates.h"
#include "task/Unitclasstask.h"
#include "ui/DownloadProgress.h"
#include "ui/MemoLines.h"
#include "ui/StartChecks.h"
#include "ui/TileListJob.h"

namespace kartivo::ui {

// What the controller needs the window to show.
class IDownloadView {
public:
    virtual ~IDownloadView() = default;
    virtual void ShowButtonCaption(const std::string& caption) = 0; // BitBtn1
    virtual void ShowTotal(const std::string& text) = 0;            // LabelTotalxy
    virtual void SetTimerEnabled(bool enabled) = 0;                 // Timer1
    virtual void MemosChanged() = 0; // lines of Memo1 or Memo2 added or replaced
    // The status bar while a task runs: the bar (0 to 1000), where the task
    // stands, and what became of its tiles.
    virtual void ShowProgress(int permille, const std::string& text, const std::string& counts) = 0;
    // The status bar once the task has ended: its summary line.
    virtual void ShowSummary(int permille, const std::string& summary) = 0;
};

inline constexpr const char* kCaptionStart = "Start";
inline constexpr const char* kCaptionStop = "Stop";

class DownloadController : public download::IWorkerHost {
public:
    explicit DownloadController(IDownloadView& view);
    // Releases the workers still held, waiting for each to leave its run.
    ~DownloadController() override;
    DownloadController(const DownloadController&) = delete;
    DownloadController& operator=(const DownloadController&) = delete;

    std::string IniFileName; // the settings file; the proxy keys are read at every Start

    // Free bytes on the disk of a save folder (statvfs); tests put a figure here.
    std::function<std::optional<std::uint64_t>(const std::string& folder)> FreeSpace;
    // A new task with more tiles than this writes its tile list on a thread
    // of its own (a list this size takes a few hundredths of a second).
    std::int64_t BackgroundListTiles = 200'000;
    // Called on the tile list writer's thread every few thousand lines.
    std::function<void(std::int64_t linesWritten)> OnTileListProgress;
    bool TileListBeingWritten() const { return listJob_ != nullptr; }

    // Makes the worker of one slot, started; tests put a failing one here.
    std::function<std::unique_ptr<download::TDownThread>(int index, const task::KvTask& task,
                                                         download::IWorkerHost& host)>
        MakeWorker;

    // BitBtn1Click: Start while the caption is "Start", Stop otherwise.
    void Press(const StartInput& input);
    void Start(const StartInput& input);
    void Stop();
    // Timer1Timer.
    void Tick();
    // The window closes: if a download runs, save as a fifth tick would, then
    // ask every worker to stop. Returns whether workers are still in flight.
    bool PrepareForClose();

    // Open task filled the controls: "Total images" shows that project's
    // count, or nothing when its area cannot be read, never the last task's.
    void ShowOpenedTotal(const StartInput& input);
    // "Total images: 66,895,872".
    static std::string TotalImagesText(std::int64_t count);
    // The project of the last Start or Open task, "" before either: the
    // Tools menu hands it to the viewer and the combiner.
    const std::string& CurrentProject() const { return currentProject_; }
    void SetCurrentProject(const std::string& projectFile) { currentProject_ = projectFile; }

    const std::string& ButtonCaption() const { return caption_; }
    bool WorkersInFlight() const;

    // State shared with the workers and the window (main thread only).
    std::array<std::unique_ptr<download::TDownThread>, task::kThreadSlots> Workers;
    int RunningWorkers = 0;
    // The task of the last Start that made one; it holds its own parameters.
    std::unique_ptr<task::KvTask> CurrentTask;
    int TimerTicks = 0;
    LineList Memo1Lines;       // the log shown in Memo1
    LineList Memo2Lines;       // the failed-tiles list held in the hidden Memo2
    DownloadProgress Progress; // where the current task stands

    // IWorkerHost, called through Synchronize on the main thread.
    void AddLogLine(const std::string& line) override;
    void AddFailedLine(const std::string& line) override;
    void WorkerDone() override;
    void TileNotSaved(const download::TileWriteFailure& failure) override;
    void TileEnded(const download::TileReport& report) override;

    // Tile position keys of the project file for every worker slot in use,
    // in one replacement of the file.
    void SavePositions();
    // Memo1's new lines appended to LogFile, Memo2's to FailedFile, flushed.
    void SaveMemos();
    // What every fifth tick, the end and the close save: SaveMemos, then
    // (only when it succeeded) SavePositions.
    void SaveRecords();
    // Samples the count and shows it in the status bar (every tick).
    void UpdateProgress();

private:
    void SetCaption(const std::string& caption);
    void AppendLog(const std::string& line); // a line of the window's own
    // The huge-task question and the refusal of a tile list that cannot fit
    // the disk; false ends Start.
    bool ConfirmTaskSize(const task::TaskParameters& params, const std::string& saveFolder);
    // The worker count of the current task, 0 without one.
    int TaskThreadCount() const;
    // Start from the tile list on: the other record files, memos, workers.
    void FinishStart();
    void ShowListProgress();
    void TickTileList();
    // A Start whose tile list was stopped or failed: back to "Start".
    void AbandonStart(const std::string& status);
    bool ContinuesProject(const StartInput& input, const std::string& projectFile,
                          const std::string& taskName, int mapsType, int zoom) const;
    void StartWorkers(int count);
    void EndTask();
    void ReleaseWorker(int slot);

    IDownloadView& view_;
    std::string caption_ = kCaptionStart;
    std::string currentProject_;
    std::unique_ptr<TileListJob> listJob_;
    bool madeTileFolder_ = false; // by the Start whose list is being written
    LinesFileSaver logSaver_;
    LinesFileSaver failedSaver_;
    bool inTick_ = false;
    std::string notSaved_; // why a tile could not be written, for the user
};

} // namespace kartivo::ui
