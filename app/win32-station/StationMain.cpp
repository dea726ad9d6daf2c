// ZerquillStation.exe [IMAGE]: the station window, writing the image (DB.bin
// beside the executable when none is named) into every device that arrives
// on any serial port.
#include <windows.h>
#include <commctrl.h>
#include <stdlib.h>

#include <string>

#include "image/ImagePath.h"
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
    // An image named on the command line (a shortcut's argument, a file
    // dropped on the program) comes first; without one, DB.bin beside it.
    std::string image = DefaultImagePath();
    if (__argc > 1) {
        char full[MAX_PATH];
        const DWORD n = GetFullPathNameA(__argv[1], MAX_PATH, full, nullptr);
        image = (n > 0 && n < MAX_PATH) ? std::string(full, n) : std::string(__argv[1]);
    }
    CStationWindow window(image);
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
