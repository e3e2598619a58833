#pragma once
// The user-facing boxes and dialogs as one small interface: message boxes
// (caption "Kartivo", one OK button), the standard error box, the open-file
// dialog, the save-file dialog, the folder browser and shell open. The windows install the Qt
// implementation; engine code and tests go through Dialogs() only, and tests
// answer through RecordingDialogs without a screen.
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace kartivo::platform {

struct OpenFileRequest {
    std::string title;
    std::string filterDescription; // e.g. "Projects(*.kvpd)"
    std::string filterPattern;     // e.g. "*.kvpd"
    std::string initialDir;        // may be empty
};

struct SaveFileRequest {
    std::string title;
    std::string filterDescription; // e.g. "PNG images"
    std::string filterPattern;     // e.g. "*.png"
    std::string initialPath;       // folder or file the dialog starts at; may be empty
    std::string extension;         // e.g. ".png": ChooseSaveFile adds it when missing
};

class IDialogs {
public:
    virtual ~IDialogs() = default;
    virtual void ShowMessage(const std::string& text) = 0; // modal, OK
    virtual void ShowError(const std::string& text) = 0;   // standard error box, text as given
    // Modal question with Yes and No; true for Yes.
    virtual bool AskYesNo(const std::string& text) = 0;
    // Full path of the chosen file, or nothing on cancel.
    virtual std::optional<std::string> OpenFile(const OpenFileRequest& request) = 0;
    // Full path typed or chosen to save to, as the user gave it, or nothing
    // on cancel. Callers go through ChooseSaveFile.
    virtual std::optional<std::string> SaveFile(const SaveFileRequest& request) = 0;
    // Chosen folder without a trailing '/', except for "/" itself.
    virtual std::optional<std::string> BrowseFolder(const std::string& caption) = 0;
    // Opens a document or link with the desktop's handler; false when
    // nothing could open it.
    virtual bool ShellOpen(const std::string& target) = 0;
    // Starts a program detached with the given arguments; false when it
    // could not be started.
    virtual bool StartProgram(const std::string& path, const std::vector<std::string>& arguments) = 0;
};

// The message shown when nothing could open a document, a link or a program.
std::string CannotOpenMessage(const std::string& target);

// Shell open through Dialogs(); when nothing could open the target, a
// message box says so. Returns whether it opened.
bool ShellOpenOrTell(const std::string& target);

// The open dialog for a Kartivo project (*.kvpd), as all three programs
// show it: the caption and the folder it starts in are the caller's.
std::optional<std::string> ChooseProject(const std::string& title, const std::string& initialDir);

// The save dialog; the chosen path gets the request's extension when it does
// not already end in it (in any case: "MAP.PNG" stays as it is).
std::optional<std::string> ChooseSaveFile(const SaveFileRequest& request);

// The installed implementation; a RecordingDialogs until one is set.
IDialogs& Dialogs();
void SetDialogs(IDialogs* dialogs); // nullptr restores the default recorder

// Records every call and answers dialogs from queued answers (cancel when
// the queue is empty).
class RecordingDialogs : public IDialogs {
public:
    std::vector<std::string> messages;
    std::vector<std::string> errors;
    std::vector<OpenFileRequest> openRequests;
    std::vector<SaveFileRequest> saveRequests;
    std::vector<std::string> browseCaptions;
    std::vector<std::string> shellOpened;
    std::vector<std::string> programsStarted;
    std::vector<std::vector<std::string>> programArguments; // one entry per program started
    std::vector<std::string> questions;
    std::deque<std::optional<std::string>> openAnswers;
    std::deque<std::optional<std::string>> saveAnswers;
    std::deque<std::optional<std::string>> browseAnswers;
    std::deque<bool> yesNoAnswers; // No when empty
    bool shellOpenSucceeds = true;
    bool startProgramSucceeds = true;

    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    void ShowError(const std::string& text) override { errors.push_back(text); }
    bool AskYesNo(const std::string& text) override;
    std::optional<std::string> OpenFile(const OpenFileRequest& request) override;
    std::optional<std::string> SaveFile(const SaveFileRequest& request) override;
    std::optional<std::string> BrowseFolder(const std::string& caption) override;
    bool ShellOpen(const std::string& target) override
    {
        shellOpened.push_back(target);
        return shellOpenSucceeds;
    }
    bool StartProgram(const std::string& path, const std::vector<std::string>& arguments) override
    {
        programsStarted.push_back(path);
        programArguments.push_back(arguments);
        return startProgramSucceeds;
    }
};

} // namespace kartivo::platform
