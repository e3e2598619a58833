#pragma once
// The Map Combiner window: the project file, the output format with its
// options and the output path; Combine runs the engine on a thread of its own
// under a progress bar and the time left, and Cancel leaves nothing behind.
//
// Closing the window while a run is on cancels it and waits for it (within
// BackgroundJob's bound), so that its temporary files are gone.
#include <QWidget>

#include <chrono>
#include <memory>
#include <string>

#include "join/Combiner.h"
#include "platform/qt/BackgroundJob.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
namespace kartivo::task {
class SavedProject;
}

namespace kartivo::join::qt {

class TfrmJoin : public QWidget {
    Q_OBJECT
public:
    explicit TfrmJoin(QWidget* parent = nullptr);
    ~TfrmJoin() override;

    // Loads a project as if chosen with Browse; false (with a message box)
    // when it cannot be opened.
    bool OpenProject(const std::string& path);
    bool Running() const { return job_.Running(); }
    join::JoinOptions Options() const;

    QLineEdit* editProject;
    QPushButton* btnProject;
    QLabel* lblTask;
    QComboBox* comboFormat;
    QComboBox* comboCompress;
    QSpinBox* spinQuality;
    QCheckBox* checkClip;
    QLineEdit* editOutput;
    QPushButton* btnOutput;
    QProgressBar* progressBar;
    QLabel* lblStatus;
    QPushButton* btnCombine;
    QPushButton* btnCancel;

public slots:
    void btnProjectClick();
    void editProjectDone();
    void btnOutputClick();
    void btnCombineClick();
    void btnCancelClick();
    void comboFormatChange();

signals:
    // Emitted when a run has ended and the window shows its outcome.
    void RunEnded(join::JoinOutcome outcome);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void OnProgress(qint64 done, qint64 total);
    void OnFinished(join::JoinOutcome outcome, const join::JoinSummary& summary, const QString& error);
    void SetRunning(bool running);
    void UpdateControls();
    void StopWorker();

    // Shared with a run, which must not depend on the window.
    std::shared_ptr<task::SavedProject> project_;
    std::string openedPath_; // as given to OpenProject
    bool centred_ = false;
    bool outputEdited_ = false;                  // the user typed or chose an output path
    std::shared_ptr<join::JoinControl> control_; // of the current or last run
    std::chrono::steady_clock::time_point started_;
    // Declared last, so that it goes first: a run still going is cancelled
    // and waited for before anything it reports to is gone.
    platform::qt::BackgroundJob job_;
};

} // namespace kartivo::join::qt
