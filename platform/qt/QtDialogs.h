#pragma once
// The Qt implementation of platform::IDialogs: message boxes captioned with
// the application title and one OK button, the standard error box, the
// open-file dialog, the folder browser, and shell open of documents, links
// and the sibling programs.
#include "platform/Dialogs.h"

namespace kartivo::platform::qt {

// The application title: the caption of every message box.
inline constexpr const char* kApplicationTitle = "Kartivo";

class QtDialogs : public platform::IDialogs {
public:
    void ShowMessage(const std::string& text) override;
    void ShowError(const std::string& text) override;
    bool AskYesNo(const std::string& text) override;
    std::optional<std::string> OpenFile(const OpenFileRequest& request) override;
    std::optional<std::string> BrowseFolder(const std::string& caption) override;
    bool ShellOpen(const std::string& target) override;
    bool StartProgram(const std::string& path, const std::vector<std::string>& arguments) override;
};

// Qt's filter string for one entry ("Projects(*.kvpd)", "*.kvpd").
std::string QtFilterString(const std::string& description, const std::string& pattern);

// The folder browser's answer as Kartivo uses it: no trailing '/', except "/".
std::string StripTrailingDelimiter(std::string path);

} // namespace kartivo::platform::qt
