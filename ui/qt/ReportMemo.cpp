#include "ui/qt/ReportMemo.h"

#include "platform/Formats.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

#include <vector>

namespace kartivo::ui {

std::string DroppedLinesNote(std::size_t dropped, std::size_t kept)
{
    return platform::GroupThousands(static_cast<std::int64_t>(dropped)) +
           " earlier lines of this report are not shown: the window keeps the last " +
           platform::GroupThousands(static_cast<std::int64_t>(kept)) + " lines of a run.";
}

namespace {

// An entry as the display shows it, with every break that would start a new
// block of the document written as "\n" (CR LF, a lone CR, a paragraph
// separator), and the characters that would open or close a frame replaced,
// so that an entry's blocks can be counted from its text alone.
QString DisplayText(std::string_view entry)
{
    QString text = QString::fromUtf8(entry.data(), static_cast<qsizetype>(entry.size()));
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QChar(u'\r'), QChar(u'\n'));
    text.replace(QChar(QChar::ParagraphSeparator), QChar(u'\n'));
    text.replace(QChar(0xFDD0), QChar(QChar::ReplacementCharacter));
    text.replace(QChar(0xFDD1), QChar(QChar::ReplacementCharacter));
    return text;
}

QString JoinDisplay(const LineList& lines, std::size_t from, std::size_t to)
{
    QString text;
    for (std::size_t i = from; i < to; ++i) {
        if (i > from)
            text.append(QChar(u'\n'));
        text.append(DisplayText(lines[i]));
    }
    return text;
}

} // namespace

ReportMemo::ReportMemo(LineList& lines, QWidget* parent) : QPlainTextEdit(parent), lines_(lines)
{
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setUndoRedoEnabled(false);
    Sync();
}

void ReportMemo::Sync()
{
    const std::size_t count = lines_.Count();
    if (lines_.Generation() != shownGeneration_ || count < shownCount_) {
        dropped_ = 0;
        setPlainText(JoinDisplay(lines_, 0, count));
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    } else if (count > shownCount_) {
        appendPlainText(JoinDisplay(lines_, shownCount_, count));
    }
    shownGeneration_ = lines_.Generation();
    shownCount_ = count;
    const std::size_t note = dropped_ > 0 ? 1 : 0;
    if (count > note + tail_ + tail_ / 50)
        DropOldest();
}

void ReportMemo::DropOldest()
{
    const std::size_t note = dropped_ > 0 ? 1 : 0;
    const std::size_t count = lines_.Count();
    const std::size_t keepFrom = count - tail_;
    int blocks = static_cast<int>(note);
    for (std::size_t i = note; i < keepFrom; ++i)
        blocks += static_cast<int>(DisplayText(lines_[i]).count(QChar(u'\n'))) + 1;
    dropped_ += keepFrom - note;

    std::vector<std::string> kept;
    kept.reserve(tail_ + 1);
    kept.push_back(DroppedLinesNote(dropped_, tail_));
    for (std::size_t i = keepFrom; i < count; ++i)
        kept.emplace_back(lines_[i]);
    lines_.Assign(kept);

    // The display loses the same blocks and gets the new note in front.
    const bool atEnd = verticalScrollBar()->value() == verticalScrollBar()->maximum();
    QTextCursor cursor(document());
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::Start);
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, blocks);
    cursor.removeSelectedText();
    cursor.insertText(DisplayText(kept.front()));
    cursor.insertBlock();
    cursor.endEditBlock();
    if (atEnd)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());

    shownGeneration_ = lines_.Generation();
    shownCount_ = lines_.Count();
}

} // namespace kartivo::ui
