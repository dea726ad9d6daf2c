// Pictures of the dialog for review: idle, in the middle of a download to
// the device simulator, the question its close box asks then (answered No),
// and the success notice. Renders off screen.
//   zq-dialog-shots <output folder>
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include <unistd.h>

#include "devsim/DevSim.h"
#include "devsim/SimRig.h"
#include "app/qt/Shots.h"
#include "image/ImagePath.h"
#include "app/qt/UpdaterDlg.h"

using namespace zq;

using namespace devsim;

namespace {

bool Save(const QPixmap& picture, const QString& folder, const char* name)
{
    return SaveShot(picture, folder, name);
}

// The dialog with the notice drawn over its middle, as the desktop shows it.
QPixmap Composite(QWidget& dialog, QWidget& box)
{
    const QPixmap back = dialog.grab();
    const QPixmap front = box.grab();
    QPixmap out(std::max(back.width(), front.width()) + 40, back.height() + front.height() / 2 + 40);
    out.fill(QColor(0x30, 0x50, 0x70));
    QPainter p(&out);
    p.drawPixmap((out.width() - back.width()) / 2, 10, back);
    p.drawPixmap((out.width() - front.width()) / 2, 10 + back.height() / 2, front);
    return out;
}

// The dialog idle, halfway through a download from the simulated device on
// port, asking whether to close, with its notice, and done. True when every
// shot was taken and the download succeeded.
bool ShootDownload(QApplication& app, const std::string& imageFolder, const std::string& port, const QString& out)
{
    bool ok = true;
    CUpdaterDlg dlg;
    dlg.SetImageFolder(imageFolder);
    dlg.SetPortSource([port] { return std::vector<PortInfo>{{port, "", ""}}; });
    dlg.show();
    app.processEvents();
    ok &= Save(dlg.grab(), out, "dialog-idle.png");

    bool midTaken = false;
    bool questionTaken = false;
    bool noticeTaken = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!midTaken && dlg.ProgressBar()->value() >= dlg.ProgressBar()->maximum() / 2) {
            midTaken = true;
            ok &= Save(dlg.grab(), out, "dialog-downloading.png");
            // The close box's question runs its own loop: ask from outside
            // this timer so that it keeps polling meanwhile.
            QTimer::singleShot(0, &dlg, [&dlg] { dlg.close(); });
        }
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && !questionTaken && box->button(QMessageBox::No)) {
            questionTaken = true;
            ok &= Save(Composite(dlg, *box), out, "dialog-close-question.png");
            box->button(QMessageBox::No)->click();
            return;
        }
        if (box && !noticeTaken) {
            noticeTaken = true;
            ok &= Save(box->grab(), out, "notice-success.png");
            ok &= Save(Composite(dlg, *box), out, "dialog-with-notice.png");
            if (box->text() != QStringLiteral("Success Download!")) {
                std::fprintf(stderr, "notice was \"%s\"\n", qPrintable(box->text()));
                ok = false;
            }
            box->button(QMessageBox::Ok)->click();
        }
    });
    poll.start();

    QTimer give_up;
    give_up.setSingleShot(true);
    QObject::connect(&give_up, &QTimer::timeout, [&] {
        std::fprintf(stderr, "the download did not end in time\n");
        ok = false;
        dlg.reject(); // stops the download without asking
    });
    give_up.start(60000);

    dlg.StartButton()->click();
    while (dlg.DownloadRunning() && give_up.isActive())
        app.processEvents(QEventLoop::WaitForMoreEvents);
    app.processEvents();
    ok &= midTaken && questionTaken && noticeTaken;
    if (ok)
        ok &= Save(dlg.grab(), out, "dialog-done.png");
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    QString out;
    char folder[] = "/tmp/zq-shots-XXXXXX";
    if (!OpenShots(argc, argv, "zq-dialog-shots <output folder>", folder, out))
        return 1;
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    const std::string imageFolder = folder;
    if (!WriteShotImage(ImagePathIn(imageFolder), 300)) {
        std::fprintf(stderr, "cannot write the image\n");
        return 1;
    }

    DevSimOptions options;
    options.pace = true;
    options.progressBytes = 3;
    CSimRig sim(options); // throws when no pty can be had

    const bool ok = ShootDownload(app, imageFolder, sim.Path(), out);
    sim.Finish();
    std::remove(ImagePathIn(imageFolder).c_str());
    rmdir(folder);
    return ok ? 0 : 1;
}
