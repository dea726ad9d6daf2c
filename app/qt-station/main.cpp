#include <QApplication>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>
#include <cstring>

#include "app/qt-station/StationWindow.h"

using namespace zq;

namespace {

const char kUsage[] =
    "Usage: ZerquillStation [QT-OPTION]... [JOB|IMAGE]\n"
    "The station window of the Zerquill Updater: every device that beacons on any\n"
    "serial port is flashed with the image, once each time it is plugged in, each\n"
    "port on a tile of its own, with the totals and a JSON Lines record of every\n"
    "download.\n"
    "\n"
    "The image is IMAGE (DB.bin beside the program when none is given) until another\n"
    "is chosen with Image...; a job (JOB.zqjob, or Job...) fixes the image to the\n"
    "one it pins, its slots' ports and labels, its lot and its record file. The\n"
    "record is zerquill-station.jsonl beside the image until another is chosen with\n"
    "Record.... Start listens on the ports; Stop cancels the downloads in flight. A\n"
    "station whose administrator installed trusted keys opens released jobs only.\n"
    "\n"
    "  -h, --help      show this help and exit\n"
    "  -V, --version   print the version and exit\n"
    "\n"
    "Qt's own options (for example -platform offscreen) are accepted too.\n"
    "\n"
    "Examples:\n"
    "  ZerquillStation /srv/line1/DB.bin      the station for this image\n"
    "  ZerquillStation /srv/line1/lot7.zqjob  the station for this job\n";

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
    // What Qt left of the command line: at most the image or the job.
    const QStringList rest = app.arguments().mid(1);
    if (rest.size() > 1 || (rest.size() == 1 && rest[0].startsWith(QLatin1Char('-')))) {
        std::fprintf(stderr, "ZerquillStation: unexpected \"%s\"\n%s", qPrintable(rest.last()), kUsage);
        return 64;
    }
    std::string image;
    if (!rest.isEmpty())
        image = QFileInfo(rest[0]).absoluteFilePath().toStdString();
    CStationWindow window(image);
    window.show();
    return app.exec();
}
