#pragma once
// TfrmFlt: the modal window that fetches again the tiles of a failed-tiles
// list chosen by the user and reports each outcome as a line of its memo.
// The run itself is FailedTilesRun (ui/FailedTilesRun.h); it goes on a thread
// of its own, so the window stays responsive, shows "n of m" as it goes, and
// its button stops the run after the current tile.
//
// Life of a run: Button1 -> list chosen -> memo cleared -> the run's thread
// starts (button caption "Stop") -> report lines and "n of m" arrive queued on
// the main thread -> the thread ends (caption back, a file error shown in
// the error box) -> the next press starts a new run.
#include <QDialog>

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

class TfrmFlt : public QDialog {
    Q_OBJECT
public:
    explicit TfrmFlt(QWidget* parent = nullptr);
    // Stops a run still going and waits for its thread.
    ~TfrmFlt() override;

    QFrame* Panel1;
    QPushButton* Button1;
    QLabel* LabelProgress;   // "n of m" while a run goes
    QFrame* Panel2;
    // Memo1's lines: the truth that the view shows. An entry holding a line
    // break stays one entry and shows as several lines.
    LineList Memo1Lines;
    // Shows Memo1Lines, every line of them. It sits in Panel2, but Qt deletes
    // a window's children only after the window's members are gone; owned
    // here and declared after Memo1Lines, it goes before the lines it shows.
    std::unique_ptr<TMemo> Memo1;

    bool Running() const { return running_; }
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
    void ClearMemo();
    void AddMemoLine(const std::string& line);
    void StartRun(std::vector<std::string> lines);
    void EndRun(const std::string& error);
    void JoinRunner();

    bool positioned_ = false;
    bool running_ = false;
    std::shared_ptr<FailedTilesRun> run_;
    std::thread runner_;
};

} // namespace kartivo::ui
