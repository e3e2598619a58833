#include "platform/qt/QtDialogs.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include "platform/Files.h"
#include "platform/qt/QtText.h"

namespace kartivo::platform::qt {

namespace {

QWidget* DialogOwner()
{
    // Boxes are owned by the active window, so they are centred on it and
    // block it, like the owner window of a Windows message box.
    if (QWidget* w = QApplication::activeModalWidget())
        return w;
    return QApplication::activeWindow();
}

void ShowBox(QMessageBox::Icon icon, const std::string& text)
{
    QMessageBox box(icon, kApplicationTitle, ToQ(text), QMessageBox::Ok, DialogOwner());
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

std::string QtFilterString(const std::string& description, const std::string& pattern)
{
    // Qt takes the patterns from a trailing "(...)"; a description that
    // already ends with them is used as it stands.
    if (description.size() >= pattern.size() + 2 &&
        description.compare(description.size() - pattern.size() - 2, std::string::npos,
                            "(" + pattern + ")") == 0)
        return description;
    return description + " (" + pattern + ")";
}

std::string StripTrailingDelimiter(std::string path)
{
    while (path.size() > 1 && path.back() == platform::PathDelim)
        path.pop_back();
    return path;
}

void QtDialogs::ShowMessage(const std::string& text) { ShowBox(QMessageBox::NoIcon, text); }

void QtDialogs::ShowError(const std::string& text)
{
    // Exactly as given: the messages are the program's own sentences, and
    // some end in a path, where an added period would misname the file.
    ShowBox(QMessageBox::Critical, text);
}

bool QtDialogs::AskYesNo(const std::string& text)
{
    QMessageBox box(QMessageBox::Question, kApplicationTitle, ToQ(text), QMessageBox::Yes | QMessageBox::No,
                    DialogOwner());
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

std::optional<std::string> QtDialogs::OpenFile(const OpenFileRequest& request)
{
    QFileDialog dialog(DialogOwner(), ToQ(request.title), ToQ(request.initialDir),
                       ToQ(QtFilterString(request.filterDescription, request.filterPattern)));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // The open dialog does not insist on an existing file.
    dialog.setFileMode(QFileDialog::AnyFile);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return FromQ(dialog.selectedFiles().front());
}

std::optional<std::string> QtDialogs::SaveFile(const SaveFileRequest& request)
{
    const QString chosen =
        QFileDialog::getSaveFileName(DialogOwner(), ToQ(request.title), ToQ(request.initialPath),
                                     ToQ(QtFilterString(request.filterDescription, request.filterPattern)));
    if (chosen.isEmpty())
        return std::nullopt;
    return FromQ(chosen);
}

std::optional<std::string> QtDialogs::BrowseFolder(const std::string& caption)
{
    const QString dir = QFileDialog::getExistingDirectory(DialogOwner(), ToQ(caption));
    if (dir.isEmpty())
        return std::nullopt;
    return StripTrailingDelimiter(FromQ(dir));
}

QtDialogs::QtDialogs() : openers_(std::make_unique<QObject>()) {}

QtDialogs::~QtDialogs()
{
    // An opener still running (a browser in the foreground) is not waited
    // for, and its end is reported to nobody.
    for (QObject* child : openers_->children())
        child->disconnect();
}

bool QtDialogs::ShellOpen(const std::string& target)
{
    // Paths open as local files; links ("http:", "mailto:") as they stand.
    const QUrl url = (!target.empty() && target.front() == platform::PathDelim)
                         ? QUrl::fromLocalFile(ToQ(target))
                         : QUrl(ToQ(target));
    const QString opener = QStandardPaths::findExecutable(ToQ(opener_));
    if (opener.isEmpty())
        return QDesktopServices::openUrl(url);

    // The opener hands the target to the desktop's handler and ends with a
    // status other than 0 when there is none (no browser, no mail program):
    // it is watched, so that the user sees a box instead of a line on
    // standard error. A handler that runs in the foreground keeps it
    // running; its later end is watched the same way.
    auto* process = new QProcess(openers_.get());
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    ++openersRunning_;
    QObject::connect(process, &QProcess::finished, process,
                     [this, process, target](int exitCode, QProcess::ExitStatus status) {
                         --openersRunning_;
                         process->deleteLater();
                         if (status != QProcess::NormalExit || exitCode != 0)
                             platform::Dialogs().ShowMessage(platform::CannotOpenMessage(target));
                     });
    process->start(opener, {url.isLocalFile() ? url.toLocalFile() : url.toString()});
    if (!process->waitForStarted()) {
        --openersRunning_;
        process->disconnect();
        delete process;
        return false;
    }
    return true;
}

bool QtDialogs::StartProgram(const std::string& path, const std::vector<std::string>& arguments)
{
    QStringList args;
    for (const std::string& a : arguments)
        args << ToQ(a);
    return QProcess::startDetached(ToQ(path), args);
}

} // namespace kartivo::platform::qt
