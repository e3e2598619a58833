#include "platform/Dialogs.h"

#include <algorithm>
#include <atomic>
#include <cctype>

namespace kartivo::platform {

namespace {

RecordingDialogs& DefaultRecorder()
{
    static RecordingDialogs recorder;
    return recorder;
}

std::atomic<IDialogs*> g_installed{nullptr};

std::optional<std::string> PopAnswer(std::deque<std::optional<std::string>>& answers)
{
    if (answers.empty())
        return std::nullopt; // an unanswered dialog counts as cancelled
    std::optional<std::string> answer = std::move(answers.front());
    answers.pop_front();
    return answer;
}

} // namespace

std::string CannotOpenMessage(const std::string& target) { return "Nothing could open:\n" + target; }

bool ShellOpenOrTell(const std::string& target)
{
    if (Dialogs().ShellOpen(target))
        return true;
    Dialogs().ShowMessage(CannotOpenMessage(target));
    return false;
}

std::optional<std::string> ChooseProject(const std::string& title, const std::string& initialDir)
{
    OpenFileRequest request;
    request.title = title;
    request.filterDescription = "Projects(*.kvpd)";
    request.filterPattern = "*.kvpd";
    request.initialDir = initialDir;
    return Dialogs().OpenFile(request);
}

std::optional<std::string> ChooseSaveFile(const SaveFileRequest& request)
{
    std::optional<std::string> path = Dialogs().SaveFile(request);
    if (!path || path->empty())
        return std::nullopt;
    const std::string& ext = request.extension;
    const bool hasExtension =
        path->size() >= ext.size() &&
        std::equal(ext.begin(), ext.end(), path->end() - static_cast<std::ptrdiff_t>(ext.size()),
                   [](char a, char b) {
                       return std::tolower(static_cast<unsigned char>(a)) ==
                              std::tolower(static_cast<unsigned char>(b));
                   });
    if (!hasExtension)
        *path += ext;
    return path;
}

IDialogs& Dialogs()
{
    IDialogs* installed = g_installed.load();
    return installed ? *installed : DefaultRecorder();
}

void SetDialogs(IDialogs* dialogs) { g_installed.store(dialogs); }

std::optional<std::string> RecordingDialogs::OpenFile(const OpenFileRequest& request)
{
    openRequests.push_back(request);
    return PopAnswer(openAnswers);
}

std::optional<std::string> RecordingDialogs::SaveFile(const SaveFileRequest& request)
{
    saveRequests.push_back(request);
    return PopAnswer(saveAnswers);
}

bool RecordingDialogs::AskYesNo(const std::string& text)
{
    questions.push_back(text);
    if (yesNoAnswers.empty())
        return false; // an unanswered question counts as No
    const bool yes = yesNoAnswers.front();
    yesNoAnswers.pop_front();
    return yes;
}

std::optional<std::string> RecordingDialogs::BrowseFolder(const std::string& caption)
{
    browseCaptions.push_back(caption);
    return PopAnswer(browseAnswers);
}

} // namespace kartivo::platform
