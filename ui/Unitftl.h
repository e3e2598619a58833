#pragma once
// TfrmFlt: the window that fetches again the tiles of a failed-tiles list
// chosen by the user and reports each outcome as a line of its memo. It does
// not block the main window. The run itself is FailedTilesRun
// (ui/FailedTilesRun.h); it goes on a thread of its own, so the window stays
// responsive, shows "n of m" as it goes, and its button stops the run after
// the current tile.
//
// Life of a run: Button1 -> list chosen and opened -> memo cleared -> the
// run's thread starts (button caption "Stop") and reads the list as it goes
// -> report lines and "n of m" gather in a bounded queue that the main thread
// empties in batches -> the thread ends (caption back, a file error shown in
// the error box) -> the next press starts a new run.
//
// Memory stays flat however long the list: the run holds one line of it at a
// time, the queue holds at most kMaxQueuedLines lines (the run waits for the
// window beyond that), and the memo keeps the last memoTail_ lines of
// the report under a first line that says how many earlier ones it dropped.
#include <QDialog>

#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ui/MemoLines.h"

class QFrame;
class QLabel;
class QPushButton;

namespace kartivo::ui {

class FailedTilesRun;
class TMemo;

inline constexpr const char* kFltButtonCaption = "Open *.ftl file and download...";
inline constexpr const char* kFltStopCaption = "Stop";

// The first memo line once earlier report lines have been dropped.
std::string DroppedLinesNote(std::size_t dropped, std::size_t kept);

class TfrmFlt : public QDialog {
    Q_OBJECT
public:
    // Report lines the memo keeps: the last ones of a run.
    static constexpr std::size_t kMemoTailLines = 100000;
    // Report lines waiting for the main thread before the run waits too.
    static constexpr std::size_t kMaxQueuedLines = 10000;

    explicit TfrmFlt(QWidget* parent = nullptr);
    // Stops a run still going and waits for its thread.
    ~TfrmFlt() override;

    QFrame* Panel1;
    QPushButton* Button1;
    QLabel* LabelProgress;   // "n of m" while a run goes
    QFrame* Panel2;
    // Memo1's lines: the truth that the view shows. An entry holding a line
    // break stays one entry and shows as several lines. At most
    // memoTail_ and half as many again, plus the dropped-lines note.
    LineList Memo1Lines;
    // Shows Memo1Lines, every line of them. It sits in Panel2, but Qt deletes
    // a window's children only after the window's members are gone; owned
    // here and declared after Memo1Lines, it goes before the lines it shows.
    std::unique_ptr<TMemo> Memo1;

    bool Running() const { return running_; }
    // Report lines dropped from the top of the memo in this run.
    std::size_t DroppedLines() const { return dropped_; }
    // How many report lines the memo keeps (kMemoTailLines unless changed).
    void SetMemoTail(std::size_t lines) { memoTail_ = lines == 0 ? 1 : lines; }
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
    void TrimMemo();
    void StartRun(const std::string& fileName);
    void TakeReports();
    void EndRun(const std::string& error);
    void JoinRunner();

    bool positioned_ = false;
    bool running_ = false;
    std::size_t memoTail_ = kMemoTailLines;
    std::size_t dropped_ = 0;
    std::shared_ptr<ReportQueue> queue_;
    std::shared_ptr<FailedTilesRun> run_;
    std::thread runner_;
};

} // namespace kartivo::ui
