#include "app/win32/UpdaterApp.h"

#include <commctrl.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "app/win32/UpdaterDlg.h"
#include "link/NamedPorts.h"

using namespace zq;

bool CUpdaterApp::InitInstance(HINSTANCE instance)
{
    // The progress bar's window class comes from the common controls, which
    // register it only when asked.
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);

    // Start finds the device on the system's ports, or, given --ports LIST
    // (a simulator's line, a fixture's port), on those alone; nothing else
    // on the command line changes how the dialog runs.
    std::vector<std::string> args(__argv, __argv + __argc);
    std::vector<std::string> ports;
    std::string error;
    if (!TakePortsOption(args, ports, error)) {
        MessageBoxA(nullptr, error.c_str(), "Zerquill Updater", MB_ICONERROR | MB_OK);
        return false;
    }
    CUpdaterDlg dialog(std::string(), ports.empty() ? PortSource() : NamedPortSource(ports));
    (void)dialog.DoModal(instance);
    return false;
}

namespace {
CUpdaterApp theApp;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    theApp.InitInstance(instance);
    return 0;
}
