#include "app/qt/UpdaterDlg.h"

#include "image/ImagePath.h"
#include "release/OpenedJob.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <sys/resource.h>

namespace zq {

namespace {

// The dialog template, in dialog units.
const QRect kDialogUnits(0, 0, 201, 61);
const QRect kStartUnits(65, 17, 71, 16);
const QRect kProgressUnits(15, 46, 171, 7);

const char kTitle[] = "ZerquillAv1.00";
const char kStopQuestion[] = "A download is running. Stop it and close?";

int MulDivRound(int value, int numerator, int denominator)
{
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}

int ToBarValue(uint32_t value)
{
    return static_cast<int>(std::min<uint32_t>(value, INT_MAX));
}

QFont DialogFont()
{
    // The template asks for Gulim; fontconfig may list it by either name.
    const QStringList families = QFontDatabase::families();
    for (const QString& name : {QStringLiteral("굴림"), QStringLiteral("Gulim")}) {
        if (families.contains(name, Qt::CaseInsensitive))
            return QFont(name, 9);
    }
    return QFont();
}

// The downloads feed a line that tolerates only short gaps between bytes.
// Linux keeps the nice value per thread and new threads inherit it, so the
// GUI thread raises itself before it starts any worker. Without the right to
// do so (no CAP_SYS_NICE, no rlimit) the tool runs at normal priority.
// The tool has no log, so a refusal (EPERM, EACCES) only shows in the result.
bool RaisePriority()
{
    return setpriority(PRIO_PROCESS, 0, -10) == 0;
}

QString ExecutableName()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}

} // namespace

CUpdaterDlg::CUpdaterDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      start_(new QPushButton(QStringLiteral("Start"), this)),
      progress_(new QProgressBar(this)),
      icon_(QStringLiteral(":/zerquill/zerquill.png"))
{
    setWindowTitle(QString::fromLatin1(kTitle));
    setFont(DialogFont());

    const QRect client = MapDialogRect(kDialogUnits);
    setFixedSize(client.size());
    start_->setGeometry(MapDialogRect(kStartUnits));
    progress_->setGeometry(MapDialogRect(kProgressUnits));
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);

    if (!icon_.isNull())
        setWindowIcon(icon_);

    RaisePriority(); // best effort

    connect(start_, &QPushButton::clicked, this, &CUpdaterDlg::OnStart);
    start_->setEnabled(true);
    start_->setFocus();
}

CUpdaterDlg::~CUpdaterDlg()
{
    destroying_ = true;
    WaitForWorkerWithoutDialog();
}

QRect CUpdaterDlg::MapDialogRect(const QRect& units) const
{
    // Dialog units are a quarter of the font's average letter width and an
    // eighth of its height; the average is taken over the 52 Latin letters,
    // rounded, as dialog templates have always been measured.
    const QFontMetrics metrics(font());
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const int baseX = std::max(1, (letters / 26 + 1) / 2);
    const int baseY = std::max(1, metrics.height());
    return QRect(MulDivRound(units.x(), baseX, 4), MulDivRound(units.y(), baseY, 8),
                 MulDivRound(units.width(), baseX, 4), MulDivRound(units.height(), baseY, 8));
}

void CUpdaterDlg::OnStart()
{
    if (worker_.joinable())
        return; // one download at a time: the worker owns the link and the file

    progress_->setValue(0);

    imagePath_ = imageFolder_.empty() ? DefaultImagePath() : ImagePathIn(imageFolder_);

    // Disabling the focused button would leave no widget with the focus and
    // Escape would no longer reach the dialog.
    if (start_->hasFocus())
        setFocus(Qt::OtherFocusReason);
    start_->setEnabled(false);

    cancel_.store(false);
    workerEnded_.store(false);
    worker_ = std::thread([this] {
        DownloadReleasedImage(this);
        workerEnded_.store(true);
        QMetaObject::invokeMethod(this, [this] { OnWorkerEnded(); }, Qt::QueuedConnection);
    });
}

void CUpdaterDlg::done(int result)
{
    if (!worker_.joinable()) {
        QDialog::done(result);
        return;
    }
    // The worker may be waiting on a progress update or a notice queued to
    // this thread, so the window cannot wait for it here; it closes when the
    // worker's end arrives.
    closePending_ = true;
    closeResult_ = result;
    cancel_.store(true);
    if (notice_)
        notice_->done(QMessageBox::Ok);
}

void CUpdaterDlg::keyPressEvent(QKeyEvent* event)
{
    if (worker_.joinable()) {
        switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            event->accept();
            return;
        default:
            break;
        }
    }
    QDialog::keyPressEvent(event);
}

void CUpdaterDlg::closeEvent(QCloseEvent* event)
{
    // With the worker's last notice up the download is over: nothing is left
    // to stop, and the window goes as soon as the worker does.
    if (!worker_.joinable() || notice_) {
        QDialog::closeEvent(event);
        return;
    }
    event->ignore();
    // Once asked, or once stopping, a second close changes nothing.
    if (asking_ || closePending_)
        return;
    asking_ = true;
    const QMessageBox::StandardButton answer =
        QMessageBox::question(this, ExecutableName(), QString::fromLatin1(kStopQuestion),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    asking_ = false;
    if (answer == QMessageBox::Yes)
        done(QDialog::Rejected); // the download may have ended meanwhile
}

void CUpdaterDlg::OnWorkerEnded()
{
    if (!worker_.joinable())
        return;
    worker_.join();
    if (destroying_)
        return;
    start_->setEnabled(true);
    if (closePending_) {
        closePending_ = false;
        QDialog::done(closeResult_);
        return;
    }
    start_->setFocus(Qt::OtherFocusReason);
}

// Reached only when the dialog is destroyed without having been closed (its
// owner deleting it while a download runs). The worker still needs this
// thread to answer its queued calls, so they are served until it ends.
void CUpdaterDlg::WaitForWorkerWithoutDialog()
{
    if (!worker_.joinable())
        return;
    cancel_.store(true);
    closePending_ = true;
    if (notice_)
        notice_->done(QMessageBox::Ok);
    while (!workerEnded_.load())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    // The worker's queued end may have been served above and joined it.
    if (worker_.joinable())
        worker_.join();
}

template <typename F>
void CUpdaterDlg::RunOnGuiThread(F&& f)
{
    if (QThread::currentThread() == thread())
        f();
    else
        QMetaObject::invokeMethod(this, std::forward<F>(f), Qt::BlockingQueuedConnection);
}

void CUpdaterDlg::SetRange(uint32_t maximum)
{
    RunOnGuiThread([this, maximum] { progress_->setRange(0, ToBarValue(maximum)); });
}

void CUpdaterDlg::SetPos(uint32_t position)
{
    RunOnGuiThread([this, position] { ApplyPos(position); });
}

void CUpdaterDlg::ApplyPos(uint32_t position)
{
    // The bar ignores values outside its range; the device may report more
    // CLR steps than the range allows for, and the bar should then stand full.
    const int value = std::clamp(ToBarValue(position), progress_->minimum(), progress_->maximum());
    progress_->setValue(value);
}

void CUpdaterDlg::ShowNotice(const std::string& text)
{
    const QString message = QString::fromLocal8Bit(text.c_str());
    RunOnGuiThread([this, message] { ShowNoticeBox(message); });
}

void CUpdaterDlg::ShowNoticeBox(const QString& text)
{
    // Nobody is left to read it once the window is closing.
    if (closePending_)
        return;
    QMessageBox box(QMessageBox::Warning, ExecutableName(), text, QMessageBox::Ok, this);
    box.setDefaultButton(QMessageBox::Ok);
    notice_ = &box;
    box.exec();
    notice_ = nullptr;
}

}  // namespace zq
