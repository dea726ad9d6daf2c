// Pictures of the station window for review, rendered off screen: a refused
// image, idle, three downloads in flight, after one of them failed, the
// same in the narrowest window, the other two written, and stopped.
// The devices are simulators on ptys, paced at the line rate, and a fourth
// port has nothing on it.
//   zq-station-shots <output folder>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

#include <pty.h>
#include <unistd.h>

#include "devsim/DevSim.h"
#include "image/ImagePath.h"
#include "app/qt-station/PortTile.h"
#include "devsim/SimRig.h"
#include "app/qt-station/StationWindow.h"
#include "platform/UniqueFd.h"

using namespace zq;

using namespace devsim;

namespace {

bool Save(QWidget& window, const QString& folder, const char* name)
{
    const QString path = QDir(folder).filePath(QString::fromLatin1(name));
    if (!window.grab().save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

bool WriteImage(const std::string& path, uint32_t blocks)
{
    std::vector<char> image(65536 + 128 * static_cast<size_t>(blocks));
    uint32_t x = 7;
    for (char& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<char>(x >> 16);
    }
    const char head[6] = {8, 0, 'S', 'D', 'D', 'B'};
    std::copy(head, head + 6, image.begin());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(image.data(), static_cast<std::streamsize>(image.size()));
    return static_cast<bool>(out);
}

// Waits, serving the window, until done() or the bound; false on the bound.
bool Await(QApplication& app, const std::function<bool()>& done, int boundMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > boundMs)
            return false;
        app.processEvents(QEventLoop::AllEvents, 20);
        usleep(5000);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: zq-station-shots <output folder>\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    const QString out = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(out)) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    char folder[] = "/tmp/zq-station-shots-XXXXXX";
    if (!mkdtemp(folder)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string image = ImagePathIn(folder);
    if (!WriteImage(image, 1500)) { // about 17 s at the line rate
        std::fprintf(stderr, "cannot write the image\n");
        return 1;
    }

    DevSimOptions good;
    good.pace = true;
    good.progressBytes = 3;
    DevSimOptions refusing = good;
    refusing.refusals.push_back(DevSimRefusal{180, 5});
    CSimRig first(good), second(good), third(refusing);
    // A port with nothing plugged into it.
    int master = -1, slave = -1;
    char silentName[256] = {};
    if (openpty(&master, &slave, silentName, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    CUniqueFd silentMaster(master), silentSlave(slave);
    const std::vector<PortInfo> ports = {
        {first.Path(), "USB serial adapter", "0000:0001"},
        {second.Path(), "USB serial adapter", "0000:0002"},
        {third.Path(), "USB serial adapter", "0000:0003"},
        {silentName, "USB serial adapter", "0000:0004"},
    };

    bool ok = true;
    {
        CStationWindow window;
        window.SetPortSource([ports] { return ports; });
        window.show();
        // A file that is not an image, then the image.
        const std::string other = std::string(folder) + "/notes.bin";
        std::ofstream(other) << "not an image\n";
        window.SetImage(other);
        app.processEvents();
        ok &= Save(window, out, "qt-station-refused.png");
        std::remove(other.c_str());
        window.SetImage(image);
        app.processEvents();
        ok &= Save(window, out, "qt-station-idle.png");

        auto tile = [&](const CSimRig& rig) { return window.Tile(rig.Path()); };
        auto flashingPast = [&](const CSimRig& rig, int blocks) {
            CPortTile* t = tile(rig);
            return t && t->CurrentState() == TileState::Flashing &&
                   t->BarText().startsWith(QStringLiteral("block ")) &&
                   t->BarText().section(QLatin1Char(' '), 1, 1).toInt() >= blocks;
        };
        window.StartButton()->click();
        if (!Await(app, [&] { return flashingPast(first, 60) && flashingPast(second, 60) && flashingPast(third, 60); },
                   30000)) {
            std::fprintf(stderr, "three downloads were not in flight together\n");
            ok = false;
        } else {
            ok &= Save(window, out, "qt-station-flashing.png");
        }
        if (!Await(app, [&] { return tile(third) && tile(third)->CurrentState() == TileState::Failed; },
                   30000)) {
            std::fprintf(stderr, "the refusing device did not fail\n");
            ok = false;
        } else {
            app.processEvents();
            ok &= Save(window, out, "qt-station-failure.png");
            // The same at the least size the window allows: one column.
            const QSize size = window.size();
            window.resize(window.minimumSize());
            app.processEvents();
            ok &= Save(window, out, "qt-station-narrow.png");
            window.resize(size);
            app.processEvents();
        }
        auto written = [&](const CSimRig& rig) {
            return tile(rig) && tile(rig)->CurrentState() == TileState::Success;
        };
        if (!Await(app, [&] { return written(first) && written(second); }, 60000)) {
            std::fprintf(stderr, "the two good devices were not written\n");
            ok = false;
        } else {
            app.processEvents();
            ok &= Save(window, out, "qt-station-done.png");
        }
        window.StartButton()->click();
        if (!Await(app, [&] { return !window.Running(); }, 30000)) {
            std::fprintf(stderr, "the station did not stop\n");
            ok = false;
        } else {
            app.processEvents();
            ok &= Save(window, out, "qt-station-stopped.png");
        }
    }
    first.Finish();
    second.Finish();
    third.Finish();
    std::remove(image.c_str());
    std::remove((std::string(folder) + "/zerquill-station.jsonl").c_str());
    rmdir(folder);
    return ok ? 0 : 1;
}
