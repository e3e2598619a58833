#include "join/qt/TfrmJoin.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <atomic>

#include "core/MapTypes.h"
#include "join/MapGeometry.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Settings.h"
#include "platform/SettingsFile.h"
#include "platform/qt/AppIcon.h"
#include "platform/qt/QtText.h"
#include "task/SavedProject.h"

namespace kartivo::join::qt {

using platform::GroupThousands;
using platform::TimeLeftText;
using platform::qt::FromQ;
using platform::qt::ToQ;

TfrmJoin::TfrmJoin(QWidget* parent) : QWidget(parent)
{
    setWindowTitle("Map Combiner");
    setWindowIcon(platform::qt::KartivoIcon());
    auto* form = new QFormLayout;

    // A path may be typed or pasted; Enter or leaving the field opens it.
    editProject = new QLineEdit;
    editProject->setPlaceholderText("Choose, type or paste a Kartivo project (.kvpd)");
    btnProject = new QPushButton("Browse...");
    auto* projectRow = new QHBoxLayout;
    projectRow->addWidget(editProject, 1);
    projectRow->addWidget(btnProject);
    form->addRow("Project file:", projectRow);

    lblTask = new QLabel("No project chosen.");
    lblTask->setWordWrap(true);
    form->addRow("Task:", lblTask);

    comboFormat = new QComboBox;
    comboFormat->addItem("GeoTIFF, tiled with overviews (.tif)");
    comboFormat->addItem("MBTiles, tiles as they are (.mbtiles)");
    comboFormat->addItem("PNG image with world file (.png)");
    comboFormat->addItem("JPEG image with world file (.jpg)");
    form->addRow("Format:", comboFormat);

    comboCompress = new QComboBox;
    comboCompress->addItem("Automatic (DEFLATE for PNG tiles, JPEG for JPEG tiles)");
    comboCompress->addItem("DEFLATE (lossless)");
    comboCompress->addItem("JPEG (smaller)");
    comboCompress->addItem("ZSTD (lossless, faster)");
    comboCompress->addItem("WebP (smallest, lossy)");
    form->addRow("Compression:", comboCompress);

    spinQuality = new QSpinBox;
    spinQuality->setRange(1, 100);
    spinQuality->setValue(85);
    form->addRow("JPEG quality:", spinQuality);

    checkClip = new QCheckBox("Only the area of the task, not the whole tiles around it");
    form->addRow("Clip:", checkClip);

    editOutput = new QLineEdit;
    btnOutput = new QPushButton("Browse...");
    auto* outputRow = new QHBoxLayout;
    outputRow->addWidget(editOutput, 1);
    outputRow->addWidget(btnOutput);
    form->addRow("Output file:", outputRow);

    progressBar = new QProgressBar;
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    lblStatus = new QLabel(" ");
    lblStatus->setWordWrap(true);
    lblStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);

    btnCombine = new QPushButton("Combine");
    btnCancel = new QPushButton("Cancel");
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(btnCombine);
    buttons->addWidget(btnCancel);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(progressBar);
    layout->addWidget(lblStatus);
    layout->addLayout(buttons);
    resize(620, 330);

    connect(btnProject, &QPushButton::clicked, this, &TfrmJoin::btnProjectClick);
    connect(btnOutput, &QPushButton::clicked, this, &TfrmJoin::btnOutputClick);
    connect(btnCombine, &QPushButton::clicked, this, &TfrmJoin::btnCombineClick);
    connect(btnCancel, &QPushButton::clicked, this, &TfrmJoin::btnCancelClick);
    connect(comboFormat, &QComboBox::currentIndexChanged, this, &TfrmJoin::comboFormatChange);
    connect(comboCompress, &QComboBox::currentIndexChanged, this, &TfrmJoin::UpdateControls);
    connect(editProject, &QLineEdit::editingFinished, this, &TfrmJoin::editProjectDone);
    connect(editOutput, &QLineEdit::textEdited, this, [this] { outputEdited_ = true; });
    SetRunning(false);
}

TfrmJoin::~TfrmJoin()
{
    // A run still going is cancelled and waited for by job_, which goes
    // first; its outcome is no longer shown.
}

void TfrmJoin::StopWorker()
{
    if (Running()) {
        control_->Cancel = true;
        // Its outcome is shown before the window closes.
        job_.Finish(platform::qt::BackgroundJob::kStopWait);
    }
}

join::JoinOptions TfrmJoin::Options() const
{
    join::JoinOptions o;
    o.Format = static_cast<join::OutputFormat>(comboFormat->currentIndex());
    o.TiffCompression = static_cast<join::Compression>(comboCompress->currentIndex());
    o.JpegQuality = spinQuality->value();
    o.Clip = checkClip->isChecked();
    o.OutputPath = FromQ(editOutput->text().trimmed());
    return o;
}

bool TfrmJoin::OpenProject(const std::string& path)
{
    std::string error;
    auto project = task::SavedProject::Open(path, error);
    if (!project) {
        platform::Dialogs().ShowMessage(error);
        return false;
    }
    project_ = std::move(project);
    openedPath_ = path;
    editProject->setText(ToQ(path));
    const task::KvTask& t = project_->Task();
    const join::MapRaster r = join::RasterOfTask(t);
    const core::MapTypeInfo* type = core::FindMapType(project_->Params().MapsType);
    lblTask->setText(QString("%1, zoom %2: %3 x %4 tiles, %5 x %6 pixels")
                         .arg(type ? type->Caption : "?")
                         .arg(project_->Params().Zoom)
                         .arg(ToQ(GroupThousands(r.Columns)))
                         .arg(ToQ(GroupThousands(r.Rows)))
                         .arg(ToQ(GroupThousands(r.Width)))
                         .arg(ToQ(GroupThousands(r.Height))));
    if (!outputEdited_ || editOutput->text().trimmed().isEmpty())
        editOutput->setText(ToQ(join::DefaultOutputPath(*project_, Options().Format)));
    progressBar->setValue(0);
    lblStatus->setText(" ");
    UpdateControls();
    return true;
}

void TfrmJoin::editProjectDone()
{
    const std::string typed = FromQ(editProject->text().trimmed());
    if (typed.empty() || typed == openedPath_ || Running())
        return;
    // A path that does not open leaves the field as typed, to be mended.
    OpenProject(typed);
}

void TfrmJoin::btnProjectClick()
{
    // Where the last project is, or else where Kartivo saves its tasks.
    std::string initialDir;
    if (project_)
        initialDir = project_->Params().SavePath;
    else
        initialDir =
            platform::ReadSettings(platform::SettingsFileName()).Get(platform::settings::DefaultPath);
    if (auto path = platform::ChooseProject("Open a Kartivo project", initialDir))
        OpenProject(*path);
}

void TfrmJoin::btnOutputClick()
{
    const join::OutputFormat format = Options().Format;
    platform::SaveFileRequest request;
    request.title = "Save the combined map as";
    request.filterDescription = join::OutputFormatName(format);
    request.extension = join::OutputExtension(format);
    request.filterPattern = "*" + request.extension;
    request.initialPath = FromQ(editOutput->text());
    const std::optional<std::string> chosen = platform::ChooseSaveFile(request);
    if (!chosen)
        return;
    editOutput->setText(ToQ(*chosen));
    outputEdited_ = true;
}

void TfrmJoin::comboFormatChange()
{
    // The output keeps its name and folder and takes the format's extension.
    const std::string current = FromQ(editOutput->text().trimmed());
    if (!current.empty()) {
        const std::string ext = platform::ExtractFileExt(current);
        editOutput->setText(
            ToQ(current.substr(0, current.size() - ext.size()) + join::OutputExtension(Options().Format)));
    }
    UpdateControls();
}

void TfrmJoin::UpdateControls()
{
    const join::JoinOptions o = Options();
    const bool tiff = o.Format == join::OutputFormat::GeoTiff;
    comboCompress->setEnabled(!Running() && tiff);
    // The quality matters for JPEG output and for JPEG blocks, which the
    // automatic choice picks for JPEG tiles only.
    const bool jpegBlocks =
        o.TiffCompression == join::Compression::Jpeg || o.TiffCompression == join::Compression::Webp ||
        (o.TiffCompression == join::Compression::Default && project_ && !join::TilesArePng(*project_));
    spinQuality->setEnabled(!Running() && (o.Format == join::OutputFormat::Jpeg || (tiff && jpegBlocks)));
    checkClip->setEnabled(!Running() && o.Format != join::OutputFormat::MBTiles);
    btnCombine->setEnabled(!Running() && project_);
}

void TfrmJoin::SetRunning(bool running)
{
    for (QWidget* w : {static_cast<QWidget*>(editProject), static_cast<QWidget*>(btnProject),
                       static_cast<QWidget*>(comboFormat), static_cast<QWidget*>(editOutput),
                       static_cast<QWidget*>(btnOutput)})
        w->setEnabled(!running);
    btnCancel->setText(running ? "Cancel" : "Close");
    btnCancel->setEnabled(true);
    UpdateControls();
}

void TfrmJoin::btnCombineClick()
{
    if (!project_ || Running())
        return;
    const join::JoinOptions options = Options();
    const std::string refusal = join::CheckOptions(*project_, options);
    if (!refusal.empty()) {
        platform::Dialogs().ShowMessage(refusal);
        return;
    }
    // What the run uses is its own: the window may go before it ends. Calls
    // posted to the main thread reach the window only while it lives.
    control_ = std::make_shared<join::JoinControl>();
    started_ = std::chrono::steady_clock::now();
    const platform::qt::BackgroundJob::Poster post = job_.MainThread();
    auto lastPercent = std::make_shared<std::atomic<int>>(-1);
    control_->Progress = [this, post, lastPercent](std::int64_t done, std::int64_t total) {
        // Only whole percents cross to the window: a million tiles must not
        // flood its event queue.
        const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
        if (percent == lastPercent->exchange(percent))
            return;
        post([this, done, total] { OnProgress(done, total); });
    };
    progressBar->setValue(0);
    lblStatus->setText("Combining...");
    struct Run {
        join::JoinOutcome outcome = join::JoinOutcome::Failed;
        join::JoinSummary summary;
        std::string error;
    };
    job_.Start<Run>(
        [project = project_, control = control_, options](std::stop_token stop) {
            // The window is going: cancel, so the run removes what it wrote.
            std::stop_callback onStop(stop, [&control] { control->Cancel = true; });
            Run run;
            run.outcome = join::Combine(*project, options, *control, run.summary, run.error);
            return run;
        },
        [this](Run run) { OnFinished(run.outcome, run.summary, ToQ(run.error)); },
        [this](const std::string& error) { OnFinished(join::JoinOutcome::Failed, {}, ToQ(error)); });
    SetRunning(true);
}

void TfrmJoin::OnProgress(qint64 done, qint64 total)
{
    if (!Running())
        return;
    progressBar->setValue(total > 0 ? static_cast<int>(done * 100 / total) : 100);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    std::string text = GroupThousands(done) + " of " + GroupThousands(total) + " tiles";
    if (done > 0 && done < total && elapsed >= 1)
        text += ", " + TimeLeftText(elapsed * static_cast<double>(total - done) / static_cast<double>(done));
    lblStatus->setText(ToQ(text));
}

void TfrmJoin::OnFinished(join::JoinOutcome outcome, const join::JoinSummary& summary, const QString& error)
{
    SetRunning(false);
    if (outcome == join::JoinOutcome::Done) {
        progressBar->setValue(100);
        const join::TileCounts& c = summary.Counts;
        std::string text = "Wrote " + summary.OutputPath + " (" + GroupThousands(summary.Width) + " x " +
                           GroupThousands(summary.Height) + " pixels). " + GroupThousands(c.Saved) +
                           " tiles combined, " + GroupThousands(c.Blank) + " blank substitutes";
        if (c.Holes() > 0)
            text += ", " + GroupThousands(c.Holes()) + " left out (" + GroupThousands(c.Missing) +
                    " missing, " + GroupThousands(c.Failed) + " failed, " + GroupThousands(c.Undecodable) +
                    " undecodable): see " + platform::ExtractFileName(summary.ReportPath);
        lblStatus->setText(ToQ(text + "."));
    } else {
        progressBar->setValue(0);
        lblStatus->setText(error);
        if (outcome == join::JoinOutcome::Failed)
            platform::Dialogs().ShowMessage(FromQ(error));
    }
    emit RunEnded(outcome);
}

void TfrmJoin::btnCancelClick()
{
    if (Running()) {
        control_->Cancel = true;
        lblStatus->setText("Cancelling...");
        btnCancel->setEnabled(false);
        return;
    }
    close();
}

void TfrmJoin::showEvent(QShowEvent* event)
{
    // Centred once, when first shown: only then has the layout its final size.
    if (!centred_) {
        centred_ = true;
        platform::qt::CenterOnDesktop(this);
    }
    QWidget::showEvent(event);
}

void TfrmJoin::closeEvent(QCloseEvent* event)
{
    // A run in progress is cancelled: its temporary files go with it.
    StopWorker();
    event->accept();
}

} // namespace kartivo::join::qt
