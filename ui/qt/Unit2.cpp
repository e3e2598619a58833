#include "ui/qt/Unit2.h"
#include "ui/qt/Controls.h"

#include <QApplication>
#include <QEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "platform/Dialogs.h"
#include "platform/qt/AppIcon.h"
#include "platform/qt/EventGuard.h"
#include "platform/qt/QtText.h"
#include "ui/qt/Unit1.h"

namespace kartivo::ui {

using platform::qt::RunGuarded;
using platform::qt::ToQ;

namespace {

QLabel* LinkLabel(QWidget* parent)
{
    auto* label = new QLabel(parent);
    QFont f = label->font();
    f.setUnderline(true);
    label->setFont(f);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, QColor(0, 128, 0));
    label->setPalette(p);
    label->setCursor(Qt::PointingHandCursor);
    return label;
}

} // namespace

TfrmAbout::TfrmAbout(QWidget* parent) : QDialog(parent)
{
    setWindowTitle("About");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(315, 181);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(8, 8, 8, 8);

    Panel1 = new QFrame(this);
    Panel1->setFrameShape(QFrame::Panel);
    Panel1->setFrameShadow(QFrame::Raised);
    auto* grid = new QGridLayout(Panel1);
    grid->setContentsMargins(10, 8, 10, 8);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(4);

    Image1 = new QLabel(Panel1);
    Image1->setFixedSize(64, 64);
    Image1->setPixmap(platform::qt::KartivoPicture(64));
    Image1->setAttribute(Qt::WA_TranslucentBackground);

    Label3 = new QLabel(Panel1);
    QFont title = Label3->font();
    title.setUnderline(true);
    title.setBold(true);
    title.setPointSize(title.pointSize() + 2);
    Label3->setFont(title);
    Label8 = new QLabel("Developer: kartivo.example.org", Panel1);

    Label5 = new QLabel("Homepage:", Panel1);
    Label4 = LinkLabel(Panel1);
    Label6 = new QLabel("Email:", Panel1);
    Label7 = LinkLabel(Panel1);
    Label4->installEventFilter(this);
    Label7->installEventFilter(this);

    grid->addWidget(Image1, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(Label3, 0, 1, 1, 2);
    grid->addWidget(Label8, 1, 1, 1, 2, Qt::AlignTop);
    grid->addWidget(Label5, 2, 0, Qt::AlignRight);
    grid->addWidget(Label4, 2, 1, 1, 2);
    grid->addWidget(Label6, 3, 0, Qt::AlignRight);
    grid->addWidget(Label7, 3, 1, 1, 2);
    grid->setColumnStretch(2, 1);
    outer->addWidget(Panel1, 1);

    bLater = new QPushButton("&OK", this);
    bLater->setDefault(true);
    bLater->setAutoDefault(true);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(bLater);
    row->addStretch(1);
    outer->addLayout(row);
    connect(bLater, &QPushButton::clicked, this, &TfrmAbout::bLaterClick);
}

void TfrmAbout::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    CenterOnDesktop(this);
    FormShow();
}

void TfrmAbout::FormShow()
{
    RunGuarded([&] {
        Label4->setText(ToQ(Form1 ? Form1->HomepageLink : std::string(kHomepageLink)));
        Label7->setText(ToQ(Form1 ? Form1->MailLink : std::string(kMailLink)));
        if (Form1)
            Label3->setText(Form1->windowTitle());
    });
}

bool TfrmAbout::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (watched == Label4)
            Label4Click();
        else if (watched == Label7)
            Label7Click();
    }
    return QDialog::eventFilter(watched, event);
}

void TfrmAbout::Label4Click()
{
    RunGuarded([&] { platform::ShellOpenOrTell(Form1 ? Form1->HomepageLink : kHomepageLink); });
}

void TfrmAbout::Label7Click()
{
    RunGuarded([&] { platform::ShellOpenOrTell(Form1 ? Form1->MailLink : kMailLink); });
}

void TfrmAbout::bLaterClick() { accept(); }

} // namespace kartivo::ui
