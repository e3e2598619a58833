#pragma once
// "ftl" is the failed-tiles list: this is its window.
// TfrmFlt: the window that fetches again the tiles of a failed-tiles list
// chosen by the user and reports each outcome as a line of its memo. It does
// not block the main window. The run itself is FailedTilesRun
// (ui/FailedTilesRun.h); it goes on a BackgroundJob of its own, so the window
// stays responsive, shows "n of m" as it goes, and its button stops the run
// after the current tile.
//
// Life of a run: Button1 -> list chosen -> memo cleared -> list opened (an
// error box if it cannot be) -> the run's thread starts (button caption
// "Stop"), counts the list's lines, then reads it again as it goes
// -> report lines and "n of m" gather in a bounded queue that the main thread
// empties in batches -> the thread ends (caption back, a file error shown in
// the error box) -> the next press starts a new run.
//
// Memory stays flat however long the list: the run holds one line of it at a
// time, the queue holds at most kMaxQueuedLines lines (the run waits for the
// window beyond that), and the memo (ReportMemo) keeps the last lines of the
// report under a first line that says how many earlier ones it dropped.
#include <QDialog>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/qt/BackgroundJob.h"
#include "ui/MemoLines.h"
#include "ui/qt/ReportMemo.h"

class QFrame;
class QLabel;
class QPushButton;

namespace kartivo::ui {

class FailedTilesRun;

inline constexpr const char* kFltButtonCaption = "Open *.ftl file and download...";
inline constexpr const char* kFltStopCaption = "Stop";

class TfrmFlt : public QDialog {
    Q_OBJECT
public:
    // Report lines waiting for the main thread before the run waits too.
    static constexpr std::size_t kMaxQueuedLines = 2000;

    explicit TfrmFlt(QWidget* parent = nullptr);
    // A run still going is stopped at once (its request in flight cut short)
    // and waited for as BackgroundJob says.
    ~TfrmFlt() override;

    QFrame* Panel1;
    QPushButton* Button1;
    QLabel* LabelProgress; // "n of m" while a run goes
    QFrame* Panel2;
    // Memo1's lines: the truth that the view shows. An entry holding a line
    // break stays one entry and shows as several lines. Bounded by Memo1.
    LineList Memo1Lines;
    // Shows Memo1Lines, every line of them, and drops their oldest past its
    // tail. It sits in Panel2, but Qt deletes a window's children only after
    // the window's members are gone; owned here and declared after
    // Memo1Lines, it goes before the lines it shows.
    std::unique_ptr<ReportMemo> Memo1;

    bool Running() const { return job_.Running(); }
    // Closing the window stops a run after its current tile.
    void done(int result) override;

public slots:
    void FormShow();
    void Button1Click();

signals:
    void RunFinished();

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct ReportQueue;

    void ClearMemo();
    void AddMemoLines(const std::vector<std::string>& lines);
    void StartRun(const std::string& fileName);
    void TakeReports();
    void EndRun(const std::string& error);

    bool positioned_ = false;
    std::shared_ptr<ReportQueue> queue_;
    std::shared_ptr<FailedTilesRun> run_;
    // Declared last, so that it goes first: nothing the run's calls reach on
    // the main thread is gone before it.
    platform::qt::BackgroundJob job_;
};

} // namespace kartivo::ui
