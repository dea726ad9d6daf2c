// Pictures of the station window for review, rendered off screen: a refused
// image, idle, three downloads in flight, after one of them failed, the
// same in the narrowest window, the other two written, and stopped; then a
// slow adapter's tile with its latency fix, and what the fix shows.
// The devices are simulators on ptys, paced at the line rate, and a fourth
// port has nothing on it.
//   zq-station-shots <output folder>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
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
#include "app/qt/Shots.h"
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
    return SaveShot(window.grab(), folder, name);
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

// The devices the first scenes flash: two good ones and one that refuses a
// block until it gives up, and a port with nothing plugged into it.
struct Rigs {
    Rigs();
    CSimRig first, second, third;
    CUniqueFd silentMaster, silentSlave;
    std::vector<PortInfo> ports;
};

DevSimOptions Paced()
{
    DevSimOptions good;
    good.pace = true;
    good.progressBytes = 3;
    return good;
}

DevSimOptions Refusing()
{
    DevSimOptions refusing = Paced();
    refusing.refusals.push_back(DevSimRefusal{180, 5});
    return refusing;
}

Rigs::Rigs() : first(Paced()), second(Paced()), third(Refusing())
{
    int master = -1, slave = -1;
    char silentName[256] = {};
    if (openpty(&master, &slave, silentName, nullptr, nullptr) != 0)
        std::perror("openpty");
    silentMaster = CUniqueFd(master);
    silentSlave = CUniqueFd(slave);
    ports = {
        {first.Path(), "USB serial adapter", "0000:0001"},
        {second.Path(), "USB serial adapter", "0000:0002"},
        {third.Path(), "USB serial adapter", "0000:0003"},
        {silentName, "USB serial adapter", "0000:0004"},
    };
}

struct Scene {
    QApplication& app;
    QString out;
    std::string folder;
    CStationWindow& window;

    CPortTile* Tile(const CSimRig& rig) const { return window.Tile(rig.Path()); }
    bool Shot(const char* name) { return Save(window, out, name); }
    bool Await(const std::function<bool()>& done, int boundMs, const char* failing)
    {
        if (::Await(app, done, boundMs)) {
            app.processEvents();
            return true;
        }
        std::fprintf(stderr, "%s\n", failing);
        return false;
    }
};

// A file that is not an image, then the image.
bool ChooseShots(Scene& s, const std::string& image)
{
    const std::string other = s.folder + "/notes.bin";
    std::ofstream(other) << "not an image\n";
    s.window.SetImage(other);
    s.app.processEvents();
    bool ok = s.Shot("qt-station-refused.png");
    std::remove(other.c_str());
    s.window.SetImage(image);
    s.app.processEvents();
    return s.Shot("qt-station-idle.png") && ok;
}

bool FlashingShots(Scene& s, const Rigs& rigs)
{
    auto flashingPast = [&](const CSimRig& rig, int blocks) {
        CPortTile* t = s.Tile(rig);
        return t && t->CurrentState() == TileState::Flashing && t->BarText().startsWith(QStringLiteral("block ")) &&
               t->BarText().section(QLatin1Char(' '), 1, 1).toInt() >= blocks;
    };
    s.window.StartButton()->click();
    bool ok = s.Await([&] { return flashingPast(rigs.first, 60) && flashingPast(rigs.second, 60) &&
                                   flashingPast(rigs.third, 60); },
                      30000, "three downloads were not in flight together") &&
              s.Shot("qt-station-flashing.png");
    if (!s.Await([&] { return s.Tile(rigs.third) && s.Tile(rigs.third)->CurrentState() == TileState::Failed; },
                 30000, "the refusing device did not fail"))
        return false;
    ok &= s.Shot("qt-station-failure.png");
    // The same at the least size the window allows: one column.
    const QSize size = s.window.size();
    s.window.resize(s.window.minimumSize());
    s.app.processEvents();
    ok &= s.Shot("qt-station-narrow.png");
    s.window.resize(size);
    s.app.processEvents();
    return ok;
}

bool EndShots(Scene& s, const Rigs& rigs)
{
    auto written = [&](const CSimRig& rig) { return s.Tile(rig) && s.Tile(rig)->CurrentState() == TileState::Success; };
    bool ok = s.Await([&] { return written(rigs.first) && written(rigs.second); }, 60000,
                      "the two good devices were not written") &&
              s.Shot("qt-station-done.png");
    s.window.StartButton()->click();
    return s.Await([&] { return !s.window.Running(); }, 30000, "the station did not stop") &&
           s.Shot("qt-station-stopped.png") && ok;
}

// A device behind an adapter that holds every reply 16 ms: after its
// download the tile shows the hint and the fix; the fix asked for shows the
// command to copy where pkexec is not installed, else how its run went.
bool LatencyShots(QApplication& app, const QString& out, const std::string& folder)
{
    const std::string image = folder + "/slow.bin";
    if (!WriteShotImage(image, 100))
        return false;
    DevSimOptions slow = Paced();
    slow.readLagMs = 16;
    CSimRig rig(slow);
    bool ok = false;
    {
        CStationWindow window(image);
        window.SetPortSource([&] { return std::vector<PortInfo>{{rig.Path(), "USB serial adapter", "0403:6001"}}; });
        window.show();
        Scene s{app, out, folder, window};
        window.StartButton()->click();
        ok = s.Await([&] { return s.Tile(rig) && s.Tile(rig)->FixButton()->isVisible(); }, 60000,
                     "the slow download did not end with the fix offered") &&
             s.Shot("qt-station-latency-hint.png");
        if (ok) {
            s.Tile(rig)->FixButton()->click();
            app.processEvents();
            QMessageBox* box = window.findChild<QMessageBox*>();
            ok = box ? Save(*box, out, "qt-station-latency-command.png")
                     : s.Await([&] { return !s.Tile(rig)->NoteText().startsWith(QStringLiteral("setting")); }, 60000,
                               "the fix did not end") && s.Shot("qt-station-latency-result.png");
        }
        window.StartButton()->click();
        ok &= s.Await([&] { return !window.Running(); }, 30000, "the station did not stop");
    }
    rig.Finish();
    std::remove(image.c_str());
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    QString out;
    char folder[] = "/tmp/zq-station-shots-XXXXXX";
    if (!OpenShots(argc, argv, "zq-station-shots <output folder>", folder, out))
        return 1;
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    const std::string image = ImagePathIn(folder);
    if (!WriteShotImage(image, 1500)) { // about 17 s at the line rate
        std::fprintf(stderr, "cannot write the image\n");
        return 1;
    }
    Rigs rigs;
    bool ok = true;
    {
        CStationWindow window;
        window.SetPortSource([ports = rigs.ports] { return ports; });
        window.show();
        Scene scene{app, out, folder, window};
        ok &= ChooseShots(scene, image);
        ok &= FlashingShots(scene, rigs);
        ok &= EndShots(scene, rigs);
    }
    rigs.first.Finish();
    rigs.second.Finish();
    rigs.third.Finish();
    ok &= LatencyShots(app, out, folder);
    std::remove(image.c_str());
    std::remove((std::string(folder) + "/zerquill-station.jsonl").c_str());
    rmdir(folder);
    return ok ? 0 : 1;
}
