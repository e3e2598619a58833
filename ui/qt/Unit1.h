#pragma once
// TForm1, Kartivo's main window: the task controls (area, zoom, map type,
// save folder, task name), the Start/Stop button, the log memo, the menus,
// the progress timer. Its slots are the event handlers; each runs in the
// event guard and hands the work to DownloadController or a small function.
#include <QMainWindow>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "platform/Dialogs.h"
#include "ui/DownloadController.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTimer;
namespace kartivo::platform::qt {
class QtMainDispatcher;
}

namespace kartivo::ui {

class TMemo;
class TRadioGroup;
class TUpDown;
class TfrmAbout;
class TfrmConvert;
class TfrmFlt;
class TfrmOptions;

// The other windows of the program, created once at start-up after TForm1.
struct ProgramWindows {
    TfrmAbout* About = nullptr;
    TfrmConvert* Convert = nullptr;
    TfrmOptions* Options = nullptr;
    TfrmFlt* Flt = nullptr;
};

// The values of the settings file that the main window reads at start-up.
struct MainSettings {
    std::string DefaultSavePath;
    std::string Version;
    bool Refused = false; // no regular file, or far too large: defaults used
};
MainSettings ReadMainSettings(const std::string& iniFileName);
// "<path> is not a Kartivo settings file."
std::string NotSettingsMessage(const std::string& path);

// The messages of menu commands whose target is missing or cannot be opened.
std::string MissingFileMessage(const std::string& path);
std::string CannotOpenMessage(const std::string& target);
// The save folder used when the settings file names none: the user's home
// folder followed by "/orvanta".
std::string DefaultSaveFolder();

inline constexpr const char* kHomepageLink = "https://kartivo.example.org/";
inline constexpr const char* kMailLink = "mailto:kartivo@example.org";

class TForm1 : public QMainWindow, private IDownloadView {
    Q_OBJECT
public:
    // `dispatcher` runs the workers' Synchronize calls; the window shuts it
    // down when it closes or goes, and it must outlive the window.
    explicit TForm1(platform::qt::QtMainDispatcher& dispatcher, QWidget* parent = nullptr);
    ~TForm1() override;

    void SetWindows(const ProgramWindows& windows) { windows_ = windows; }
    // Creates the other four windows, owned by this one, in their fixed
    // order, and wires the menus to them.
    void CreateProgramWindows();
    // Workers of a closed download that may still be finishing a request.
    bool WorkersInFlight() const { return controller_.WorkersInFlight(); }
    DownloadController& Controller() { return controller_; }

private:
    // Declared ahead of every control: members are destroyed in the reverse
    // order of their declarations, so the dispatcher (owned by the caller)
    // and the controller, whose line lists the memos show, outlive them.
    platform::qt::QtMainDispatcher& dispatcher_;
    DownloadController controller_;

public:
    // Set once by FormShow.
    std::string ProgramFolder;
    std::string IniFileName;
    std::string HelpFile;
    std::string HomepageLink;
    std::string MailLink;
    std::string DefaultSavePath;

    // Controls, by their component names.
    QLabel* Label16;
    QLineEdit* EditTaskName;
    QPushButton* Button4;
    TRadioGroup* radio_mapstype;
    QLabel* Label1;
    QLineEdit* Edit1; // left longitude
    QLabel* Label2;
    QLineEdit* Edit3; // right longitude
    QLabel* Label3;
    QLineEdit* Edit2; // top latitude
    QLabel* Label4;
    QLineEdit* Edit4; // bottom latitude
    QLabel* Label5;
    QLineEdit* Edit5; // zoom level, read-only
    TUpDown* UpDown1;
    QLabel* Label6;
    QLineEdit* Edit6; // path to save
    QPushButton* Button1;
    QPushButton* BitBtn1;
    QLabel* LabelTotalxy;
    // The memos show controller_'s line lists. Like every control they sit
    // in the window's widget tree, which Qt tears down only after this
    // class's members are gone; these two are owned here instead, declared
    // after controller_, so they go first and never outlive their lines.
    std::unique_ptr<TMemo> Memo2; // failed-tiles list, hidden
    std::unique_ptr<TMemo> Memo1; // log
    QStatusBar* StatusBar1;
    QLabel* StatusPanel;    // the status bar's text when no task runs
    QWidget* ProgressPanel; // instead of it from a Start on
    QProgressBar* ProgressBar1;
    QLabel* LabelProgress; // where the task stands, then its summary
    QLabel* LabelCounts;   // what became of its tiles
    QTimer* Timer1;

    // Menu items.
    QMenu* File1;
    QAction* Exit1;
    QMenu* Options1;
    QAction* Options2;
    QMenu* Misc1;
    QAction* ConvertLongitudeorLatitudetodegreen1;
    QAction* Viewlogfile1;
    QMenu* Tools1;
    QAction* Mapviewer1;
    QAction* CombineImages1;
    QAction* ReDownloadfailedfiles1;
    QMenu* Help1;
    QAction* Usermanual1;
    QAction* Homepage1;
    QAction* About1;

public slots:
    void FormShow();
    void Button1Click();
    void BitBtn1Click();
    void Timer1Timer();
    void LoadParametersfromprojectfilel1Click();
    void Exit1Click();
    void Options2Click();
    void ConvertLongitudeorLatitudetodegreen1Click();
    void Viewlogfile1Click();
    void Mapviewer1Click();
    void CombineImages1Click();
    void ReDownloadfailedfiles1Click();
    void Usermanual1Click();
    void Homepage1Click();
    void About1Click();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Enter in any control of the left panel presses BitBtn1, the default button.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void BuildControls();
    void BuildMenus();
    void BuildStatusBar();
    // Shell open of a file beside the program, or a message naming it.
    // `options` go before the current project's path, when there is one.
    void OpenProgramFile(const std::string& path, bool isProgram,
                         const std::vector<std::string>& options = {});
    StartInput ReadInput() const;

    // IDownloadView
    void ShowButtonCaption(const std::string& caption) override;
    void ShowTotal(const std::string& text) override;
    void SetTimerEnabled(bool enabled) override;
    void MemosChanged() override;
    void ShowProgress(int permille, const std::string& text, const std::string& counts) override;
    void ShowSummary(int permille, const std::string& summary) override;

    ProgramWindows windows_;
    QWidget* leftPanel_ = nullptr;
    QTimer* memoRefresh_; // coalesces memo redraws while workers add lines
    bool shown_ = false;
    bool closing_ = false;
};

// The main window, as the other windows reach it (set while one exists).
extern TForm1* Form1;

} // namespace kartivo::ui
