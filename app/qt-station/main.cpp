#include <QApplication>

#include <cstdio>
#include <cstring>

#include "StationWindow.h"

namespace {

const char kUsage[] =
    "Usage: ZerquillStation [QT-OPTION]...\n"
    "The station window of the Zerquill Updater: every device that beacons on any serial\n"
    "port is flashed with the image, once each time it is plugged in, each port on a tile\n"
    "of its own, with the totals and a JSON Lines record of every download.\n"
    "\n"
    "The image is DB.bin beside the program until another is chosen with Image...; the\n"
    "record is zerquill-station.jsonl beside the image until another is chosen with\n"
    "Record.... Start listens on the ports; Stop cancels the downloads in flight.\n"
    "\n"
    "  -h, --help      show this help and exit\n"
    "  -V, --version   print the version and exit\n"
    "\n"
    "Qt's own options (for example -platform offscreen) are accepted too.\n";

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
    CStationWindow window;
    window.show();
    return app.exec();
}
