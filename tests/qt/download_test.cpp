// The Qt dialog driving whole downloads against the device simulator on a
// pty: what the window shows during and after a download, the keys and the
// close box while one runs; on a locked station, the released image sent
// though DB.bin changes under the download.
#include <QElapsedTimer>
#include <QFile>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include <fstream>
#include <iterator>
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

std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes over the file's own bytes, neither truncating nor replacing it, as
// a tool that patches an image where it lies does.
void OverwriteInPlace(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The simulator at the line's own pace, as a device answers.
DevSimOptions Paced(DevSimOptions options = {})
{
    options.pace = true;
    return options;
}

// The dialog on screen, reading DB.bin from dir, with the simulator's line
// the only port discovery lists.
void Show(CUpdaterDlg& dlg, const std::string& folder, const CSimRig& device)
{
    const std::string name = device.Path();
    dlg.SetImageFolder(folder);
    dlg.SetPortSource([name] { return std::vector<PortInfo>{{name, "", ""}}; });
    dlg.show();
}

// A download about to be started: DB.bin of `blocks` blocks, the paced
// simulator, and the dialog on screen with its notices caught.
struct Scene {
    explicit Scene(uint32_t blocks, DevSimOptions options = {})
        : image(WriteImage(dir, blocks)), device(Paced(options))
    {
        Show(dlg, dir.path(), device);
    }
    TempDir dir;
    const std::vector<uint8_t> image;
    CSimRig device;
    CUpdaterDlg dlg;
    NoticeCatcher catcher{dlg};
};

// The port is free again when another link can take it.
bool PortIsFree(const std::string& path)
{
    CSerialLink other;
    const bool opened = other.Open(path, 115200) == LINK_OK;
    other.Close();
    return opened;
}

// The device took the whole image, and the one notice said so.
void ExpectDelivered(CSimRig& device, const std::vector<uint8_t>& image, const NoticeCatcher& catcher)
{
    const DevSimReport& report = device.Wait();
    QVERIFY2(report.completed, report.endedAt.c_str());
    QCOMPARE(QString::fromStdString(CompareWithImage(report, image)), QString());
    QCOMPARE(catcher.seen.size(), size_t(1));
    QCOMPARE(catcher.seen[0].text, QStringLiteral("Success Download!"));
}

// The dialog let go of the link and the image, and so of the port.
void ExpectLetGo(Scene& scene)
{
    QVERIFY(!scene.dlg.Link().IsOpen());
    QVERIFY(!scene.dlg.ImageFile().IsOpen());
    QVERIFY(PortIsFree(scene.device.Path()));
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
    void aLockedStationSendsTheReleasedImageThoughTheFileChanges();
};

void DownloadTest::successfulDownload()
{
    const uint32_t blocks = 40;
    DevSimOptions options;
    options.progressBytes = 2;
    Scene scene(blocks, options);
    BarLog bar;
    Watch(scene.dlg, bar);

    QTest::mouseClick(scene.dlg.StartButton(), Qt::LeftButton);
    QVERIFY(!scene.dlg.StartButton()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!scene.dlg.DownloadRunning(), 30000);

    ExpectDelivered(scene.device, scene.image, scene.catcher);
    if (QTest::currentTestFailed())
        return;
    const int full = static_cast<int>(blocks + blocks / 512 + 40);
    const SeenNotice& notice = scene.catcher.seen[0];
    QCOMPARE(notice.icon, QMessageBox::Warning);
    QCOMPARE(notice.barMaximum, full);
    QCOMPARE(notice.barValue, full);
    QVERIFY(!notice.startEnabled);
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

    QVERIFY(scene.dlg.StartButton()->isEnabled());
    QVERIFY(scene.dlg.isVisible());
    ExpectLetGo(scene);
}

void DownloadTest::keysLeaveADownloadAlone()
{
    Scene scene(300);
    CUpdaterDlg& dlg = scene.dlg;

    QTest::mouseClick(dlg.StartButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(dlg.ProgressBar()->value() >= 100, 20000);
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter})
        QTest::keyClick(&dlg, key);
    QTest::qWait(300);
    QVERIFY(dlg.isVisible());
    QVERIFY(dlg.DownloadRunning());
    QCOMPARE(scene.catcher.seen.size(), size_t(0)); // no question either

    QTRY_VERIFY_WITH_TIMEOUT(!dlg.DownloadRunning(), 30000);
    ExpectDelivered(scene.device, scene.image, scene.catcher);
    if (QTest::currentTestFailed())
        return;

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
    DevSimOptions options;
    // The tool's silence after the cancel ends the session soon after.
    options.silenceMs = 1500;
    Scene scene(600, options); // about seven seconds at the line rate
    CUpdaterDlg& dlg = scene.dlg;
    NoticeCatcher& catcher = scene.catcher;

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
    ExpectLetGo(scene);
    if (QTest::currentTestFailed())
        return;

    // The device heard nothing more from the tool once it stopped.
    const DevSimReport& report = scene.device.Wait(10000);
    QVERIFY(!scene.device.Overran());
    QVERIFY(!report.completed);
    QVERIFY2(report.endedAt.rfind("tool silent", 0) == 0, report.endedAt.c_str());
    QVERIFY(report.blocks >= 60 && report.blocks < 600);
}

void DownloadTest::destroyingTheDialogDuringADownload()
{
    TempDir dir;
    WriteImage(dir, 600);
    CSimRig device(Paced());

    auto* dlg = new CUpdaterDlg;
    Show(*dlg, dir.path(), device);
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

// Run by locked_dialog.sh on a station it locked, with DB.bin, its released
// DB.zqjob and other.bin (another image of the same length) in ZQ_RELEASED.
// Start is pressed again and again in one dialog; each time DB.bin is
// overwritten in place once block 5 is acknowledged, and the device must
// get the released image whole. Then, without its job, the image is refused
// and the device hears nothing.
void DownloadTest::aLockedStationSendsTheReleasedImageThoughTheFileChanges()
{
    const std::string folder = qEnvironmentVariable("ZQ_RELEASED").toStdString();
    if (folder.empty())
        QSKIP("needs a locked station: run by locked_dialog.sh");
    const std::string path = folder + "/DB.bin";
    const std::vector<uint8_t> released = ReadBytes(path);
    const std::vector<uint8_t> other = ReadBytes(folder + "/other.bin");
    QVERIFY(released.size() == other.size() && released != other);

    CSimRig device(Paced());
    CUpdaterDlg dlg;
    Show(dlg, folder, device);
    NoticeCatcher catcher{dlg};
    // 40 + k on the bar: block k acknowledged. The worker waits for the
    // update, so block 6 is read only after the file has changed.
    bool changed = false;
    QObject::connect(dlg.ProgressBar(), &QProgressBar::valueChanged, &dlg, [&](int value) {
        if (value >= 45 && !changed) {
            OverwriteInPlace(path, other);
            changed = true;
        }
    });
    for (int run = 0; run < 5; ++run) {
        WriteFile(path, released);
        changed = false;
        catcher.seen.clear();
        if (run > 0)
            device.Start();
        QTest::mouseClick(dlg.StartButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.DownloadRunning(), 30000);
        QVERIFY2(changed, qPrintable(QString("run %1: the bar never showed block 5").arg(run)));
        ExpectDelivered(device, released, catcher);
        if (QTest::currentTestFailed())
            return;
    }

    QVERIFY(QFile::rename(QString::fromStdString(folder + "/DB.zqjob"), QString::fromStdString(folder + "/held.zqjob")));
    catcher.seen.clear();
    device.Start();
    QTest::mouseClick(dlg.StartButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!dlg.DownloadRunning(), 10000);
    QCOMPARE(catcher.seen.size(), size_t(1));
    QVERIFY2(catcher.seen[0].text.startsWith("Fail Download!\nthe image is not released"),
             qPrintable(catcher.seen[0].text));
    QVERIFY(!device.Finish().sawBeaconReply);
}

}  // namespace zq

QTEST_MAIN(zq::DownloadTest)

#include "download_test.moc"
