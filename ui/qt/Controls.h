#pragma once
// The few classic controls the windows use that Qt has no exact match for:
// a memo that renders a LineList, a radio group with an item index, and an
// up-down control bound to a read-only edit.
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QWidget>
#include <cstdint>
#include <limits>
#include <vector>

#include "platform/qt/AppIcon.h"
#include "ui/MemoLines.h"

class QButtonGroup;
class QLineEdit;
class QRadioButton;
class QToolButton;

namespace kartivo::ui {

// A read-only memo whose lines are a LineList held elsewhere, which must
// outlive it. Sync() shows what was added since the last call (or
// everything, when the lines were replaced); the display keeps the last
// DisplayLimit() lines (up to twice as many between trims), so it stays quick
// however long the list grows. A line that
// holds a line break shows as several lines.
class TMemo : public QPlainTextEdit {
    Q_OBJECT
public:
    static constexpr int kNoDisplayLimit = std::numeric_limits<int>::max();

    explicit TMemo(const LineList& lines, QWidget* parent = nullptr);
    void Sync();
    void SetDisplayLimit(int lines);
    // A line shown at the top when earlier lines are not displayed (e.g.
    // where to find them); empty: none.
    void SetTrimNote(const QString& note);
    int DisplayLimit() const { return limit_; }

signals:
    void DoubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    QString JoinLines(std::size_t from, std::size_t to) const;
    const LineList& lines_;
    std::uint64_t shownGeneration_ = ~std::uint64_t{0};
    std::uint64_t shownCount_ = 0;  // lines of the list taken into the display (absolute)
    std::uint64_t shownBlocks_ = 0; // lines the display holds
    QString trimNote_;
    int limit_ = 5000;
};

// A group box of radio buttons in columns (filled column by column) with an
// item index: -1 when none is selected.
class TRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    TRadioGroup(const QString& caption, const QStringList& items, int columns, QWidget* parent = nullptr);
    int ItemIndex() const;
    void SetItemIndex(int index);
    QRadioButton* Item(int index) const;

private:
    QButtonGroup* group_;
    std::vector<QRadioButton*> buttons_;
};

// Up and down arrows that step Position within [Min, Max] (no wrap-around)
// and write it into the associated edit. Setting Position clamps it.
class TUpDown : public QWidget {
    Q_OBJECT
public:
    TUpDown(QLineEdit* associate, int min, int max, int position, QWidget* parent = nullptr);
    int Position() const { return position_; }
    void SetPosition(int position);
    int Min() const { return min_; }
    int Max() const { return max_; }

public slots:
    void StepUp() { SetPosition(position_ + 1); }
    void StepDown() { SetPosition(position_ - 1); }

protected:
    // The arrow keys in the associated edit step the position too.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* associate_;
    QToolButton* up_;
    QToolButton* down_;
    int min_, max_, position_;
};

// Moves a window (its frame included) to the middle of the primary screen.
using platform::qt::CenterOnDesktop;

} // namespace kartivo::ui
