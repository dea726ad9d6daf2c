// ZerquillStation.exe: the station window, writing DB.bin beside the
// executable into every device that arrives on any serial port.
#include <windows.h>
#include <commctrl.h>

#include "ImagePath.h"
#include "StationWindow.h"

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
    CStationWindow window(DefaultImagePath());
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
