#include "app/qt/UpdaterApp.h"

#include <QApplication>

#include <cstdio>

#include "app/qt/UpdaterDlg.h"
#include "link/NamedPorts.h"

namespace zq {

namespace {
char kFallbackName[] = "ZerquillUpdater";
}

// Only the program's own name reaches Qt, so no Qt option changes how it
// runs. Start finds the device on the system's ports, or, given --ports LIST
// (a simulator's line, a fixture's port), on those alone; nothing else on
// the command line is read.
CUpdaterApp::CUpdaterApp(int argc, char** argv)
    : argc_(1), argv_{argc > 0 && argv[0] ? argv[0] : kFallbackName, nullptr}
{
    std::vector<std::string> args(argv, argv + argc);
    if (!TakePortsOption(args, ports_, error_))
        ports_.clear();
    app_ = std::make_unique<QApplication>(argc_, argv_);
}

CUpdaterApp::~CUpdaterApp() = default;

int CUpdaterApp::Run()
{
    if (!error_.empty()) {
        std::fprintf(stderr, "%s\n", error_.c_str());
        return 64;
    }
    CUpdaterDlg dialog;
    if (!ports_.empty())
        dialog.SetPortSource(NamedPortSource(ports_));
    dialog.exec();
    return 0;
}

}  // namespace zq
