// The Qt dialog driving whole downloads against the device simulator on a
// pty: what the window shows during and after a download, the keys and the
// close box while one runs.
#include <QElapsedTimer>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include <memory>
#include <thread>

#include "devsim/DevSim.h"
#include "devsim/SimRig.h"
#include "tests/qt/NoticeCatcher.h"
#include "tests/TempDir.h"
#include "app/qt/UpdaterDlg.h"

namespace zq {

using namespace devsim;

namespace {

// Discovery's port list: the simulator's line alone.
PortSource PortsOf(const CSimRig& device)
{
    const std::string name = device.Path();
    return [name] { return std::vector<PortInfo>{{name, "", ""}}; };
}

// What the bar went through, and whether Start was ever enabled meanwhile.
struct BarLog {
    std::vector<int> values;
    bool startEnabledDuringRun = false;
};

void Watch(CUpdaterDlg& dlg, BarLog& log)
{
    QObject::connect(dlg.ProgressBar(), &QProgressBar::valueChanged, &dlg, [&dlg, &log](int v) {
        log.values.push_back(v);
        if (dlg.StartButton()->isEnabled())
            log.startEnabledDuringRun = true;
    });
}

std::vector<uint8_t> WriteImage(const TempDir& dir, uint32_t blocks)
{
    const auto image = MakeImage(65536 + 128 * blocks, 8);
    WriteFile(dir.file("DB.bin"), image);
    return image;
}

// The port is free again when another link can take it.
bool PortIsFree(const std::string& path)
{
    CSerialLink other;
    const bool opened = other.Open(path, 115200) == LINK_OK;
    other.Close();
    return opened;
}

} // namespace

class DownloadTest : public QObject {
    Q_OBJECT

private slots:
    void successfulDownload();
    void keysLeaveADownloadAlone();
    void closingDuringADownload_data();
    void closingDuringADownload();
    void destroyingTheDialogDuringADownload();
};

void DownloadTest::successfulDownload()
{
    TempDir dir;
    const uint32_t blocks = 40;
    const auto image = WriteImage(dir, blocks);
    DevSimOptions options;
    options.pace = true;
    options.progressBytes = 2;
    CSimRig device(options);

    CUpdaterDlg dlg;
    dlg.SetImageFolder(dir.path());
    dlg.SetPortSource(PortsOf(device));
    dlg.show();
    NoticeCatcher catcher(dlg);
    BarLog bar;
    Watch(dlg, bar);

    QTest::mouseClick(dlg.StartButton(), Qt::LeftButton);
    QVERIFY(!dlg.StartButton()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!dlg.DownloadRunning(), 30000);

    const DevSimReport& report = device.Wait();
    QVERIFY2(report.completed, report.endedAt.c_str());
    QCOMPARE(QString::fromStdString(CompareWithImage(report, image)), QString());

    const int full = static_cast<int>(blocks + blocks / 512 + 40);
    QCOMPARE(catcher.seen.size(), size_t(1));
    QCOMPARE(catcher.seen[0].text, QStringLiteral("Success Download!"));
    QCOMPARE(catcher.seen[0].icon, QMessageBox::Warning);
    QCOMPARE(catcher.seen[0].barMaximum, full);
    QCOMPARE(catcher.seen[0].barValue, full);
    QVERIFY(!catcher.seen[0].startEnabled);
    QVERIFY(!bar.startEnabledDuringRun);

    // Each update reached the bar, in order: the worker waited for every one.
    QVERIFY(!bar.values.empty());
    QVERIFY(std::is_sorted(bar.values.begin(), bar.values.end()));
    for (int expected : {5, 10, 17, 20, 23, 25, 27, 30, 32, 33, 34, 35, 37, 39})
        QVERIFY2(std::count(bar.values.begin(), bar.values.end(), expected) == 1,
                 qPrintable(QString::number(expected)));
    for (int p = 42; p <= full; ++p)
        QVERIFY2(std::count(bar.values.begin(), bar.values.end(), p) == 1, qPrintable(QString::number(p)));
    // The last block stands past the range (two CLR steps, one allowed
    // for): the bar shows it full rather than dropping the update.
    QCOMPARE(bar.values.back(), full);

    QVERIFY(dlg.StartButton()->isEnabled());
    QVERIFY(dlg.isVisible());
    QVERIFY(!dlg.Link().IsOpen());
    QVERIFY(!dlg.ImageFile().IsOpen());
    QVERIFY(PortIsFree(device.Path()));
}

void DownloadTest::keysLeaveADownloadAlone()
{
    TempDir dir;
    const auto image = WriteImage(dir, 300);
    DevSimOptions options;
    options.pace = true;
    CSimRig device(options);

    CUpdaterDlg dlg;
    dlg.SetImageFolder(dir.path());
    dlg.SetPortSource(PortsOf(device));
    dlg.show();
    NoticeCatcher catcher(dlg);

    QTest::mouseClick(dlg.StartButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(dlg.ProgressBar()->value() >= 100, 20000);
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter})
        QTest::keyClick(&dlg, key);
    QTest::qWait(300);
    QVERIFY(dlg.isVisible());
    QVERIFY(dlg.DownloadRunning());
    QCOMPARE(catcher.seen.size(), size_t(0)); // no question either

    QTRY_VERIFY_WITH_TIMEOUT(!dlg.DownloadRunning(), 30000);
    const DevSimReport& report = device.Wait();
    QVERIFY2(report.completed, report.endedAt.c_str());
    QCOMPARE(QString::fromStdString(CompareWithImage(report, image)), QString());
    QCOMPARE(catcher.seen.size(), size_t(1));
    QCOMPARE(catcher.seen[0].text, QStringLiteral("Success Download!"));

    // With the download over, Escape closes the window as it always did.
    QVERIFY(dlg.isVisible());
    QTest::keyClick(&dlg, Qt::Key_Escape);
    QVERIFY(!dlg.isVisible());
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
}

void DownloadTest::closingDuringADownload_data()
{
    QTest::addColumn<bool>("refuseFirst");
    QTest::newRow("close box, Yes") << false;
    QTest::newRow("close box, No, then Yes") << true;
}

void DownloadTest::closingDuringADownload()
{
    QFETCH(bool, refuseFirst);
    TempDir dir;
    WriteImage(dir, 600); // about seven seconds at the line rate
    DevSimOptions options;
    options.pace = true;
    // The tool's silence after the cancel ends the session soon after.
    options.silenceMs = 1500;
    CSimRig device(options);

    CUpdaterDlg dlg;
    dlg.SetImageFolder(dir.path());
    dlg.SetPortSource(PortsOf(device));
    dlg.show();
    NoticeCatcher catcher(dlg);

    QTest::mouseClick(dlg.StartButton(), Qt::LeftButton);
    // Well into the blocks, with the worker feeding the bar.
    QTRY_VERIFY_WITH_TIMEOUT(dlg.ProgressBar()->value() >= 100, 20000);

    if (refuseFirst) {
        catcher.questionAnswer = QMessageBox::No;
        const int before = dlg.ProgressBar()->value();
        QVERIFY(!dlg.close());
        QCOMPARE(catcher.seen.size(), size_t(1));
        QVERIFY(dlg.isVisible());
        // Untouched: the blocks keep going.
        QTRY_VERIFY_WITH_TIMEOUT(dlg.ProgressBar()->value() >= before + 30, 10000);
        QVERIFY(dlg.DownloadRunning());
    }

    catcher.questionAnswer = QMessageBox::Yes;
    QElapsedTimer timer;
    timer.start();
    dlg.close();
    // The worker has not ended yet: this thread has not served its end.
    QVERIFY(dlg.isVisible());
    QVERIFY(dlg.DownloadRunning());
    dlg.close(); // already stopping: asks nothing more

    QTRY_VERIFY_WITH_TIMEOUT(!dlg.isVisible(), 10000);
    QVERIFY(!dlg.DownloadRunning());
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(dlg.result(), int(QDialog::Rejected));

    // One question a close, and no failure notice: nobody is left to read it.
    QCoreApplication::processEvents();
    QCOMPARE(catcher.seen.size(), size_t(refuseFirst ? 2 : 1));
    for (const SeenNotice& question : catcher.seen) {
        QVERIFY(question.isQuestion);
        QCOMPARE(question.text, QStringLiteral("A download is running. Stop it and close?"));
        QCOMPARE(question.icon, QMessageBox::Question);
        QCOMPARE(question.defaultButton, QMessageBox::No);
        QVERIFY(question.modalToDialog);
    }
    QVERIFY(!dlg.Link().IsOpen());
    QVERIFY(!dlg.ImageFile().IsOpen());
    QVERIFY(PortIsFree(device.Path()));

    // The device heard nothing more from the tool once it stopped.
    const DevSimReport& report = device.Wait(10000);
    QVERIFY(!device.Overran());
    QVERIFY(!report.completed);
    QVERIFY2(report.endedAt.rfind("tool silent", 0) == 0, report.endedAt.c_str());
    QVERIFY(report.blocks >= 60 && report.blocks < 600);
}

void DownloadTest::destroyingTheDialogDuringADownload()
{
    TempDir dir;
    WriteImage(dir, 600);
    DevSimOptions options;
    options.pace = true;
    CSimRig device(options);

    auto* dlg = new CUpdaterDlg;
    dlg->SetImageFolder(dir.path());
    dlg->SetPortSource(PortsOf(device));
    dlg->show();
    QTest::mouseClick(dlg->StartButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(dlg->ProgressBar()->value() >= 100, 20000);

    QElapsedTimer timer;
    timer.start();
    delete dlg; // returns only once the worker has let go of everything
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(PortIsFree(device.Path()));

    device.Stop();
    QVERIFY(!device.Wait().completed);
}


}  // namespace zq

QTEST_MAIN(zq::DownloadTest)

#include "download_test.moc"
