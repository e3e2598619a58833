#include "platform/Dialogs.h"

#include <atomic>

namespace kartivo::platform {

namespace {

RecordingDialogs& DefaultRecorder() {
    static RecordingDialogs recorder;
    return recorder;
}

std::atomic<IDialogs*> g_installed{nullptr};

std::optional<std::string> PopAnswer(std::deque<std::optional<std::string>>& answers) {
    if (answers.empty())
        return std::nullopt;   // an unanswered dialog counts as cancelled
    std::optional<std::string> answer = std::move(answers.front());
    answers.pop_front();
    return answer;
}

} // namespace

std::string CannotOpenMessage(const std::string& target) {
    return "Nothing could open:\n" + target;
}

bool ShellOpenOrTell(const std::string& target) {
    if (Dialogs().ShellOpen(target))
        return true;
    Dialogs().ShowMessage(CannotOpenMessage(target));
    return false;
}

IDialogs& Dialogs() {
    IDialogs* installed = g_installed.load();
    return installed ? *installed : DefaultRecorder();
}

void SetDialogs(IDialogs* dialogs) { g_installed.store(dialogs); }

std::optional<std::string> RecordingDialogs::OpenFile(const OpenFileRequest& request) {
    openRequests.push_back(request);
    return PopAnswer(openAnswers);
}

bool RecordingDialogs::AskYesNo(const std::string& text) {
    questions.push_back(text);
    if (yesNoAnswers.empty())
        return false;   // an unanswered question counts as No
    const bool yes = yesNoAnswers.front();
    yesNoAnswers.pop_front();
    return yes;
}

std::optional<std::string> RecordingDialogs::BrowseFolder(const std::string& caption) {
    browseCaptions.push_back(caption);
    return PopAnswer(browseAnswers);
}

} // namespace kartivo::platform
