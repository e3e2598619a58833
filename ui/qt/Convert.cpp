#include "ui/qt/Convert.h"
#include "ui/qt/Controls.h"

#include "platform/Dialogs.h"
#include "platform/qt/EventGuard.h"
#include "platform/qt/QtText.h"
#include "ui/DmsConversion.h"

#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

namespace kartivo::ui {

using platform::qt::FromQ;
using platform::qt::ToQ;

TfrmConvert::TfrmConvert(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint)
{
    setObjectName("frmConvert");
    setWindowTitle("Convert \"Degrees,Minutes,Seconds\" to \"Degrees\"");
    QFont f = font();
    f.setPointSize(8);
    setFont(f);
    setFixedSize(466, 99);
    setModal(false);

    // Left to right: the three input fields, the button, the result. The
    // result field is the widest, so that a value in exponent form such as
    // -2.77777780866018E-6 shows whole.
    GroupBox1 = new QGroupBox(this);
    GroupBox1->setGeometry(8, 6, 200, 87);
    Label1 = new QLabel("Degrees, Minutes, Seconds:", GroupBox1);
    Label1->setGeometry(10, 12, 180, 18);
    Edit1 = new QLineEdit(GroupBox1);
    Edit1->setGeometry(10, 44, 56, 24);
    Edit2 = new QLineEdit(GroupBox1);
    Edit2->setGeometry(72, 44, 56, 24);
    Edit3 = new QLineEdit(GroupBox1);
    Edit3->setGeometry(134, 44, 56, 24);

    Button1 = new QPushButton("convert", this);
    Button1->setGeometry(216, 50, 64, 25);
    Button1->setDefault(true);

    GroupBox2 = new QGroupBox(this);
    GroupBox2->setGeometry(288, 6, 170, 87);
    Label2 = new QLabel("Degrees:", GroupBox2);
    Label2->setGeometry(10, 12, 150, 18);
    Edit4 = new QLineEdit(GroupBox2);
    Edit4->setGeometry(10, 44, 150, 24);
    Edit4->setReadOnly(true);

    setTabOrder(Edit1, Edit2);
    setTabOrder(Edit2, Edit3);
    setTabOrder(Edit3, Button1);
    setTabOrder(Button1, Edit4);

    connect(Button1, &QPushButton::clicked, this, &TfrmConvert::Button1Click);
}

void TfrmConvert::Button1Click()
{
    platform::qt::RunGuarded([this] {
        const std::optional<double> degrees =
            dms::DmsToDegrees(FromQ(Edit1->text()), FromQ(Edit2->text()), FromQ(Edit3->text()));
        if (!degrees) {
            platform::Dialogs().ShowMessage(dms::kInputError);
            return; // the result field keeps its previous text
        }
        Edit4->setText(ToQ(dms::FormatDegrees(*degrees)));
    });
}

void TfrmConvert::showEvent(QShowEvent* event)
{
    // Centred on the desktop when first shown; afterwards it stays where the
    // user left it.
    if (!positioned_) {
        positioned_ = true;
        CenterOnDesktop(this);
    }
    QDialog::showEvent(event);
}

void TfrmConvert::keyPressEvent(QKeyEvent* event)
{
    // The window has no Cancel button, so Esc does nothing (QDialog would hide it).
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace kartivo::ui
