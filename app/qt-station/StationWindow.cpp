#include "app/qt-station/StationWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

#include "download/Causes.h"
#include "image/ImagePath.h"
#include "link/PortAccess.h"
#include "app/qt-station/PortTile.h"
#include "app/qt-station/TileLayout.h"

namespace zq {

namespace {

const char kTitle[] = "Zerquill Station";
const char kRecordName[] = "zerquill-station.jsonl";
// Often enough for a bar to move smoothly, rarely enough that eight busy
// ports cost the window nothing.
constexpr int kProgressEveryMs = 50;

QString Q(const std::string& s) { return QString::fromLocal8Bit(s.c_str()); }
std::string S(const QString& s) { return s.toLocal8Bit().toStdString(); }

// The new list's order; a port that left keeps its place just after the
// port it followed, so a tile does not jump when its adapter is pulled.
std::vector<std::string> MergeOrder(const std::vector<std::string>& old, const std::vector<PortInfo>& listed)
{
    std::vector<std::string> out;
    for (const PortInfo& p : listed)
        if (std::find(out.begin(), out.end(), p.name) == out.end())
            out.push_back(p.name);
    for (size_t i = 0; i < old.size(); ++i) {
        if (std::find(out.begin(), out.end(), old[i]) != out.end())
            continue;
        auto at = i == 0 ? out.begin() : std::find(out.begin(), out.end(), old[i - 1]) + 1;
        out.insert(at, old[i]);
    }
    return out;
}

} // namespace

CStationWindow::CStationWindow(const std::string& firstImage, QWidget* parent) : QMainWindow(parent)
{
    setWindowTitle(QString::fromLatin1(kTitle));
    const QIcon icon(QStringLiteral(":/zerquill-station/zerquill.png"));
    if (!icon.isNull())
        setWindowIcon(icon);
    setAcceptDrops(true);

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);

    start_ = new QPushButton(QStringLiteral("Start"), central);
    // Enter as well as Space presses it while it has the focus.
    start_->setAutoDefault(true);
    const QFontMetrics fm = fontMetrics();
    start_->setMinimumWidth(fm.horizontalAdvance(QStringLiteral("Stopping...")) + fm.averageCharWidth() * 6);
    start_->setMinimumHeight(start_->sizeHint().height() * 3 / 2);
    imageButton_ = new QPushButton(QStringLiteral("&Image..."), central);
    jobButton_ = new QPushButton(QStringLiteral("&Job..."), central);
    recordButton_ = new QPushButton(QStringLiteral("&Record..."), central);
    // Cut to the room there is, whole in their tooltips: a long path never
    // pushes the buttons out of a narrow window.
    imageName_ = new CFittedLabel(1, Qt::ElideMiddle, central);
    QFont bold = imageName_->font();
    bold.setBold(true);
    imageName_->setFont(bold);
    imageInfo_ = new CFittedLabel(2, Qt::ElideRight, central);
    imageInfo_->setMinimumWidth(fm.averageCharWidth() * 18);
    auto* imageText = new QVBoxLayout;
    imageText->setSpacing(0);
    imageText->addWidget(imageName_);
    imageText->addWidget(imageInfo_);
    auto* top = new QHBoxLayout;
    top->addWidget(start_);
    top->addSpacing(fm.averageCharWidth() * 2);
    top->addLayout(imageText, 1);
    top->addWidget(imageButton_, 0, Qt::AlignTop);
    top->addWidget(jobButton_, 0, Qt::AlignTop);
    top->addWidget(recordButton_, 0, Qt::AlignTop);
    column->addLayout(top);

    alert_ = new QLabel(central);
    alert_->setWordWrap(true);
    alert_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPalette red = alert_->palette();
    red.setColor(QPalette::WindowText, QColor(0xc6, 0x28, 0x28));
    alert_->setPalette(red);
    alert_->setFont(bold);
    alert_->hide();
    column->addWidget(alert_);

    auto* tilesHost = new QWidget;
    auto* tilesColumn = new QVBoxLayout(tilesHost);
    tilesColumn->setContentsMargins(0, 0, 0, 0);
    placeholder_ = new QLabel(tilesHost);
    placeholder_->setAlignment(Qt::AlignCenter);
    placeholder_->setWordWrap(true);
    placeholder_->setForegroundRole(QPalette::PlaceholderText);
    placeholder_->setMinimumHeight(fm.height() * 6);
    tilesColumn->addWidget(placeholder_);
    auto* gridHost = new QWidget(tilesHost);
    grid_ = new CTileLayout(gridHost);
    grid_->setSpacing(fm.height() / 2);
    grid_->setContentsMargins(0, 0, 0, 0);
    tilesColumn->addWidget(gridHost);
    tilesColumn->addStretch(1);
    scroll_ = new QScrollArea(central);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidget(tilesHost);
    column->addSpacing(fm.height() / 2);
    column->addWidget(scroll_, 1);
    setCentralWidget(central);

    totalsLabel_ = new QLabel(this);
    recordLabel_ = new CFittedLabel(1, Qt::ElideMiddle, this);
    totalsLabel_->setContentsMargins(fm.averageCharWidth(), 0, fm.averageCharWidth() * 3, 0);
    statusBar()->addWidget(totalsLabel_);
    statusBar()->addWidget(recordLabel_, 1);

    connect(start_, &QPushButton::clicked, this, &CStationWindow::StartOrStop);
    connect(imageButton_, &QPushButton::clicked, this, &CStationWindow::ChooseImage);
    connect(jobButton_, &QPushButton::clicked, this, &CStationWindow::ChooseJob);
    connect(recordButton_, &QPushButton::clicked, this, &CStationWindow::ChooseRecord);
    progressTimer_.setInterval(kProgressEveryMs);
    connect(&progressTimer_, &QTimer::timeout, this, &CStationWindow::ApplyProgress);

    // One whole tile at the least, three abreast to begin with.
    const CPortTile probe{PortInfo()};
    const QSize tile = probe.sizeHint().expandedTo(probe.minimumSize());
    const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    scroll_->setMinimumSize(tile.width() + scrollBar + 2, tile.height() + 2);
    resize(3 * tile.width() + 2 * grid_->spacing() + scrollBar + fm.averageCharWidth() * 4,
           sizeHint().height() - scroll_->sizeHint().height() + 2 * tile.height() + 4 * grid_->spacing());

    const std::string image = firstImage.empty() ? DefaultImagePath() : firstImage;
    if (image.empty()) {
        imageName_->setText(QString::fromLatin1(kImageFileName));
        ShowImageInfo(QStringLiteral("cannot tell this program's folder; choose an image"), false);
        ShowControls();
        ShowTotals();
    } else {
        SetImage(image);
    }
}

CStationWindow::~CStationWindow()
{
    // Reached with the station running only when the window is deleted
    // without being closed; nothing in the station waits for this thread.
    if (session_)
        session_->Stop();
    session_.reset();
}

QString CStationWindow::ImageText() const { return imageName_->text() + QLatin1Char('\n') + imageInfo_->text(); }
QString CStationWindow::AlertText() const { return alert_->text(); }
QString CStationWindow::StatusText() const { return totalsLabel_->text() + QStringLiteral("   ") + recordLabel_->text(); }

std::vector<CPortTile*> CStationWindow::Tiles() const
{
    std::vector<CPortTile*> out;
    for (const std::string& name : order_)
        out.push_back(tiles_.at(name));
    return out;
}

CPortTile* CStationWindow::Tile(const std::string& port) const
{
    const auto it = tiles_.find(port);
    return it == tiles_.end() ? nullptr : it->second;
}

bool CStationWindow::SetJob(const std::string& path)
{
    auto opened = std::make_unique<OpenedJob>();
    std::string why;
    const bool ok = OpenStationJob(path, trust_, *opened, why);
    const QFileInfo file(Q(path));
    imageOk_ = ok;
    job_.reset();
    if (!ok) {
        imageName_->setText(file.fileName());
        imageName_->SetHint(file.absoluteFilePath());
        ShowImageInfo(Q(why), false);
    } else {
        job_ = std::move(opened);
        image_ = job_->image;
        const Job& job = job_->job;
        imageName_->setText(QStringLiteral("Job %1 \u00b7 %2").arg(Q(job.name), QFileInfo(Q(job.image)).fileName()));
        imageName_->SetHint(file.absoluteFilePath());
        // Who released it comes first: the line is cut at its end.
        QString info = job_->releasedBy.empty() ? QStringLiteral("not signed")
                                                : QStringLiteral("released by ") + Q(job_->releasedBy);
        info += QStringLiteral(" \u00b7 %1 blocks \u00b7 pinned sha256 %2").arg(image_.blocks).arg(Q(job.sha256.substr(0, 16)));
        if (job.units)
            info += QStringLiteral(" \u00b7 lot of %1").arg(job.units);
        ShowImageInfo(info, true);
        if (!recordChosen_)
            recordPath_ = job.log.empty() ? S(QDir(file.absolutePath()).filePath(QString::fromLatin1(kRecordName)))
                                          : job.log;
    }
    ShowControls();
    ShowTotals();
    return ok;
}

void CStationWindow::ChooseJob()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Job"), QString(),
                                                      QStringLiteral("Jobs (*.zqjob);;All files (*)"));
    if (!path.isEmpty())
        SetImage(S(path));
}

bool CStationWindow::SetImage(const std::string& path)
{
    if (Running())
        return false;
    if (IsJobPath(path))
        return SetJob(path);
    if (trust_.Locked()) {
        // Only a job someone released may run here.
        imageOk_ = false;
        imageName_->setText(QFileInfo(Q(path)).fileName());
        ShowImageInfo(QStringLiteral("this station runs released jobs only (its administrator installed trusted "
                                     "keys in %1): open a job")
                          .arg(QString::fromLatin1(kTrustStoreName)),
                      false);
        ShowControls();
        return false;
    }
    job_.reset();
    DownloadFailure failure;
    imageOk_ = TakeImageSnapshot(path, image_, failure);
    image_.path = path;
    const QFileInfo file(Q(path));
    imageName_->setText(file.fileName());
    imageName_->SetHint(file.absoluteFilePath());
    if (imageOk_) {
        const QLocale locale;
        ShowImageInfo(QStringLiteral("%1 bytes \u00b7 %2 blocks \u00b7 sha256 %3")
                          .arg(locale.toString(qulonglong(image_.bytes->size())))
                          .arg(locale.toString(image_.blocks))
                          .arg(Q(image_.sha256.substr(0, 16))),
                      true);
    } else {
        ShowImageInfo(Q(DescribeFailure(failure, {}, path)), false);
    }
    if (!recordChosen_)
        recordPath_ = S(QDir(file.absolutePath()).filePath(QString::fromLatin1(kRecordName)));
    ShowControls();
    ShowTotals();
    return imageOk_;
}

void CStationWindow::ShowImageInfo(const QString& text, bool usable)
{
    QPalette palette = imageInfo_->palette();
    palette.setColor(QPalette::WindowText,
                     usable ? this->palette().color(QPalette::WindowText) : QColor(0xc6, 0x28, 0x28));
    imageInfo_->setPalette(palette);
    imageInfo_->setText(text);
}

bool CStationWindow::SetRecordPath(const std::string& path)
{
    if (Running() || path.empty())
        return false;
    recordPath_ = path;
    recordChosen_ = true;
    ShowTotals();
    return true;
}

void CStationWindow::ChooseImage()
{
    const QString start = image_.path.empty() ? QString() : QFileInfo(Q(image_.path)).absolutePath();
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Image"), start,
                                                      QStringLiteral("Images (*.bin);;All files (*)"));
    if (!path.isEmpty())
        SetImage(S(path));
}

void CStationWindow::ChooseRecord()
{
    // Records are appended to: choosing an existing file is no overwrite.
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Record"), Q(recordPath_),
                                                      QStringLiteral("JSON Lines (*.jsonl);;All files (*)"),
                                                      nullptr, QFileDialog::DontConfirmOverwrite);
    if (!path.isEmpty())
        SetRecordPath(S(path));
}

void CStationWindow::StartOrStop()
{
    if (!Running())
        Start();
    else if (!stopping_)
        Stop();
}

void CStationWindow::Start()
{
    if (Running() || !imageOk_)
        return;
    auto log = std::make_unique<CRecordLog>();
    std::string why;
    if (!log->Open(recordPath_, why)) {
        Alert(QStringLiteral("The record cannot be written: ") + Q(why));
        return;
    }
    StationOptions options;
    lotWritten_ = 0;
    if (job_) {
        options.ports = job_->job.Ports();
        if (job_->job.units) {
            lotWritten_ = CountLotWritten(recordPath_, job_->job.name, image_.sha256);
            if (lotWritten_ >= job_->job.units) {
                Alert(QStringLiteral("lot %1 complete: %2 of %3 written").arg(Q(job_->job.name)).arg(lotWritten_)
                          .arg(job_->job.units));
                return;
            }
            options.lot = job_->job.units - lotWritten_;
        }
    }
    const PortSource source = portSource_ ? portSource_ : PortSource(ListSystemPorts);
    // The window learns the list's order, and which ports left it, from the
    // station's own look at the list.
    options.portSource = [this, source] {
        std::vector<PortInfo> ports = source();
        QMetaObject::invokeMethod(this, [this, ports] { ApplyList(ports); }, Qt::QueuedConnection);
        return ports;
    };
    session_.reset();
    log_ = std::move(log);
    auto session = std::make_unique<CStationSession>(image_, static_cast<SessionEvents&>(*this), log_.get());
    if (job_)
        session->SetRecordTags(job_->tags);
    if (job_ && job_->job.forwards) {
        ForwardConfig forward;
        forward.url = job_->job.forward.url;
        forward.tokenFile = job_->job.forward.tokenFile;
        if (!session->Forward(forward, recordPath_, why)) {
            log_.reset();
            Alert(QStringLiteral("The records cannot be forwarded: ") + Q(why));
            return;
        }
    }
    {
        std::lock_guard<std::mutex> lock(progressMutex_);
        progress_.clear();
    }
    if (!session->Start(options, why)) {
        log_.reset();
        Alert(QStringLiteral("The station could not start: ") + Q(why));
        return;
    }
    session_ = std::move(session);
    // A job's slots are shown in its order, each described as the system
    // describes its adapter.
    if (job_)
        for (const JobSlot& slot : job_->job.fixture)
            TileFor(DescribePort(slot.port))->SetInfo(DescribePort(slot.port));
    unrecorded_ = false;
    Alert(QString());
    stopping_ = false;
    progressTimer_.start();
    ShowControls();
}

void CStationWindow::Stop()
{
    if (session_)
        session_->Stop();
    stopping_ = true;
    ShowControls();
}

void CStationWindow::StationEnded(StationEnd end)
{
    if (!Running())
        return;
    session_->Join();
    progressTimer_.stop();
    log_.reset();
    stopping_ = false;
    // Counters of a port that left are kept only while the station runs.
    for (auto it = tiles_.begin(); it != tiles_.end();) {
        if (it->second->Gone()) {
            order_.erase(std::find(order_.begin(), order_.end(), it->first));
            delete it->second;
            it = tiles_.erase(it);
        } else {
            it->second->Stop();
            ++it;
        }
    }
    totals_.inFlight = 0;
    if (end == StationEnd::Unrecorded)
        Alert(alert_->text() + QStringLiteral(" The station has stopped."));
    PlaceTiles();
    ShowControls();
    ShowTotals();
    if (closeWhenStopped_) {
        close();
        return;
    }
    // The buttons are the window's only controls: the toggle takes the focus
    // back from wherever its disabling sent it.
    start_->setFocus(Qt::OtherFocusReason);
}

void CStationWindow::closeEvent(QCloseEvent* event)
{
    if (!Running()) {
        event->accept();
        return;
    }
    // The window goes once the station has ended and every record is written.
    event->ignore();
    if (closeWhenStopped_ || askingToClose_)
        return;
    if (totals_.inFlight > 0) {
        askingToClose_ = true;
        const QString question = totals_.inFlight == 1
                                     ? QStringLiteral("A download is running. Cancel it and close?")
                                     : QStringLiteral("%1 downloads are running. Cancel them and close?")
                                           .arg(totals_.inFlight);
        const auto answer =
            QMessageBox::question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        askingToClose_ = false;
        if (answer != QMessageBox::Yes)
            return;
        if (!Running()) { // it ended while the question was up
            close();
            return;
        }
    }
    closeWhenStopped_ = true;
    if (!stopping_)
        Stop();
}

void CStationWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (start_->isEnabled())
        start_->setFocus(Qt::ActiveWindowFocusReason);
    else
        imageButton_->setFocus(Qt::ActiveWindowFocusReason);
}

namespace {

QString DroppedFile(const QMimeData* mime)
{
    if (!mime || !mime->hasUrls() || mime->urls().size() != 1 || !mime->urls().front().isLocalFile())
        return QString();
    return mime->urls().front().toLocalFile();
}

} // namespace

// A job may always be dropped; an image only where no job fixes it and the
// station is not locked.
bool CStationWindow::TakesDrop(const QString& path) const
{
    if (Running() || path.isEmpty())
        return false;
    return IsJobPath(S(path)) || (!job_ && !trust_.Locked());
}

void CStationWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (TakesDrop(DroppedFile(event->mimeData())))
        event->acceptProposedAction();
}

void CStationWindow::dropEvent(QDropEvent* event)
{
    const QString path = DroppedFile(event->mimeData());
    if (!TakesDrop(path))
        return;
    event->acceptProposedAction();
    SetImage(S(path));
}

// The session's events: on the station's threads, so only handed on.

void CStationWindow::OnPort(const PortInfo& port, PortPhase phase)
{
    QMetaObject::invokeMethod(this, [this, port, phase] { ApplyPhase(port, phase); }, Qt::QueuedConnection);
}

void CStationWindow::OnFound(const std::string& port, const StationTotals& totals)
{
    QMetaObject::invokeMethod(this, [this, port, totals] { ApplyFound(port, totals); }, Qt::QueuedConnection);
}

void CStationWindow::OnProgress(const std::string& port, const StageReport& report)
{
    std::lock_guard<std::mutex> lock(progressMutex_);
    progress_[port] = report;
}

void CStationWindow::OnHint(const std::string& port, const std::string& hint)
{
    QMetaObject::invokeMethod(
        this,
        [this, port, text = Q(hint)] {
            if (CPortTile* tile = Tile(port))
                tile->Hint(text);
        },
        Qt::QueuedConnection);
}

void CStationWindow::OnEnded(const DeviceEnding& e)
{
    Ending ending;
    ending.ending = e;
    {
        // The last report goes with the end, so the bar shows where it ended.
        std::lock_guard<std::mutex> lock(progressMutex_);
        const auto it = progress_.find(e.outcome.port);
        if (it != progress_.end()) {
            ending.reported = true;
            ending.last = it->second;
            progress_.erase(it);
        }
    }
    QMetaObject::invokeMethod(this, [this, ending] { ApplyEnding(ending); }, Qt::QueuedConnection);
}

void CStationWindow::OnForwarding(const std::string& text)
{
    QMetaObject::invokeMethod(this, [this, t = Q(text)] { Alert(t); }, Qt::QueuedConnection);
}

void CStationWindow::OnStationEnded(StationEnd end)
{
    QMetaObject::invokeMethod(this, [this, end] { StationEnded(end); }, Qt::QueuedConnection);
}

// On the window's thread.

CPortTile* CStationWindow::TileFor(const PortInfo& port)
{
    if (CPortTile* tile = Tile(port.name))
        return tile;
    auto* tile = new CPortTile(port);
    if (job_)
        tile->SetLabel(Q(SlotLabel(job_->job.fixture, port.name)));
    tiles_[port.name] = tile;
    if (std::find(order_.begin(), order_.end(), port.name) == order_.end())
        order_.push_back(port.name);
    PlaceTiles();
    return tile;
}

void CStationWindow::PlaceTiles()
{
    while (QLayoutItem* item = grid_->takeAt(0))
        delete item;
    for (const std::string& name : order_)
        grid_->addWidget(tiles_.at(name));
    placeholder_->setVisible(tiles_.empty());
}

void CStationWindow::ApplyList(const std::vector<PortInfo>& ports)
{
    if (!Running())
        return;
    for (const PortInfo& port : ports) {
        CPortTile* tile = TileFor(port);
        tile->SetInfo(port);
        tile->SetGone(false);
    }
    for (auto& [name, tile] : tiles_) {
        const bool listed =
            std::any_of(ports.begin(), ports.end(), [&name = name](const PortInfo& p) { return p.name == name; });
        if (!listed)
            tile->SetGone(true);
    }
    const std::vector<std::string> order = MergeOrder(order_, ports);
    if (order != order_) {
        order_ = order;
        PlaceTiles();
    }
}

void CStationWindow::ApplyPhase(const PortInfo& port, PortPhase phase)
{
    CPortTile* tile = TileFor(port);
    switch (phase) {
    case PortPhase::Absent: tile->Wait(); break;
    case PortPhase::Listening: tile->Listen(); break;
    case PortPhase::Denied: // the tile names its port already
        tile->Refuse(QStringLiteral("permission denied"), Q(PortAccessAdvice(port.name)),
                     Q(DescribePortRefusal(port.name, PortError::AccessDenied)));
        break;
    case PortPhase::Busy:
        tile->Refuse(QStringLiteral("busy"), Q(DescribePortRefusal(port.name, PortError::Busy)),
                     Q(DescribePortRefusal(port.name, PortError::Busy)));
        break;
    case PortPhase::Flashing:
    case PortPhase::Flashed: break; // told by OnFound and OnEnded
    }
}

void CStationWindow::ApplyFound(const std::string& port, const StationTotals& totals)
{
    TileFor(PortInfo{port, std::string(), std::string()})->Flash();
    totals_ = totals;
    ShowTotals();
}

void CStationWindow::ApplyProgress()
{
    std::map<std::string, StageReport> latest;
    {
        std::lock_guard<std::mutex> lock(progressMutex_);
        latest.swap(progress_);
    }
    for (const auto& [port, report] : latest)
        if (CPortTile* tile = Tile(port))
            tile->Progress(report);
    if (session_ && session_->ForwardPending())
        ShowTotals();
}

void CStationWindow::ApplyEnding(const Ending& ending)
{
    const DeviceEnding& e = ending.ending;
    const DeviceOutcome& o = e.outcome;
    CPortTile* tile = TileFor(PortInfo{o.port, std::string(), std::string()});
    if (ending.reported)
        tile->Progress(ending.last);
    tile->End(o.success, o.cancelled, Q(e.note), o.seconds, image_.blocks);
    totals_ = e.totals;
    if (!e.recorded && !unrecorded_) {
        unrecorded_ = true;
        Alert(QStringLiteral("The record could not be written to %1: no new device is taken.").arg(Q(recordPath_)));
    }
    ShowTotals();
}

void CStationWindow::ShowControls()
{
    const bool running = Running();
    start_->setText(!running ? QStringLiteral("Start") : stopping_ ? QStringLiteral("Stopping...") : QStringLiteral("Stop"));
    start_->setEnabled(running ? !stopping_ : imageOk_);
    // A job fixes the image, and a locked station takes jobs only.
    imageButton_->setEnabled(!running && !job_ && !trust_.Locked());
    jobButton_->setEnabled(!running);
    recordButton_->setEnabled(!running);
    placeholder_->setText(running ? QStringLiteral("No serial port yet: plug in an adapter.")
                                  : QStringLiteral("Start listens on every serial port and flashes each device "
                                                   "that arrives."));
}

void CStationWindow::ShowTotals()
{
    QString text = QStringLiteral("Written %1 \u00b7 Failed %2").arg(totals_.written).arg(totals_.failed);
    if (totals_.cancelled)
        text += QStringLiteral(" \u00b7 Cancelled %1").arg(totals_.cancelled);
    text += QStringLiteral(" \u00b7 In flight %1").arg(totals_.inFlight);
    if (job_ && job_->job.units)
        text += QStringLiteral(" \u00b7 %1: %2 of %3")
                    .arg(Q(job_->job.name))
                    .arg(lotWritten_ + totals_.written)
                    .arg(job_->job.units);
    if (session_ && session_->ForwardPending())
        text += QStringLiteral(" \u00b7 %1 to forward").arg(session_->ForwardPending());
    totalsLabel_->setText(text);
    recordLabel_->setText(QStringLiteral("Record: ") + Q(recordPath_));
}

void CStationWindow::Alert(const QString& text)
{
    alert_->setText(text.trimmed());
    alert_->setVisible(!text.trimmed().isEmpty());
}

}  // namespace zq
