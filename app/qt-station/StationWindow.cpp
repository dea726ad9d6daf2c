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
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

#include "image/ImagePath.h"
#include "app/qt-station/PortTile.h"
#include "app/qt-station/TileLayout.h"

namespace zq {

namespace {

const char kTitle[] = "Zerquill Station";

QString Q(const std::string& s) { return QString::fromLocal8Bit(s.c_str()); }
std::string S(const QString& s) { return s.toLocal8Bit().toStdString(); }

} // namespace

CStationWindow::CStationWindow(const std::string& firstImage, QWidget* parent)
    : QMainWindow(parent),
      station_([this] { QMetaObject::invokeMethod(this, [this] { Drain(); }, Qt::QueuedConnection); })
{
    setWindowTitle(QString::fromLatin1(kTitle));
    const QIcon icon(QStringLiteral(":/zerquill-station/zerquill.png"));
    if (!icon.isNull())
        setWindowIcon(icon);
    setAcceptDrops(true);

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    BuildTop(central, column);
    BuildTiles(central, column);
    setCentralWidget(central);
    BuildStatus();

    connect(start_, &QPushButton::clicked, this, &CStationWindow::StartOrStop);
    connect(imageButton_, &QPushButton::clicked, this, &CStationWindow::ChooseImage);
    connect(jobButton_, &QPushButton::clicked, this, &CStationWindow::ChooseJob);
    connect(recordButton_, &QPushButton::clicked, this, &CStationWindow::ChooseRecord);
    progressTimer_.setInterval(int(CStationController::kTickMs));
    connect(&progressTimer_, &QTimer::timeout, this, &CStationWindow::Drain);
    FitSize();

    const std::string image = firstImage.empty() ? DefaultImagePath() : firstImage;
    if (image.empty()) {
        ShowSource();
        ShowControls();
        ShowTotals();
    } else {
        SetImage(image);
    }
}

void CStationWindow::BuildTop(QWidget* central, QVBoxLayout* column)
{
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
}

void CStationWindow::BuildTiles(QWidget* central, QVBoxLayout* column)
{
    const QFontMetrics fm = fontMetrics();
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
}

void CStationWindow::BuildStatus()
{
    const QFontMetrics fm = fontMetrics();
    totalsLabel_ = new QLabel(this);
    recordLabel_ = new CFittedLabel(1, Qt::ElideMiddle, this);
    totalsLabel_->setContentsMargins(fm.averageCharWidth(), 0, fm.averageCharWidth() * 3, 0);
    statusBar()->addWidget(totalsLabel_);
    statusBar()->addWidget(recordLabel_, 1);
}

// One whole tile at the least, three abreast to begin with.
void CStationWindow::FitSize()
{
    const QFontMetrics fm = fontMetrics();
    const CPortTile probe{PortInfo()};
    const QSize tile = probe.sizeHint().expandedTo(probe.minimumSize());
    const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    scroll_->setMinimumSize(tile.width() + scrollBar + 2, tile.height() + 2);
    resize(3 * tile.width() + 2 * grid_->spacing() + scrollBar + fm.averageCharWidth() * 4,
           sizeHint().height() - scroll_->sizeHint().height() + 2 * tile.height() + 4 * grid_->spacing());
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
    for (const std::string& name : station_.Board().Order())
        out.push_back(tiles_.at(name));
    return out;
}

CPortTile* CStationWindow::Tile(const std::string& port) const
{
    const auto it = tiles_.find(port);
    return it == tiles_.end() ? nullptr : it->second;
}

void CStationWindow::ShowJob(const OpenedJob& opened)
{
    const Job& job = opened.job;
    imageName_->setText(QStringLiteral("Job %1 \u00b7 %2").arg(Q(job.name), QFileInfo(Q(job.image)).fileName()));
    // Who released it comes first: the line is cut at its end.
    QString info = opened.releasedBy.empty() ? QStringLiteral("not signed")
                                             : QStringLiteral("released by ") + Q(opened.releasedBy);
    info += QStringLiteral(" \u00b7 %1 blocks \u00b7 pinned sha256 %2").arg(opened.image.blocks).arg(Q(job.sha256.substr(0, 16)));
    if (job.units)
        info += QStringLiteral(" \u00b7 lot of %1").arg(job.units);
    ShowImageInfo(info, true);
}

void CStationWindow::ShowSource()
{
    const std::string& path = station_.Source();
    if (path.empty()) {
        imageName_->setText(QString::fromLatin1(kImageFileName));
        ShowImageInfo(QStringLiteral("cannot tell this program's folder; choose an image"), false);
        return;
    }
    const QFileInfo file(Q(path));
    imageName_->setText(file.fileName());
    imageName_->SetHint(file.absoluteFilePath());
    const ImageSnapshot& image = station_.Image();
    if (const OpenedJob* job = station_.Job()) {
        ShowJob(*job);
    } else if (station_.ImageOk()) {
        const QLocale locale;
        ShowImageInfo(QStringLiteral("%1 bytes \u00b7 %2 blocks \u00b7 sha256 %3")
                          .arg(locale.toString(qulonglong(image.bytes->size())))
                          .arg(locale.toString(image.blocks))
                          .arg(Q(image.sha256.substr(0, 16))),
                      true);
    } else {
        ShowImageInfo(Q(station_.ImageCause()), false);
    }
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
    if (!station_.Idle())
        return false;
    const bool ok = station_.Choose(path);
    ShowSource();
    ShowControls();
    ShowTotals();
    return ok;
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
    if (!station_.ChooseRecord(path))
        return false;
    // The alert told of the record before.
    Alert(QString::fromStdString(station_.Board().Alert()));
    ShowTotals();
    return true;
}

void CStationWindow::ChooseImage()
{
    const std::string& current = station_.Image().path.empty() ? station_.Source() : station_.Image().path;
    const QString start = current.empty() ? QString() : QFileInfo(Q(current)).absolutePath();
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Image"), start,
                                                      QStringLiteral("Images (*.bin);;All files (*)"));
    if (!path.isEmpty())
        SetImage(S(path));
}

void CStationWindow::ChooseRecord()
{
    // Records are appended to: choosing an existing file is no overwrite.
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Record"), Q(station_.RecordPath()),
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
    // The image is read again: what the window shows is what the devices get.
    const bool started = station_.Start();
    ShowSource();
    if (!started) {
        Alert(QString::fromStdString(station_.Board().Alert()));
        ShowControls();
        return;
    }
    PlaceTiles();
    Alert(QString());
    progressTimer_.start();
    ShowControls();
}

void CStationWindow::Stop()
{
    station_.Stop();
    ShowControls();
}

void CStationWindow::Drain()
{
    const BoardChanges changes = station_.Drain();
    Draw(changes);
    if (!changes.ended)
        return;
    progressTimer_.stop();
    ShowControls();
    if (station_.State() == StationState::Closing) {
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
            if (const TileView* view = station_.Board().Find(port))
                TileFor(port)->Draw(*view);
    if (changes.alert)
        Alert(QString::fromStdString(station_.Board().Alert()));
    if (changes.totals)
        ShowTotals();
}

void CStationWindow::closeEvent(QCloseEvent* event)
{
    const CloseStep step = station_.RequestClose();
    if (step == CloseStep::Close) {
        event->accept();
        return;
    }
    // The window goes once the station has ended and every record is written.
    event->ignore();
    if (step == CloseStep::Ask) {
        const unsigned inFlight = station_.Board().Totals().inFlight;
        const QString question = inFlight == 1 ? QStringLiteral("A download is running. Cancel it and close?")
                                               : QStringLiteral("%1 downloads are running. Cancel them and close?")
                                                     .arg(inFlight);
        const auto answer =
            QMessageBox::question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (station_.ConfirmClose(answer == QMessageBox::Yes) == CloseStep::Close) { // it ended while the question was up
            close();
            return;
        }
    }
    ShowControls();
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

void CStationWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (station_.TakesDrop(S(DroppedFile(event->mimeData()))))
        event->acceptProposedAction();
}

void CStationWindow::dropEvent(QDropEvent* event)
{
    const QString path = DroppedFile(event->mimeData());
    if (!station_.TakesDrop(S(path)))
        return;
    event->acceptProposedAction();
    SetImage(S(path));
}

CPortTile* CStationWindow::TileFor(const std::string& port)
{
    if (CPortTile* tile = Tile(port))
        return tile;
    const TileView* view = station_.Board().Find(port);
    auto* tile = new CPortTile(view ? view->port : PortInfo{port, std::string(), std::string()});
    tile->OnFix([this](const LatencyFix& fix) { RunFix(fix); });
    tile->OnRetry([this](const std::string& name) {
        Draw(station_.Retry(name));
        // Back on the toggle, where Space and Enter stop the station: the
        // button that had it hides.
        start_->setFocus();
    });
    tiles_[port] = tile;
    return tile;
}

void CStationWindow::PlaceTiles()
{
    while (QLayoutItem* item = grid_->takeAt(0))
        delete item;
    // Tiles the board no longer has go with their counters.
    for (auto it = tiles_.begin(); it != tiles_.end();) {
        if (!station_.Board().Find(it->first)) {
            delete it->second;
            it = tiles_.erase(it);
        } else {
            ++it;
        }
    }
    for (const std::string& name : station_.Board().Order()) {
        CPortTile* tile = TileFor(name);
        tile->Draw(*station_.Board().Find(name));
        grid_->addWidget(tile);
    }
    placeholder_->setVisible(tiles_.empty());
}

void CStationWindow::ShowControls()
{
    const bool running = Running();
    const bool stopping = station_.Board().Stopping();
    start_->setText(!running ? QStringLiteral("Start") : stopping ? QStringLiteral("Stopping...") : QStringLiteral("Stop"));
    start_->setEnabled(running ? !stopping : station_.ImageOk());
    imageButton_->setEnabled(station_.TakesImage());
    jobButton_->setEnabled(!running);
    recordButton_->setEnabled(!running);
    placeholder_->setText(Q(station_.EmptyText()));
}

void CStationWindow::ShowTotals()
{
    QStringList words;
    for (const std::string& w : station_.Board().TotalsWords())
        words << Q(w);
    totalsLabel_->setText(words.join(QStringLiteral(" \u00b7 ")));
    recordLabel_->setText(QStringLiteral("Record: ") + Q(station_.RecordPath()));
}

void CStationWindow::Alert(const QString& text)
{
    alert_->setText(text.trimmed());
    alert_->setVisible(!text.trimmed().isEmpty());
}

void CStationWindow::RunFix(const LatencyFix& fix)
{
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/zerquill-flash");
    const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
    if (pkexec.isEmpty()) {
        ShowFixCommand(QStringLiteral("sudo ") + program + QLatin1Char(' ') + Q(fix.ArgLine()));
        return;
    }
    QStringList args{program};
    for (const std::string& arg : fix.args)
        args << Q(arg);
    auto* process = new QProcess(this);
    const std::string port = fix.port;
    // finished or errorOccurred(FailedToStart) comes, not both.
    connect(process, &QProcess::finished, this, [this, process, port](int code, QProcess::ExitStatus status) {
        const FixOutcome outcome = status == QProcess::NormalExit
                                       ? PkexecOutcome(code)
                                       : FixOutcome{FixEnd::NotStarted, code, "pkexec crashed"};
        Draw(station_.FixEnded(port, outcome));
        process->deleteLater();
    });
    connect(process, &QProcess::errorOccurred, this, [this, process, port](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        Draw(station_.FixEnded(port, FixOutcome{FixEnd::NotStarted, 0, S(process->errorString())}));
        process->deleteLater();
    });
    Draw(station_.FixStarted(fix.port));
    process->start(pkexec, args);
}

void CStationWindow::ShowFixCommand(const QString& command)
{
    // Without pkexec there is no one to ask for the rights: the operator
    // runs the command where they have them.
    auto* box = new QMessageBox(QMessageBox::Information, QString::fromLatin1(kTitle),
                                QStringLiteral("Run this as root to set the adapter's latency timer:\n\n") + command,
                                QMessageBox::Ok, this);
    box->setTextFormat(Qt::PlainText);
    box->setTextInteractionFlags(Qt::TextSelectableByMouse);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

}  // namespace zq
