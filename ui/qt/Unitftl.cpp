#include "ui/qt/Unitftl.h"
#include "ui/qt/Controls.h"

#include "download/IdHTTP.h"
#include "platform/Dialogs.h"
#include "platform/Settings.h"
#include "platform/TextLineReader.h"
#include "platform/qt/EventGuard.h"
#include "ui/FailedTilesRun.h"
#include "ui/OptionsSettings.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QTextOption>
#include <QVBoxLayout>

#include <condition_variable>
#include <mutex>

namespace kartivo::ui {

// What the run's thread hands to the window: report lines and the latest
// progress, taken by the main thread in batches (one queued call at a time).
struct TfrmFlt::ReportQueue {
    std::mutex m;
    std::condition_variable room; // signalled when the window took the lines
    std::vector<std::string> lines;
    std::size_t current = 0;
    std::size_t count = 0;
    bool progressChanged = false;
    bool takePosted = false; // a call of TakeReports is on its way
    bool closed = false;     // the window is going: nothing more is taken
};

TfrmFlt::TfrmFlt(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setObjectName("frmFlt");
    // The main window stays usable while this one is open.
    setModal(false);
    setWindowModality(Qt::NonModal);
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
    Memo1 = std::make_unique<ReportMemo>(Memo1Lines, Panel2);
    // A report line (a tile path and its URL) is wider than the window:
    // wrapped, it is read without scrolling sideways.
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
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
    if (queue_) {
        // A run waiting for room in the queue must not wait for a window
        // that is going.
        {
            std::lock_guard<std::mutex> lock(queue_->m);
            queue_->closed = true;
        }
        queue_->room.notify_all();
    }
    // job_ goes next: it stops the run and waits for it.
}

void TfrmFlt::ClearMemo()
{
    Memo1Lines.Clear();
    Memo1->Sync();
}

void TfrmFlt::AddMemoLines(const std::vector<std::string>& lines)
{
    for (const std::string& line : lines)
        Memo1Lines.Add(line);
    Memo1->Sync();
}

void TfrmFlt::FormShow()
{
    // A run still going keeps its report.
    if (!Running())
        ClearMemo();
}

void TfrmFlt::Button1Click()
{
    // While a run goes the button stops it, once; further presses do nothing.
    if (Running()) {
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
        StartRun(*fileName);
    });
}

void TfrmFlt::StartRun(const std::string& fileName)
{
    // The proxy of the settings file, read afresh for every run, as Start does.
    const OptionsValues settings = LoadOptions(platform::SettingsFileName());
    auto http = std::make_shared<download::TIdHTTP>();
    const std::string proxyError = ConfigureRedownloadClient(*http, settings);
    if (!proxyError.empty()) {
        platform::Dialogs().ShowMessage(proxyError);
        return;
    }

    // Opened here, so that a list that cannot be read is reported at once;
    // the run reads it on its thread, a line at a time.
    auto list = std::make_shared<platform::TextLineReader>(fileName);

    // Calls posted to the main thread reach this window only while its job
    // lives, so they may use `this`; the run's thread itself never does.
    auto queue = std::make_shared<ReportQueue>();
    queue_ = queue;
    const platform::qt::BackgroundJob::Poster post = job_.MainThread();
    // Called with the queue locked: asks the window once to take what is there.
    auto wake = [this, queue, post](std::unique_lock<std::mutex>& lock) {
        const bool postIt = !queue->takePosted;
        queue->takePosted = true;
        lock.unlock();
        if (postIt)
            post([this] { TakeReports(); });
    };
    run_ = std::make_shared<FailedTilesRun>(*http, [queue, wake](const std::string& line) {
        std::unique_lock<std::mutex> lock(queue->m);
        queue->room.wait(lock, [&] { return queue->closed || queue->lines.size() < kMaxQueuedLines; });
        if (queue->closed)
            return;
        queue->lines.push_back(line);
        wake(lock);
    });
    run_->SetProgress([queue, wake](std::size_t current, std::size_t count) {
        std::unique_lock<std::mutex> lock(queue->m);
        queue->current = current;
        queue->count = count;
        queue->progressChanged = true;
        wake(lock);
    });

    Button1->setText(kFltStopCaption);
    Button1->setEnabled(true);
    LabelProgress->clear();
    job_.Start<std::string>(
        [run = run_, http, list](std::stop_token stop) {
            // The window is going: the request in flight ends at once, and
            // the run with it.
            std::stop_callback onStop(stop, [&run, &http] {
                run->RequestStop();
                http->Abort();
            });
            std::string error;
            try {
                run->Run(*list);
            } catch (const std::exception& e) {
                error = e.what();
            } catch (...) {
                error = "The run ended on an unknown error.";
            }
            return error;
        },
        [this](std::string error) { EndRun(error); }, [this](const std::string& error) { EndRun(error); });
}

void TfrmFlt::TakeReports()
{
    if (!queue_)
        return;
    std::vector<std::string> lines;
    bool progressChanged = false;
    std::size_t current = 0, count = 0;
    {
        std::lock_guard<std::mutex> lock(queue_->m);
        lines.swap(queue_->lines);
        progressChanged = queue_->progressChanged;
        queue_->progressChanged = false;
        current = queue_->current;
        count = queue_->count;
        queue_->takePosted = false;
    }
    queue_->room.notify_all();
    if (!lines.empty())
        AddMemoLines(lines);
    if (progressChanged)
        LabelProgress->setText(QString("%1 of %2").arg(current).arg(count));
}

void TfrmFlt::EndRun(const std::string& error)
{
    TakeReports(); // whatever the run reported last
    Button1->setText(kFltButtonCaption);
    Button1->setEnabled(true);
    // A tile file that cannot be written ends the run in the error box.
    if (!error.empty())
        platform::qt::ShowException(error);
    emit RunFinished();
}

void TfrmFlt::done(int result)
{
    // Closing the window stops a run after its current tile.
    if (Running() && run_)
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
