#pragma once
// The Qt implementation of platform::IDialogs: message boxes captioned with
// the application title and one OK button, the standard error box, the
// open-file and save-file dialogs, the folder browser, and shell open of documents, links
// and the sibling programs.
#include "platform/Dialogs.h"

#include <memory>

class QObject;

namespace kartivo::platform::qt {

// The application title: the caption of every message box.
inline constexpr const char* kApplicationTitle = "Kartivo";

class QtDialogs : public platform::IDialogs {
public:
    QtDialogs();
    ~QtDialogs() override;

    void ShowMessage(const std::string& text) override;
    void ShowError(const std::string& text) override;
    bool AskYesNo(const std::string& text) override;
    std::optional<std::string> OpenFile(const OpenFileRequest& request) override;
    std::optional<std::string> SaveFile(const SaveFileRequest& request) override;
    std::optional<std::string> BrowseFolder(const std::string& caption) override;
    bool ShellOpen(const std::string& target) override;
    bool StartProgram(const std::string& path, const std::vector<std::string>& arguments) override;

    // The desktop's opener that ShellOpen runs ("xdg-open" by default, found
    // on the PATH); tests put a script of their own here.
    void SetOpener(const std::string& program) { opener_ = program; }
    // Openers started and not yet ended.
    int OpenersRunning() const { return openersRunning_; }

private:
    std::string opener_ = "xdg-open";
    int openersRunning_ = 0;
    // Parent of the openers being watched: they go with this object, and
    // their ends are no longer reported once it is gone.
    std::unique_ptr<QObject> openers_;
};

// Qt's filter string for one entry ("Projects(*.kvpd)", "*.kvpd").
std::string QtFilterString(const std::string& description, const std::string& pattern);

// The folder browser's answer as Kartivo uses it: no trailing '/', except "/".
std::string StripTrailingDelimiter(std::string path);

} // namespace kartivo::platform::qt
