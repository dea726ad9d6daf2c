// The Qt dialog on its own: the window as drawn, and the Start command up to
// the image file (no serial port involved).
#include <QCoreApplication>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include <atomic>
#include <functional>
#include <thread>

#include "tests/qt/NoticeCatcher.h"
#include "tests/TempDir.h"
#include "app/qt/UpdaterDlg.h"

namespace zq {

namespace {

// No port may be probed by these tests: any attempt shows up as a failure.
std::vector<PortInfo> NoPorts() { return {}; }

} // namespace

class DialogTest : public QObject {
    Q_OBJECT

private slots:
    void windowTextsAndInitialBar();
    void layoutFollowsTheFontInDialogUnits();
    void sizeIsFixed();
    void startWithoutImageShowsFileOpenFailed();
    void startResetsAFullBarFirst();
    void imageIsLookedForBesideTheExecutable();
    void closingWhileTheNoticeIsUpEndsTheWorker();
    void progressFromAnotherThread();
};

void DialogTest::windowTextsAndInitialBar()
{
    CUpdaterDlg dlg;
    QCOMPARE(dlg.windowTitle(), QStringLiteral("ZerquillAv1.00"));
    QCOMPARE(dlg.StartButton()->text(), QStringLiteral("Start"));
    QVERIFY(dlg.StartButton()->isEnabled());
    QCOMPARE(dlg.ProgressBar()->minimum(), 0);
    QCOMPARE(dlg.ProgressBar()->maximum(), 100);
    QCOMPARE(dlg.ProgressBar()->value(), 0);
    QVERIFY(!dlg.ProgressBar()->isTextVisible());
    QVERIFY(!dlg.DownloadRunning());
    QVERIFY(!dlg.windowIcon().isNull());
    QCOMPARE(dlg.windowIcon().pixmap(32, 32).size(), QSize(32, 32));

    const bool gulim = QFontDatabase::families().contains(QStringLiteral("굴림"));
    if (gulim) {
        QCOMPARE(dlg.font().family(), QStringLiteral("굴림"));
        QCOMPARE(dlg.font().pointSize(), 9);
    } else {
        QCOMPARE(dlg.font().family(), QApplication::font().family());
    }
}

void DialogTest::layoutFollowsTheFontInDialogUnits()
{
    CUpdaterDlg dlg;
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));

    const QFontMetrics fm(dlg.font());
    // A dialog unit is a quarter of the average letter width, rounded to
    // whole pixels first, and an eighth of the font's height.
    const int letters =
        fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const double unitX = std::lround(letters / 52.0) / 4.0;
    const double unitY = fm.height() / 8.0;
    QVERIFY(unitX > 0.5 && unitY > 0.5);
    auto near = [](int px, double units, double unit) { return std::abs(px - units * unit) <= 1.0; };

    const QRect client = dlg.rect();
    QVERIFY2(near(client.width(), 201, unitX), qPrintable(QString::number(client.width())));
    QVERIFY2(near(client.height(), 61, unitY), qPrintable(QString::number(client.height())));

    const QRect button = dlg.StartButton()->geometry();
    QVERIFY(near(button.x(), 65, unitX));
    QVERIFY(near(button.y(), 17, unitY));
    QVERIFY(near(button.width(), 71, unitX));
    QVERIFY(near(button.height(), 16, unitY));

    const QRect bar = dlg.ProgressBar()->geometry();
    QVERIFY(near(bar.x(), 15, unitX));
    QVERIFY(near(bar.y(), 46, unitY));
    QVERIFY(near(bar.width(), 171, unitX));
    QVERIFY(near(bar.height(), 7, unitY));

    // Both controls are centred, the bar under the button, both inside.
    QVERIFY(std::abs(button.center().x() - client.center().x()) <= 1);
    QVERIFY(std::abs(bar.center().x() - client.center().x()) <= 1);
    QVERIFY(bar.top() > button.bottom());
    QVERIFY(client.contains(button));
    QVERIFY(client.contains(bar));
}

void DialogTest::sizeIsFixed()
{
    CUpdaterDlg dlg;
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    const QSize size = dlg.size();
    QCOMPARE(dlg.minimumSize(), size);
    QCOMPARE(dlg.maximumSize(), size);
    dlg.resize(size * 2);
    QCoreApplication::processEvents();
    QCOMPARE(dlg.size(), size);
}

void DialogTest::startWithoutImageShowsFileOpenFailed()
{
    TempDir dir; // empty: no DB.bin
    CUpdaterDlg dlg;
    dlg.SetImageFolder(dir.path());
    dlg.SetPortSource(NoPorts);
    dlg.show();
    NoticeCatcher catcher(dlg);

    QTest::mouseClick(dlg.StartButton(), Qt::LeftButton);
    QVERIFY(dlg.DownloadRunning());
    QVERIFY(!dlg.StartButton()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!dlg.DownloadRunning(), 10000);

    QCOMPARE(dlg.ImagePath(), dir.file("DB.bin"));
    QCOMPARE(catcher.seen.size(), size_t(1));
    const SeenNotice& n = catcher.seen[0];
    QCOMPARE(n.text, QStringLiteral("File Open Failed"));
    QCOMPARE(n.icon, QMessageBox::Warning);
    QCOMPARE(n.buttonCount, 1);
    QVERIFY(n.hasOk);
    QVERIFY(n.modalToDialog);
    QCOMPARE(n.title, QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    QCOMPARE(n.barValue, 0);
    QVERIFY(!n.startEnabled);

    QVERIFY(dlg.StartButton()->isEnabled());
    QVERIFY(dlg.isVisible());
    QVERIFY(!dlg.Link().IsOpen());
    QVERIFY(!dlg.ImageFile().IsOpen());
}

void DialogTest::startResetsAFullBarFirst()
{
    TempDir dir;
    CUpdaterDlg dlg;
    dlg.SetImageFolder(dir.path());
    dlg.SetPortSource(NoPorts);
    dlg.show();
    dlg.ProgressBar()->setRange(0, 41);
    dlg.ProgressBar()->setValue(41);
    NoticeCatcher catcher(dlg);

    QTest::mouseClick(dlg.StartButton(), Qt::LeftButton);
    // Every update from the worker needs this thread, which has not yet
    // returned to the event loop: what the bar shows now is Start's doing.
    QCOMPARE(dlg.ProgressBar()->value(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!dlg.DownloadRunning(), 10000);

    QCOMPARE(catcher.seen.size(), size_t(1));
    QCOMPARE(catcher.seen[0].text, QStringLiteral("File Open Failed"));
    QCOMPARE(catcher.seen[0].barValue, 0);
    QCOMPARE(dlg.ProgressBar()->maximum(), 41); // the range is left alone
}

void DialogTest::imageIsLookedForBesideTheExecutable()
{
    const QString expected = QCoreApplication::applicationDirPath() + QStringLiteral("/DB.bin");
    if (QFileInfo::exists(expected))
        QSKIP("a DB.bin lies beside the test program");
    CUpdaterDlg dlg;
    dlg.SetPortSource(NoPorts);
    dlg.show();
    NoticeCatcher catcher(dlg);
    QTest::mouseClick(dlg.StartButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!dlg.DownloadRunning(), 10000);
    QCOMPARE(QString::fromStdString(dlg.ImagePath()), expected);
    QCOMPARE(catcher.seen.size(), size_t(1));
    QCOMPARE(catcher.seen[0].text, QStringLiteral("File Open Failed"));
}

void DialogTest::closingWhileTheNoticeIsUpEndsTheWorker()
{
    TempDir dir;
    CUpdaterDlg dlg;
    dlg.SetImageFolder(dir.path());
    dlg.SetPortSource(NoPorts);
    dlg.show();
    NoticeCatcher catcher(dlg);
    catcher.pressOk = false;
    bool visibleAfterClose = false;
    catcher.onFirstNotice = [&] {
        // The worker is waiting on this box; the close must not wait for it.
        dlg.close();
        visibleAfterClose = dlg.isVisible();
    };

    QTest::mouseClick(dlg.StartButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!dlg.isVisible(), 10000);
    QVERIFY(!catcher.forced);
    QVERIFY(!dlg.DownloadRunning());
    QVERIFY(catcher.current.isNull() || !catcher.current->isVisible());
    QCOMPARE(catcher.seen.size(), size_t(1));
    QVERIFY(visibleAfterClose); // closed only once the worker had ended
}

void DialogTest::progressFromAnotherThread()
{
    CUpdaterDlg dlg;
    dlg.show();
    ProgressSink& sink = dlg.Progress();

    // Runs calls as the worker would, and waits (serving this thread's
    // events meanwhile) until each has returned.
    auto fromWorker = [](const std::function<void()>& calls) {
        std::atomic<bool> done{false};
        std::thread t([&] {
            calls();
            done = true;
        });
        const bool finished = QTest::qWaitFor([&] { return done.load(); }, 10000);
        t.join();
        return finished;
    };

    // Large images need a range beyond 16 bits; it must not wrap.
    QVERIFY(fromWorker([&] {
        sink.SetRange(65535 + 127 + 40);
        sink.SetPos(65700);
    }));
    QCOMPARE(dlg.ProgressBar()->maximum(), 65535 + 127 + 40);
    QCOMPARE(dlg.ProgressBar()->value(), 65700);

    // A position past the range (more CLR steps than allowed for) shows a
    // full bar, not the last position that fitted.
    QVERIFY(fromWorker([&] {
        sink.SetRange(41);
        sink.SetPos(39);
        sink.SetPos(44);
    }));
    QCOMPARE(dlg.ProgressBar()->value(), 41);
}


}  // namespace zq

QTEST_MAIN(zq::DialogTest)

#include "dialog_test.moc"
