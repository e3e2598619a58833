#include "ui/Unitftl.h"
#include "ui/Controls.h"

#include "download/IdHTTP.h"
#include "platform/Dialogs.h"
#include "platform/TextFile.h"
#include "ui/FailedTilesRun.h"
#include "platform/qt/EventGuard.h"

#include <QCoreApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>

TfrmFlt::TfrmFlt(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint)
{
    setObjectName("frmFlt");
    setWindowTitle("Re-Download failed files");
    setFixedSize(703, 453);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel1 = new QFrame(this);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setFixedHeight(57);
    Button1 = new QPushButton("Open *.ftl file and download...", Panel1);
    Button1->setGeometry(16, 16, 201, 25);
    layout->addWidget(Panel1);

    Panel2 = new QFrame(this);
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Raised);
    auto* panel2Layout = new QVBoxLayout(Panel2);
    panel2Layout->setContentsMargins(1, 1, 1, 1);
    Memo1 = new QPlainTextEdit(Panel2);
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont memoFont = Memo1->font();
    memoFont.setPixelSize(13);
    Memo1->setFont(memoFont);
    panel2Layout->addWidget(Memo1);
    layout->addWidget(Panel2, 1);

    connect(Button1, &QPushButton::clicked, this, &TfrmFlt::Button1Click);
}

void TfrmFlt::ClearMemo()
{
    Memo1Lines.clear();
    Memo1->clear();
}

void TfrmFlt::AddMemoLine(const std::string& line)
{
    Memo1Lines.push_back(line);
    // A socket error's text holds CR LF: shown as two lines, kept as one entry.
    QString shown = QString::fromStdString(line);
    shown.replace("\r\n", "\n");
    shown.replace('\r', '\n');
    Memo1->appendPlainText(shown);
}

void TfrmFlt::FormShow()
{
    ClearMemo();
}

void TfrmFlt::Button1Click()
{
    // The single repaint after "Start..." could deliver a second click; one
    // run at a time.
    if (running_)
        return;
    running_ = true;
    platform::qt::RunGuarded([this] {
        platform::OpenFileRequest request;
        request.title = "Open ftl file:";
        request.filterDescription = "Projects(*.ftl)";
        request.filterPattern = "*.ftl";
        const std::optional<std::string> fileName = platform::Dialogs().OpenFile(request);
        if (!fileName)
            return;
        ClearMemo();

        TIdHTTP http;
        ConfigureRedownloadClient(http);
        const std::vector<std::string> lines = platform::ReadLines(*fileName);
        FailedTilesRun run(
            http, [this](const std::string& line) { AddMemoLine(line); },
            [] { QCoreApplication::processEvents(); });
        run.Run(lines);
    });
    running_ = false;
}

void TfrmFlt::showEvent(QShowEvent* event)
{
    if (!positioned_) {
        // Centred on the desktop when first shown.
        positioned_ = true;
        CenterOnDesktop(this);
    }
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}
