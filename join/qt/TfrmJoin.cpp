#include "join/qt/TfrmJoin.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "core/MapTypes.h"
#include "join/MapGeometry.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/qt/AppIcon.h"
#include "platform/Settings.h"
#include "platform/SettingsFile.h"
#include "task/SavedProject.h"

namespace kartivo::join::qt {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
} // namespace

TfrmJoin::TfrmJoin(QWidget* parent) : QWidget(parent) {
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

TfrmJoin::~TfrmJoin() {
    StopWorker();
}

void TfrmJoin::StopWorker() {
    if (worker_.joinable()) {
        control_.Cancel = true;
        worker_.join();
    }
}

join::JoinOptions TfrmJoin::Options() const {
    join::JoinOptions o;
    o.Format = static_cast<join::OutputFormat>(comboFormat->currentIndex());
    o.TiffCompression = static_cast<join::Compression>(comboCompress->currentIndex());
    o.JpegQuality = spinQuality->value();
    o.Clip = checkClip->isChecked();
    o.OutputPath = editOutput->text().trimmed().toStdString();
    return o;
}

bool TfrmJoin::OpenProject(const std::string& path) {
    std::string error;
    auto project = task::SavedProject::Open(path, error);
    if (!project) {
        platform::Dialogs().ShowMessage(error);
        return false;
    }
    project_ = std::move(project);
    openedPath_ = path;
    editProject->setText(Q(path));
    const task::KvTask& t = project_->Task();
    const join::MapRaster r = join::RasterOfTask(t);
    const core::MapTypeInfo* type = core::FindMapType(project_->Params().MapsType);
    lblTask->setText(QString("%1, zoom %2: %3 x %4 tiles, %5 x %6 pixels")
                         .arg(type ? type->Caption : "?")
                         .arg(project_->Params().Zoom)
                         .arg(Q(join::Thousands(r.Columns)))
                         .arg(Q(join::Thousands(r.Rows)))
                         .arg(Q(join::Thousands(r.Width)))
                         .arg(Q(join::Thousands(r.Height))));
    if (!outputEdited_ || editOutput->text().trimmed().isEmpty())
        editOutput->setText(Q(join::DefaultOutputPath(*project_, Options().Format)));
    progressBar->setValue(0);
    lblStatus->setText(" ");
    UpdateControls();
    return true;
}

void TfrmJoin::editProjectDone() {
    const std::string typed = editProject->text().trimmed().toStdString();
    if (typed.empty() || typed == openedPath_ || Running())
        return;
    // A path that does not open leaves the field as typed, to be mended.
    OpenProject(typed);
}

void TfrmJoin::btnProjectClick() {
    platform::OpenFileRequest request;
    request.title = "Open a Kartivo project";
    request.filterDescription = "Projects(*.kvpd)";
    request.filterPattern = "*.kvpd";
    // Where the last project is, or else where Kartivo saves its tasks.
    if (project_)
        request.initialDir = project_->Params().SavePath;
    else
        request.initialDir = platform::ReadSettings(platform::SettingsFileName()).Get(platform::settings::DefaultPath);
    if (auto path = platform::Dialogs().OpenFile(request))
        OpenProject(*path);
}

void TfrmJoin::btnOutputClick() {
    const join::OutputFormat format = Options().Format;
    const QString ext = join::OutputExtension(format);
    const QString chosen = QFileDialog::getSaveFileName(
        this, "Save the combined map as", editOutput->text(),
        QString("%1 (*%2)").arg(join::OutputFormatName(format), ext));
    if (chosen.isEmpty())
        return;
    editOutput->setText(chosen.endsWith(ext, Qt::CaseInsensitive) ? chosen : chosen + ext);
    outputEdited_ = true;
}

void TfrmJoin::comboFormatChange() {
    // The output keeps its name and folder and takes the format's extension.
    const std::string current = editOutput->text().trimmed().toStdString();
    if (!current.empty()) {
        const std::string ext = platform::ExtractFileExt(current);
        editOutput->setText(Q(current.substr(0, current.size() - ext.size()) +
                              join::OutputExtension(Options().Format)));
    }
    UpdateControls();
}

void TfrmJoin::UpdateControls() {
    const join::JoinOptions o = Options();
    const bool tiff = o.Format == join::OutputFormat::GeoTiff;
    comboCompress->setEnabled(!Running() && tiff);
    // The quality matters for JPEG output and for JPEG blocks, which the
    // automatic choice picks for JPEG tiles only.
    const bool jpegBlocks = o.TiffCompression == join::Compression::Jpeg ||
                            o.TiffCompression == join::Compression::Webp ||
                            (o.TiffCompression == join::Compression::Default && project_ &&
                             !join::TilesArePng(*project_));
    spinQuality->setEnabled(!Running() && (o.Format == join::OutputFormat::Jpeg || (tiff && jpegBlocks)));
    checkClip->setEnabled(!Running() && o.Format != join::OutputFormat::MBTiles);
    btnCombine->setEnabled(!Running() && project_);
}

void TfrmJoin::SetRunning(bool running) {
    for (QWidget* w : {static_cast<QWidget*>(editProject), static_cast<QWidget*>(btnProject),
                       static_cast<QWidget*>(comboFormat),
                       static_cast<QWidget*>(editOutput), static_cast<QWidget*>(btnOutput)})
        w->setEnabled(!running);
    btnCancel->setText(running ? "Cancel" : "Close");
    btnCancel->setEnabled(true);
    UpdateControls();
}

void TfrmJoin::btnCombineClick() {
    if (!project_ || Running())
        return;
    const join::JoinOptions options = Options();
    const std::string refusal = join::CheckOptions(*project_, options);
    if (!refusal.empty()) {
        platform::Dialogs().ShowMessage(refusal);
        return;
    }
    control_.Cancel = false;
    lastPercent_ = -1;
    started_ = std::chrono::steady_clock::now();
    control_.Progress = [this](std::int64_t done, std::int64_t total) {
        // Only whole percents cross to the window: a million tiles must not
        // flood its event queue.
        const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
        if (percent == lastPercent_.exchange(percent))
            return;
        QMetaObject::invokeMethod(this, [this, done, total] { OnProgress(done, total); }, Qt::QueuedConnection);
    };
    progressBar->setValue(0);
    lblStatus->setText("Combining...");
    worker_ = std::thread([this, options] {
        join::JoinSummary summary;
        std::string error;
        const join::JoinOutcome outcome = join::Combine(*project_, options, control_, summary, error);
        QMetaObject::invokeMethod(
            this, [this, outcome, summary, e = Q(error)] { OnFinished(outcome, summary, e); },
            Qt::QueuedConnection);
    });
    SetRunning(true);
}

void TfrmJoin::OnProgress(qint64 done, qint64 total) {
    if (!Running())
        return;
    progressBar->setValue(total > 0 ? static_cast<int>(done * 100 / total) : 100);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    std::string text = join::Thousands(done) + " of " + join::Thousands(total) + " tiles";
    if (done > 0 && done < total && elapsed >= 1)
        text += ", " + join::TimeLeftText(elapsed * static_cast<double>(total - done) / static_cast<double>(done));
    lblStatus->setText(Q(text));
}

void TfrmJoin::OnFinished(join::JoinOutcome outcome, const join::JoinSummary& summary, const QString& error) {
    if (worker_.joinable())
        worker_.join();
    SetRunning(false);
    if (outcome == join::JoinOutcome::Done) {
        progressBar->setValue(100);
        const join::TileCounts& c = summary.Counts;
        using join::Thousands;
        std::string text = "Wrote " + summary.OutputPath + " (" + Thousands(summary.Width) + " x " +
                           Thousands(summary.Height) + " pixels). " + Thousands(c.Saved) + " tiles combined, " +
                           Thousands(c.Blank) + " blank substitutes";
        if (c.Holes() > 0)
            text += ", " + Thousands(c.Holes()) + " left out (" + Thousands(c.Missing) + " missing, " +
                    Thousands(c.Failed) + " failed, " + Thousands(c.Undecodable) +
                    " undecodable): see " + platform::ExtractFileName(summary.ReportPath);
        lblStatus->setText(Q(text + "."));
    } else {
        progressBar->setValue(0);
        lblStatus->setText(error);
        if (outcome == join::JoinOutcome::Failed)
            platform::Dialogs().ShowMessage(error.toStdString());
    }
    emit RunEnded(outcome);
}

void TfrmJoin::btnCancelClick() {
    if (Running()) {
        control_.Cancel = true;
        lblStatus->setText("Cancelling...");
        btnCancel->setEnabled(false);
        return;
    }
    close();
}

void TfrmJoin::showEvent(QShowEvent* event) {
    // Centred once, when first shown: only then has the layout its final size.
    if (!centred_) {
        centred_ = true;
        platform::qt::CenterOnDesktop(this);
    }
    QWidget::showEvent(event);
}

void TfrmJoin::closeEvent(QCloseEvent* event) {
    // A run in progress is cancelled: its temporary files go with it.
    StopWorker();
    event->accept();
}

} // namespace kartivo::join::qt
