#include "ui/Unitftl.h"
#include "ui/Controls.h"

#include "download/IdHTTP.h"
#include "platform/Dialogs.h"
#include "platform/Settings.h"
#include "platform/TextFile.h"
#include "platform/qt/EventGuard.h"
#include "ui/FailedTilesRun.h"
#include "ui/OptionsSettings.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

namespace kartivo::ui {

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
    Button1 = new QPushButton(kFltButtonCaption, Panel1);
    Button1->setGeometry(16, 16, 201, 25);
    LabelProgress = new QLabel(Panel1);
    LabelProgress->setGeometry(232, 16, 450, 25);
    layout->addWidget(Panel1);

    Panel2 = new QFrame(this);
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Raised);
    auto* panel2Layout = new QVBoxLayout(Panel2);
    panel2Layout->setContentsMargins(1, 1, 1, 1);
    Memo1 = std::make_unique<TMemo>(Memo1Lines, Panel2);
    Memo1->SetDisplayLimit(TMemo::kNoDisplayLimit);   // a report is read whole
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont memoFont = Memo1->font();
    memoFont.setPixelSize(13);
    Memo1->setFont(memoFont);
    panel2Layout->addWidget(Memo1.get());
    layout->addWidget(Panel2, 1);

    connect(Button1, &QPushButton::clicked, this, &TfrmFlt::Button1Click);
}

TfrmFlt::~TfrmFlt()
{
    if (run_)
        run_->RequestStop();
    JoinRunner();
}

void TfrmFlt::JoinRunner()
{
    if (runner_.joinable())
        runner_.join();
}

void TfrmFlt::ClearMemo()
{
    Memo1Lines.Clear();
    Memo1->Sync();
}

void TfrmFlt::AddMemoLine(const std::string& line)
{
    Memo1Lines.Add(line);
    Memo1->Sync();
}

void TfrmFlt::FormShow()
{
    // A run still going keeps its report.
    if (!running_)
        ClearMemo();
}

void TfrmFlt::Button1Click()
{
    // While a run goes the button stops it, once; further presses do nothing.
    if (running_) {
        if (run_ && !run_->StopRequested()) {
            run_->RequestStop();
            Button1->setEnabled(false);
        }
        return;
    }
    platform::qt::RunGuarded([this] {
        platform::OpenFileRequest request;
        request.title = "Open ftl file:";
        request.filterDescription = "Projects(*.ftl)";
        request.filterPattern = "*.ftl";
        const std::optional<std::string> fileName = platform::Dialogs().OpenFile(request);
        if (!fileName)
            return;
        ClearMemo();
        StartRun(platform::ReadLines(*fileName));
    });
}

void TfrmFlt::StartRun(std::vector<std::string> lines)
{
    // The proxy of the settings file, read afresh for every run, as Start does.
    const OptionsValues settings = LoadOptions(platform::SettingsFileName());
    auto http = std::make_shared<download::TIdHTTP>();
    const std::string proxyError = ConfigureRedownloadClient(*http, settings);
    if (!proxyError.empty()) {
        platform::Dialogs().ShowMessage(proxyError);
        return;
    }

    JoinRunner();   // a finished run's thread
    // Every report reaches the window queued, in the order it was made. The
    // window outlives the thread (its destructor joins it); what is still
    // queued when it goes is dropped with it.
    auto post = [this](auto fn) {
        QMetaObject::invokeMethod(this, [this, fn] { fn(*this); }, Qt::QueuedConnection);
    };
    run_ = std::make_shared<FailedTilesRun>(
        *http, [post](const std::string& line) { post([line](TfrmFlt& w) { w.AddMemoLine(line); }); });
    run_->SetProgress([post](std::size_t current, std::size_t count) {
        const QString text = QString("%1 of %2").arg(current).arg(count);
        post([text](TfrmFlt& w) { w.LabelProgress->setText(text); });
    });

    running_ = true;
    Button1->setText(kFltStopCaption);
    Button1->setEnabled(true);
    LabelProgress->clear();
    runner_ = std::thread([run = run_, http, lines = std::move(lines), post] {
        std::string error;
        try {
            run->Run(lines);
        } catch (const std::exception& e) {
            error = e.what();
        } catch (...) {
            error = "The run ended on an unknown error.";
        }
        post([error](TfrmFlt& w) { w.EndRun(error); });
    });
}

void TfrmFlt::EndRun(const std::string& error)
{
    running_ = false;
    Button1->setText(kFltButtonCaption);
    Button1->setEnabled(true);
    JoinRunner();
    // A tile file that cannot be written ends the run in the error box.
    if (!error.empty())
        platform::qt::ShowException(error);
    emit RunFinished();
}

void TfrmFlt::done(int result)
{
    // Closing the window stops a run after its current tile.
    if (running_ && run_)
        run_->RequestStop();
    QDialog::done(result);
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

} // namespace kartivo::ui
