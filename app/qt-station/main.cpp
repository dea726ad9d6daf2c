#include <QApplication>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/qt-station/StationWindow.h"
#include "link/NamedPorts.h"

using namespace zq;

namespace {

const char kUsage[] =
    "Usage: ZerquillStation [QT-OPTION]... [--ports LIST] [JOB|IMAGE]\n"
    "The station window of the Zerquill Updater: every device that beacons on a\n"
    "serial port is flashed with the image, once each time it is plugged in, each\n"
    "port on a tile of its own, with the totals and a JSON Lines record of every\n"
    "download.\n"
    "\n"
    "The image is IMAGE (DB.bin beside the program when none is given) until\n"
    "another is chosen with Image...; a job (JOB.zqjob, or Job...) fixes the image\n"
    "to the one it pins, its slots' ports and labels, its lot and its record file.\n"
    "The record is zerquill-station.jsonl beside the image until another is chosen\n"
    "with Record.... Start listens on the ports; Stop cancels the downloads in\n"
    "flight. A station whose administrator installed trusted keys opens released\n"
    "jobs only.\n"
    "\n"
    "  --ports LIST    listen on these ports (comma-separated) instead of every\n"
    "                  serial port the system lists; a job's slots come first\n"
    "  -h, --help      show this help and exit\n"
    "  -V, --version   print the version and exit\n"
    "\n"
    "Qt's own options (for example -platform offscreen) are accepted too.\n"
    "\n"
    "Examples:\n"
    "  ZerquillStation /srv/line1/DB.bin      the station for this image\n"
    "  ZerquillStation /srv/line1/lot7.zqjob  the station for this job\n"
    "  ZerquillStation --ports /dev/pts/5 DB.bin\n"
    "                  a simulator's line (zerquill-devsim), which no system lists\n";

} // namespace

int main(int argc, char** argv)
{
    // Answered before Qt starts: they need no display, so they work over ssh
    // and at build time, where help2man reads them for the man page.
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--version") || !std::strcmp(argv[i], "-V")) {
            std::printf("ZerquillStation %s\n", ZQ_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    // What Qt left of the command line: --ports, and at most the image or
    // the job.
    std::vector<std::string> args;
    for (const QString& arg : app.arguments())
        args.push_back(arg.toStdString());
    std::vector<std::string> ports;
    std::string error;
    if (!TakePortsOption(args, ports, error)) {
        std::fprintf(stderr, "ZerquillStation: %s; try --help\n", error.c_str());
        return 64;
    }
    if (args.size() > 2 || (args.size() == 2 && args[1].rfind('-', 0) == 0)) {
        std::fprintf(stderr, "ZerquillStation: unexpected \"%s\"; try --help\n", args.back().c_str());
        return 64;
    }
    std::string image;
    if (args.size() == 2)
        image = QFileInfo(QString::fromStdString(args[1])).absoluteFilePath().toStdString();
    CStationWindow window(image);
    window.SetPorts(ports);
    window.show();
    return app.exec();
}
