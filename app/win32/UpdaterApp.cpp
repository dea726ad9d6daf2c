#include "app/win32/UpdaterApp.h"

#include <commctrl.h>

#include "app/win32/UpdaterDlg.h"

using namespace zq;

bool CUpdaterApp::InitInstance(HINSTANCE instance)
{
    // The progress bar's window class comes from the common controls, which
    // register it only when asked.
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);

    CUpdaterDlg dialog;
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
