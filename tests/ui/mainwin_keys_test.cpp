// The main window under the keyboard and at its smallest: Enter presses the
// default button from every control of the left panel, the read-only log
// still moves with the keys, and the window cannot be squashed below the
// size at which its controls are whole.
#include "tests/ui/MainWindowFixture.h"

#include <QApplication>
#include <QKeyEvent>
#include <QRadioButton>
#include <QScrollBar>
#include <QToolButton>

namespace kartivo::ui {

using testing::MainWindowTest;

namespace {

void PressKey(QWidget* target, int key, Qt::KeyboardModifiers mods = Qt::NoModifier)
{
    QKeyEvent press(QEvent::KeyPress, key, mods);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, mods);
    QApplication::sendEvent(target, &release);
}

TEST_F(MainWindowTest, EnterPressesStartFromEveryControlOfTheLeftPanel)
{
    OpenWindow();
    int starts = 0;
    QObject::connect(form->BitBtn1, &QPushButton::clicked, [&] { ++starts; });
    std::vector<QWidget*> controls = {form->EditTaskName, form->Edit1, form->Edit3, form->Edit2,
                                      form->Edit4,        form->Edit5, form->Edit6, form->BitBtn1};
    for (int i = 0; i < 5; ++i)
        controls.push_back(form->radio_mapstype->Item(i));
    for (QToolButton* arrow : form->UpDown1->findChildren<QToolButton*>())
        controls.push_back(arrow);

    int expected = 0;
    for (QWidget* control : controls) {
        SCOPED_TRACE(control->metaObject()->className());
        control->setFocus();
        ASSERT_EQ(form->focusWidget(), control);
        PressKey(control, Qt::Key_Return);
        EXPECT_EQ(starts, ++expected);    // once, not twice
        PressKey(control, Qt::Key_Enter); // the keypad's Enter
        EXPECT_EQ(starts, ++expected);
    }
    // Each press ran Start, which refused the empty coordinates.
    EXPECT_EQ(dialogs.messages.size(), static_cast<std::size_t>(expected));

    // A focused push button keeps its own Enter.
    form->Button4->setFocus();
    PressKey(form->Button4, Qt::Key_Return);
    EXPECT_EQ(starts, expected);
    EXPECT_EQ(dialogs.openRequests.size(), 1u); // "Open task ..." ran instead

    // Enter in the log starts nothing.
    form->Memo1->setFocus();
    PressKey(form->Memo1.get(), Qt::Key_Return);
    EXPECT_EQ(starts, expected);
}

TEST_F(MainWindowTest, ReadOnlyLogMovesWithTheKeyboard)
{
    OpenWindow();
    for (int i = 0; i < 400; ++i)
        C().Memo1Lines.Add("line " + std::to_string(i));
    form->Memo1->Sync();
    QScrollBar* bar = form->Memo1->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    form->Memo1->setFocus();

    PressKey(form->Memo1.get(), Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(bar->value(), 0);
    PressKey(form->Memo1.get(), Qt::Key_PageDown);
    const int afterPageDown = bar->value();
    EXPECT_GT(afterPageDown, 0);
    PressKey(form->Memo1.get(), Qt::Key_End, Qt::ControlModifier);
    EXPECT_TRUE(form->Memo1->textCursor().atEnd());
    EXPECT_GE(bar->value(), bar->maximum() - 1); // the last line in view
    PressKey(form->Memo1.get(), Qt::Key_PageUp);
    EXPECT_LT(bar->value(), bar->maximum());
    EXPECT_TRUE(form->Memo1->isReadOnly());
    EXPECT_EQ(C().Memo1Lines.Count(), 401u); // the keys typed nothing
}

TEST_F(MainWindowTest, WindowCannotBeSquashedBelowWholeControls)
{
    OpenWindow();
    form->resize(50, 50);
    QApplication::processEvents();
    EXPECT_GE(form->width(), form->minimumWidth());
    EXPECT_GE(form->height(), form->minimumHeight());
    EXPECT_GE(form->minimumWidth(), 353 + 180);

    // Every control of the left panel as tall as it asks to be, every edit
    // wide enough to type in, and all of them inside the window.
    for (QWidget* w : std::vector<QWidget*>{form->EditTaskName, form->Button4, form->radio_mapstype,
                                            form->Edit1, form->Edit3, form->Edit2, form->Edit4, form->Edit5,
                                            form->Edit6, form->Button1, form->BitBtn1, form->LabelTotalxy}) {
        SCOPED_TRACE(w->metaObject()->className());
        EXPECT_GE(w->height(), w->minimumSizeHint().height());
        if (qobject_cast<QLineEdit*>(w)) {
            EXPECT_GE(w->width(), 40);
        }
        const QRect inWindow(w->mapTo(form.get(), QPoint(0, 0)), w->size());
        EXPECT_TRUE(form->rect().contains(inWindow)) << inWindow.x() << "," << inWindow.y();
    }
    EXPECT_GE(form->Edit1->width(), 100);
    EXPECT_GE(form->Memo1->width(), 150);
}

} // namespace

} // namespace kartivo::ui
