#include "app/qt/UpdaterApp.h"

#include <QApplication>

#include "app/qt/UpdaterDlg.h"

namespace zq {

namespace {
char kFallbackName[] = "ZerquillUpdater";
}

// The tool takes no command line; only the program's own name reaches Qt, so
// no option on the command line changes how it runs.
CUpdaterApp::CUpdaterApp(int argc, char** argv)
    : argc_(1), argv_{argc > 0 && argv[0] ? argv[0] : kFallbackName, nullptr}
{
    app_ = std::make_unique<QApplication>(argc_, argv_);
}

CUpdaterApp::~CUpdaterApp() = default;

int CUpdaterApp::Run()
{
    CUpdaterDlg dialog;
    dialog.exec();
    return 0;
}

}  // namespace zq
