// ZerquillStation.exe [--ports LIST] [IMAGE]: the station window, writing the image (DB.bin
// beside the executable when none is named) into every device that arrives
// on any serial port.
#include <windows.h>
#include <commctrl.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "image/ImagePath.h"
#include "link/NamedPorts.h"
#include "app/win32-station/StationWindow.h"

using namespace zq;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show)
{
    // The bars and the status line come from the common controls, which
    // register their classes only when asked.
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);

    if (!CStationWindow::Register(instance))
        return 1;
    // --ports LIST, then an image named on the command line (a shortcut's
    // argument, a file dropped on the program); without one, DB.bin beside it.
    std::vector<std::string> args(__argv, __argv + __argc);
    std::vector<std::string> ports;
    std::string error;
    if (!TakePortsOption(args, ports, error)) {
        MessageBoxA(nullptr, (error + "\n\nZerquillStation [--ports COM5,COM6] [JOB|IMAGE]").c_str(),
                    "ZerquillStation", MB_ICONERROR | MB_OK);
        return 64;
    }
    std::string image = DefaultImagePath();
    if (args.size() > 1) {
        char full[MAX_PATH];
        const DWORD n = GetFullPathNameA(args[1].c_str(), MAX_PATH, full, nullptr);
        image = (n > 0 && n < MAX_PATH) ? std::string(full, n) : args[1];
    }
    CStationWindow window(image);
    window.SetPorts(ports);
    const HWND hwnd = window.Create(instance, show);
    if (!hwnd)
        return 1;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        // Tab, Enter and Space as in a dialog.
        if (IsDialogMessageA(hwnd, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}
