// The station window against device simulators on ptys: tiles, totals and
// records as devices are flashed at once, closing while downloads run, and
// a record that cannot be written.
#include <QApplication>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>
#include <QtTest>

#include <fstream>
#include <memory>
#include <mutex>

#include <nlohmann/json.hpp>

#include "devsim/DevSim.h"
#include "app/qt-station/PortTile.h"
#include "tests/cli/Receiver.h"
#include "platform/Sha256.h"
#include "devsim/SimRig.h"
#include "app/qt-station/StationWindow.h"
#include "tests/TempDir.h"

namespace zq {

using namespace devsim;

namespace {

// A port list the test can change while the station runs.
struct Ports {
    std::mutex mutex;
    std::vector<PortInfo> list;

    PortSource Source()
    {
        return [this] {
            std::lock_guard<std::mutex> lock(mutex);
            return list;
        };
    }
    void Set(std::vector<PortInfo> ports)
    {
        std::lock_guard<std::mutex> lock(mutex);
        list = std::move(ports);
    }
};

// A file dragged from a file manager and let go over the window.
bool Drop(QWidget& window, const std::string& path)
{
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &drop);
    return drop.isAccepted();
}

std::string Text(const nlohmann::json& value) { return value.get<std::string>(); }

std::vector<nlohmann::json> Records(const std::string& path)
{
    std::vector<nlohmann::json> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        out.push_back(nlohmann::json::parse(line));
    return out;
}

std::vector<uint8_t> WriteImage(const TempDir& dir, uint32_t blocks)
{
    auto image = MakeImage(65536 + 128 * blocks, 8);
    WriteFile(dir.file("DB.bin"), image);
    return image;
}

} // namespace

class StationTest : public QObject {
    Q_OBJECT

private slots:
    void threeDevicesTwoAtOnceAndOneRefusing();
    void closingWhileDownloadsRunAsksOnceAndCancelsThem();
    void aRecordThatCannotBeWrittenStopsTheStation();
    void aJobFixesTheImageItsSlotsAndItsLot();
};

void StationTest::threeDevicesTwoAtOnceAndOneRefusing()
{
    TempDir dir;
    const auto image = WriteImage(dir, 120);
    WriteFile(dir.file("short.bin"), MakeImage(65536 + 128, 0x0100)); // N = 256 wants 4096 more bytes
    DevSimOptions good;
    good.pace = true;
    DevSimOptions refusing = good;
    refusing.refusals.push_back(DevSimRefusal{2, 5});
    CSimRig first(good), second(good), third(refusing);
    Ports ports;
    const std::vector<PortInfo> all = {{first.Path(), "USB serial adapter", "0000:0001"},
                                       {second.Path(), "USB serial adapter", "0000:0002"},
                                       {third.Path(), "USB serial adapter", "0000:0003"}};
    ports.Set(all);

    CStationWindow window;
    window.SetPortSource(ports.Source());

    // A refused image says why, in the command line's words, and cannot be started.
    QVERIFY(Drop(window, dir.file("short.bin")));
    QVERIFY2(window.ImageText().contains(QStringLiteral("image refused: ")) &&
                 window.ImageText().contains(QStringLiteral(" needs at least ")),
             qPrintable(window.ImageText()));
    QVERIFY(!window.StartButton()->isEnabled());
    QVERIFY(Drop(window, dir.file("DB.bin")));
    QVERIFY2(window.ImageText().startsWith(QStringLiteral("DB.bin\n")), qPrintable(window.ImageText()));
    QVERIFY2(window.ImageText().contains(QStringLiteral("120 blocks")), qPrintable(window.ImageText()));
    const std::string record = dir.file("zerquill-station.jsonl");
    QCOMPARE(window.RecordPath(), record);
    QVERIFY(window.StatusText().contains(QString::fromStdString(record)));

    // The toggle has the focus once the window is up: Enter starts the station.
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QVERIFY(window.StartButton()->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QVERIFY(window.Running());
    QCOMPARE(window.StartButton()->text(), QStringLiteral("Stop"));
    QVERIFY(!Drop(window, dir.file("short.bin"))); // the image is fixed while the station runs

    unsigned peak = 0;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, [&] { peak = std::max(peak, window.CurrentTotals().inFlight); });
    sampler.start(5);

    // Each tile is looked at as its download ends: the unit that failed is
    // held, not flashed again, until it is taken away or retried.
    const QString cause = QStringLiteral("block 2 refused 5 times in a row (device answered 0x15)");
    auto state = [&](const CSimRig& device) {
        CPortTile* tile = window.Tile(device.Path());
        return tile ? tile->StateText() : QString();
    };
    QTRY_COMPARE_WITH_TIMEOUT(state(third), QStringLiteral("Fail Download!"), 20000);
    QCOMPARE(window.Tile(third.Path())->NoteText(), QStringLiteral("take the unit away, or retry: ") + cause);
    QVERIFY(window.Tile(third.Path())->RetryButton()->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(window.CurrentTotals().written + window.CurrentTotals().failed == 3, 30000);
    sampler.stop();
    QVERIFY2(peak >= 2, qPrintable(QString::number(peak)));
    QVERIFY2(window.StatusText().startsWith(QStringLiteral("Written 2 \u00b7 Failed 1 \u00b7 In flight 0")),
             qPrintable(window.StatusText()));

    // Tiles in the list's order, with their counters.
    const std::vector<CPortTile*> tiles = window.Tiles();
    QCOMPARE(tiles.size(), size_t(3));
    for (size_t i = 0; i < 3; ++i)
        QCOMPARE(tiles[i]->Name(), QString::fromStdString(all[i].name));
    for (CPortTile* tile : {tiles[0], tiles[1]}) {
        QCOMPARE(tile->StateText(), QStringLiteral("Success Download!"));
        QCOMPARE(tile->BarText(), QStringLiteral("block 120 / 120"));
        QCOMPARE(tile->Written(), 1u);
        QCOMPARE(tile->Failed(), 0u);
    }
    QCOMPARE(tiles[2]->Written(), 0u);
    QCOMPARE(tiles[2]->Failed(), 1u);
    for (CSimRig* device : {&first, &second}) {
        const DevSimReport& report = device->Wait(10000);
        QVERIFY2(report.completed, report.endedAt.c_str());
        QCOMPARE(QString::fromStdString(CompareWithImage(report, image)), QString());
    }
    // Retried, its port listens for the unit again; the tile stays failed,
    // the cause readable, until the unit is found again.
    QTest::mouseClick(tiles[2]->RetryButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(tiles[2]->NoteText(), QStringLiteral("last: ") + cause, 5000);
    QCOMPARE(tiles[2]->StateText(), QStringLiteral("Fail Download!"));
    QVERIFY(!tiles[2]->RetryButton()->isVisible());

    // One record a download, on the disk as each ended.
    const std::vector<nlohmann::json> lines = Records(record);
    QCOMPARE(lines.size(), size_t(3));
    for (const nlohmann::json& line : lines) {
        const bool refused = Text(line["port"]) == third.Path();
        QCOMPARE(QString::fromStdString(Text(line["result"])), refused ? QStringLiteral("fail") : QStringLiteral("success"));
        QCOMPARE(QString::fromStdString(Text(line["cause"])), refused ? cause : QString());
        QCOMPARE(line["image"]["blocks"].get<unsigned>(), 120u);
    }
    QVERIFY(lines[0]["port"] != lines[1]["port"] && lines[1]["port"] != lines[2]["port"] &&
            lines[0]["port"] != lines[2]["port"]);

    // A port that leaves the list greys out with its counters, until Stop.
    ports.Set({all[0], all[1]});
    QTRY_VERIFY_WITH_TIMEOUT(tiles[2]->Gone(), 5000);
    QVERIFY(!tiles[2]->isEnabled());
    QCOMPARE(tiles[2]->Failed(), 1u);
    QVERIFY(tiles[0]->isEnabled());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QTRY_VERIFY_WITH_TIMEOUT(!window.Running(), 5000);
    QCOMPARE(window.StartButton()->text(), QStringLiteral("Start"));
    QVERIFY(window.StartButton()->hasFocus());
    QVERIFY(window.Tile(third.Path()) == nullptr);
    QCOMPARE(window.Tiles().size(), size_t(2));
    QCOMPARE(window.Tile(first.Path())->Written(), 1u);
    QCOMPARE(Records(record).size(), size_t(3));
}

void StationTest::closingWhileDownloadsRunAsksOnceAndCancelsThem()
{
    TempDir dir;
    WriteImage(dir, 600); // about seven seconds at the line rate
    DevSimOptions paced;
    paced.pace = true;
    CSimRig first(paced), second(paced);
    Ports ports;
    ports.Set({{first.Path(), "", ""}, {second.Path(), "", ""}});

    CStationWindow window;
    window.SetPortSource(ports.Source());
    QVERIFY(window.SetImage(dir.file("DB.bin")));
    window.show();
    window.StartButton()->click();
    auto past = [&](const CSimRig& device) {
        CPortTile* tile = window.Tile(device.Path());
        return tile && tile->BarText().section(QLatin1Char(' '), 1, 1).toInt() >= 20;
    };
    QTRY_VERIFY_WITH_TIMEOUT(past(first) && past(second), 20000);

    // The question comes once, even when the window is closed again while it is up.
    int asked = 0;
    QTimer answer;
    connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        ++asked;
        QVERIFY(box->text().contains(QStringLiteral("2 downloads")));
        window.close();
        box->button(QMessageBox::Yes)->click();
    });
    answer.start(10);
    QElapsedTimer timer;
    timer.start();
    window.close();
    QVERIFY(window.isVisible()); // until the station has ended and written its records
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 10000);
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(asked, 1);
    QVERIFY(!window.Running());

    const std::vector<nlohmann::json> lines = Records(dir.file("zerquill-station.jsonl"));
    QCOMPARE(lines.size(), size_t(2));
    for (const nlohmann::json& line : lines)
        QCOMPARE(QString::fromStdString(Text(line["result"])), QStringLiteral("cancelled"));
    QCOMPARE(window.CurrentTotals().cancelled, 2u);
    QCOMPARE(window.Tile(first.Path())->StateText(), QStringLiteral("cancelled"));
    first.Stop();
    second.Stop();
    QVERIFY(!first.Wait().completed);
    QVERIFY(!second.Wait().completed);
}

void StationTest::aRecordThatCannotBeWrittenStopsTheStation()
{
    TempDir dir;
    const auto image = WriteImage(dir, 8);
    DevSimOptions options;
    CSimRig device(options);
    Ports ports;
    ports.Set({{device.Path(), "", ""}});

    CStationWindow window;
    window.SetPortSource(ports.Source());
    QVERIFY(window.SetImage(dir.file("DB.bin")));
    window.show();

    // A record that cannot even be opened: the station does not start.
    QVERIFY(window.SetRecordPath(dir.file("no/such/folder.jsonl")));
    window.StartButton()->click();
    QVERIFY(!window.Running());
    QVERIFY2(window.AlertText().contains(QStringLiteral("cannot be written")), qPrintable(window.AlertText()));

    // One that fails at the first download: that device is flashed, then the
    // station takes no other and stops, saying why.
    QVERIFY(window.SetRecordPath("/dev/full"));
    window.StartButton()->click();
    QVERIFY(window.Running());
    QTRY_VERIFY_WITH_TIMEOUT(!window.Running(), 20000);
    QVERIFY2(window.AlertText().contains(QStringLiteral("could not be written to /dev/full")),
             qPrintable(window.AlertText()));
    QVERIFY2(window.AlertText().contains(QStringLiteral("stopped")), qPrintable(window.AlertText()));
    QCOMPARE(window.CurrentTotals().written, 1u);
    QCOMPARE(window.StartButton()->text(), QStringLiteral("Start"));
    QVERIFY(window.StartButton()->isEnabled());
    QCOMPARE(QString::fromStdString(CompareWithImage(device.Wait(10000), image)), QString());
}

// A job fixes the image, names the tiles by its slots, counts its lot in the
// status line and ends the station once the lot is written; a locked
// station opens no bare image and no job nobody released.
void StationTest::aJobFixesTheImageItsSlotsAndItsLot()
{
    TempDir dir;
    const auto image = WriteImage(dir, 8);
    DevSimOptions options;
    CSimRig one(options), two(options);
    CReceiver receiver;
    const nlohmann::json job = {{"job", "lot7"},
                                {"forward", {{"url", receiver.Url()}}},
                                {"image", "DB.bin"},
                                {"sha256", Sha256Hex(image.data(), image.size())},
                                {"units", 1},
                                {"log", "lot7.jsonl"},
                                {"slots", {{{"port", one.Path()}, {"label", "slot 1"}}, {{"port", two.Path()}, {"label", "slot 2"}}}}};
    std::ofstream(dir.file("lot7.zqjob")) << job.dump();

    CStationWindow window;
    window.SetTrust(TrustStore());
    QVERIFY2(window.SetImage(dir.file("lot7.zqjob")), qPrintable(window.ImageText()));
    window.show();
    QVERIFY(window.HasJob());
    QVERIFY2(window.ImageText().contains(QStringLiteral("Job lot7")), qPrintable(window.ImageText()));
    QVERIFY(!Drop(window, dir.file("DB.bin"))); // the job fixes the image
    window.StartButton()->click();
    QVERIFY(window.Running());
    QTRY_VERIFY_WITH_TIMEOUT(!window.Running(), 20000); // one unit, and the lot is written
    QVERIFY2(window.StatusText().contains(QStringLiteral("lot7: 1 of 1")), qPrintable(window.StatusText()));
    // The record goes to the job's receiver as well.
    QTRY_COMPARE_WITH_TIMEOUT(receiver.Unique(), size_t(1), 10000);
    QCOMPARE(receiver.Problems().size(), size_t(0));
    const DevSimReport a = one.Finish(), b = two.Finish();
    QVERIFY2(a.sawBeaconReply != b.sawBeaconReply, "a unit beyond the lot was touched, or none was");
    CPortTile* flashed = window.Tile(a.sawBeaconReply ? one.Path() : two.Path());
    QVERIFY(flashed);
    QVERIFY2(flashed->TitleText().startsWith(a.sawBeaconReply ? QStringLiteral("slot 1") : QStringLiteral("slot 2")),
             qPrintable(flashed->TitleText()));
    std::ifstream log(dir.file("lot7.jsonl"));
    std::string line;
    QVERIFY(std::getline(log, line));
    const nlohmann::json record = nlohmann::json::parse(line);
    QCOMPARE(QString::fromStdString(record["job"].get<std::string>()), QStringLiteral("lot7"));
    QCOMPARE(QString::fromStdString(record["slot"].get<std::string>()),
             a.sawBeaconReply ? QStringLiteral("slot 1") : QStringLiteral("slot 2"));

    // Written already: Start says so and touches nothing.
    window.StartButton()->click();
    QVERIFY(!window.Running());
    QVERIFY2(window.AlertText().contains(QStringLiteral("lot lot7 complete: 1 of 1 written")),
             qPrintable(window.AlertText()));

    // A locked station: no bare image, no unsigned job.
    TrustStore locked;
    locked.unusable.push_back("a key file that cannot be read");
    CStationWindow guarded;
    guarded.SetTrust(locked);
    QVERIFY(!guarded.SetImage(dir.file("DB.bin")));
    QVERIFY2(guarded.ImageText().contains(QStringLiteral("released jobs only")), qPrintable(guarded.ImageText()));
    QVERIFY(!guarded.SetImage(dir.file("lot7.zqjob")));
    QVERIFY(!guarded.StartButton()->isEnabled());
}


}  // namespace zq

QTEST_MAIN(zq::StationTest)

#include "station_test.moc"
