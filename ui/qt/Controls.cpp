#include "ui/qt/Controls.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProxyStyle>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

namespace kartivo::ui {

// ---- TMemo ------------------------------------------------------------------

TMemo::TMemo(const LineList& lines, QWidget* parent) : QPlainTextEdit(parent), lines_(lines)
{
    setReadOnly(true);
    // Read-only, yet the keyboard still moves through the log (Ctrl+Home,
    // Ctrl+End, Page Up, Page Down).
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setUndoRedoEnabled(false);
    setLineWrapMode(QPlainTextEdit::NoWrap); // both scroll bars, as the log has always had
    Sync();
}

void TMemo::SetDisplayLimit(int lines)
{
    limit_ = std::max(1, lines);
    shownGeneration_ = ~std::uint64_t{0}; // render again under the new limit
    Sync();
}

QString TMemo::JoinLines(std::size_t from, std::size_t to) const
{
    std::string text;
    for (std::size_t i = from; i < to; ++i) {
        if (i > from)
            text.push_back('\n');
        text.append(lines_[i]);
    }
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

void TMemo::Sync()
{
    // Positions are absolute line numbers (Dropped() + index), so that a
    // list that drops its oldest lines still appends only what is new.
    const std::uint64_t total = lines_.Total();
    const std::uint64_t first = lines_.Dropped();
    const std::uint64_t limit = static_cast<std::uint64_t>(limit_);
    // The display is trimmed in one step when it has grown to twice its
    // limit, rather than a line at a time (QPlainTextEdit's own block limit
    // removes lines from the top on every append, which costs far more).
    if (lines_.Generation() != shownGeneration_ || total < shownCount_ ||
        shownBlocks_ + (total - shownCount_) > 2 * limit) {
        const std::uint64_t from = std::max(first, total > limit ? total - limit : 0);
        QString text =
            JoinLines(static_cast<std::size_t>(from - first), static_cast<std::size_t>(total - first));
        // Lines that are no longer shown are in the file: the display says so.
        if (from > 0 && !trimNote_.isEmpty())
            text.prepend(trimNote_ + QLatin1Char('\n'));
        setPlainText(text);
        // Follow the end of the log, as a memo does when lines are added.
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
        shownGeneration_ = lines_.Generation();
        shownCount_ = total;
        shownBlocks_ = total - from;
        return;
    }
    if (total == shownCount_)
        return;
    // Only the newest lines can stay on display: skip what would be trimmed.
    const std::uint64_t from = std::max({shownCount_, first, total > limit ? total - limit : 0});
    appendPlainText(
        JoinLines(static_cast<std::size_t>(from - first), static_cast<std::size_t>(total - first)));
    shownBlocks_ += total - from;
    shownCount_ = total;
}

void TMemo::SetTrimNote(const QString& note) { trimNote_ = note; }

void TMemo::mouseDoubleClickEvent(QMouseEvent* event)
{
    QPlainTextEdit::mouseDoubleClickEvent(event);
    emit DoubleClicked();
}

// ---- TRadioGroup ------------------------------------------------------------

namespace {

class TightRadioStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override
    {
        if (metric == PM_RadioButtonLabelSpacing)
            return 3;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

} // namespace

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, int columns, QWidget* parent)
    : QGroupBox(caption, parent), group_(new QButtonGroup(this))
{
    auto* grid = new QGridLayout(this);
    // Two columns of long captions in a narrow panel: tight margins and a
    // small indicator gap keep every caption whole at the desktop's font.
    grid->setContentsMargins(3, 2, 1, 4);
    grid->setHorizontalSpacing(0);
    auto* style = new TightRadioStyle;
    style->setParent(this);
    grid->setVerticalSpacing(2);
    const int perColumn = (static_cast<int>(items.size()) + columns - 1) / columns;
    for (int i = 0; i < items.size(); ++i) {
        auto* button = new QRadioButton(items[i], this);
        button->setStyle(style);
        group_->addButton(button, i);
        grid->addWidget(button, i % perColumn, i / perColumn);
        buttons_.push_back(button);
    }
}

int TRadioGroup::ItemIndex() const { return group_->checkedId(); }

void TRadioGroup::SetItemIndex(int index)
{
    if (index >= 0 && index < static_cast<int>(buttons_.size()))
        buttons_[index]->setChecked(true);
}

QRadioButton* TRadioGroup::Item(int index) const { return buttons_.at(static_cast<std::size_t>(index)); }

// ---- TUpDown ----------------------------------------------------------------

TUpDown::TUpDown(QLineEdit* associate, int min, int max, int position, QWidget* parent)
    : QWidget(parent), associate_(associate), up_(new QToolButton(this)), down_(new QToolButton(this)),
      min_(min), max_(max), position_(min)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    for (QToolButton* b : {up_, down_}) {
        b->setAutoRepeat(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
        b->setFixedWidth(17);
        column->addWidget(b);
    }
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    connect(up_, &QToolButton::clicked, this, &TUpDown::StepUp);
    connect(down_, &QToolButton::clicked, this, &TUpDown::StepDown);
    SetPosition(position);
    if (associate_)
        associate_->installEventFilter(this);
}

bool TUpDown::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == associate_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up) {
            StepUp();
            return true;
        }
        if (key == Qt::Key_Down) {
            StepDown();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TUpDown::SetPosition(int position)
{
    position_ = std::clamp(position, min_, max_);
    if (associate_)
        associate_->setText(QString::number(position_));
}

} // namespace kartivo::ui
