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
#include "download/ImageCheck.h"
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

} // namespace

CStationWindow::CStationWindow(const std::string& firstImage, QWidget* parent)
    : QMainWindow(parent),
      board_([this] { QMetaObject::invokeMethod(this, [this] { Drain(); }, Qt::QueuedConnection); })
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
    connect(&progressTimer_, &QTimer::timeout, this, &CStationWindow::Drain);

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

// Reached with the station running only when the window is deleted without
// being closed: the board cancels it, and nothing in the station waits for
// this thread.
CStationWindow::~CStationWindow() = default;

QString CStationWindow::ImageText() const { return imageName_->text() + QLatin1Char('\n') + imageInfo_->text(); }
QString CStationWindow::AlertText() const { return alert_->text(); }
QString CStationWindow::StatusText() const { return totalsLabel_->text() + QStringLiteral("   ") + recordLabel_->text(); }

std::vector<CPortTile*> CStationWindow::Tiles() const
{
    std::vector<CPortTile*> out;
    for (const std::string& name : board_.Order())
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
    const bool ok = OpenJob(path, trust_, *opened, why);
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
    else
        Stop();
}

void CStationWindow::Start()
{
    if (Running() || !imageOk_)
        return;
    BoardStart start;
    start.image = &image_;
    start.job = job_.get();
    start.recordPath = recordPath_;
    start.portSource = portSource_;
    if (!board_.Start(start)) {
        Alert(QString::fromStdString(board_.Alert()));
        return;
    }
    PlaceTiles();
    Alert(QString());
    progressTimer_.start();
    ShowControls();
}

void CStationWindow::Stop()
{
    board_.Stop();
    ShowControls();
}

void CStationWindow::Drain()
{
    const BoardChanges changes = board_.Drain();
    Draw(changes);
    if (!changes.ended)
        return;
    progressTimer_.stop();
    Draw(board_.Finish());
    ShowControls();
    if (closeWhenStopped_) {
        close();
        return;
    }
    // The buttons are the window's only controls: the toggle takes the focus
    // back from wherever its disabling sent it.
    start_->setFocus(Qt::OtherFocusReason);
}

void CStationWindow::Draw(const BoardChanges& changes)
{
    // Placing the tiles draws every one of them.
    if (changes.order)
        PlaceTiles();
    else
        for (const std::string& port : changes.tiles)
            if (const TileView* view = board_.Find(port))
                TileFor(port)->Draw(*view);
    if (changes.alert)
        Alert(QString::fromStdString(board_.Alert()));
    if (changes.totals)
        ShowTotals();
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
    const unsigned inFlight = board_.Totals().inFlight;
    if (inFlight > 0) {
        askingToClose_ = true;
        const QString question = inFlight == 1 ? QStringLiteral("A download is running. Cancel it and close?")
                                               : QStringLiteral("%1 downloads are running. Cancel them and close?")
                                                     .arg(inFlight);
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

CPortTile* CStationWindow::TileFor(const std::string& port)
{
    if (CPortTile* tile = Tile(port))
        return tile;
    const TileView* view = board_.Find(port);
    auto* tile = new CPortTile(view ? view->port : PortInfo{port, std::string(), std::string()});
    tiles_[port] = tile;
    return tile;
}

void CStationWindow::PlaceTiles()
{
    while (QLayoutItem* item = grid_->takeAt(0))
        delete item;
    // Tiles the board no longer has go with their counters.
    for (auto it = tiles_.begin(); it != tiles_.end();) {
        if (!board_.Find(it->first)) {
            delete it->second;
            it = tiles_.erase(it);
        } else {
            ++it;
        }
    }
    for (const std::string& name : board_.Order()) {
        CPortTile* tile = TileFor(name);
        tile->Draw(*board_.Find(name));
        grid_->addWidget(tile);
    }
    placeholder_->setVisible(tiles_.empty());
}

void CStationWindow::ShowControls()
{
    const bool running = Running();
    const bool stopping = board_.Stopping();
    start_->setText(!running ? QStringLiteral("Start") : stopping ? QStringLiteral("Stopping...") : QStringLiteral("Stop"));
    start_->setEnabled(running ? !stopping : imageOk_);
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
    QStringList words;
    for (const std::string& w : board_.TotalsWords())
        words << Q(w);
    totalsLabel_->setText(words.join(QStringLiteral(" \u00b7 ")));
    recordLabel_->setText(QStringLiteral("Record: ") + Q(recordPath_));
}

void CStationWindow::Alert(const QString& text)
{
    alert_->setText(text.trimmed());
    alert_->setVisible(!text.trimmed().isEmpty());
}

}  // namespace zq
