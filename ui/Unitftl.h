#pragma once
// TfrmFlt: the modal window that fetches again the tiles of a failed-tiles
// list chosen by the user, on the main thread, and reports each outcome as a
// line of its memo. The run itself is FailedTilesRun (ui/FailedTilesRun.h).
#include <QDialog>

#include <string>
#include <vector>

class QFrame;
class QPlainTextEdit;
class QPushButton;

class TfrmFlt : public QDialog {
    Q_OBJECT
public:
    explicit TfrmFlt(QWidget* parent = nullptr);

    QFrame* Panel1;
    QPushButton* Button1;
    QFrame* Panel2;
    QPlainTextEdit* Memo1;
    // Memo1's lines: the truth that the view shows. An entry holding a line
    // break stays one entry and shows as several lines.
    std::vector<std::string> Memo1Lines;

public slots:
    void FormShow();
    void Button1Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void ClearMemo();
    void AddMemoLine(const std::string& line);

    bool positioned_ = false;
    bool running_ = false;
};
