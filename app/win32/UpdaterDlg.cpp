#include "app/win32/UpdaterDlg.h"

#include <commctrl.h>

#include <algorithm>
#include <climits>
#include <system_error>
#include <utility>

#include "image/ImagePath.h"
#include "image/ModulePath.h"
#include "release/OpenedJob.h"
#include "app/win32/resource.h"

namespace zq {

namespace {

const char kStopQuestion[] = "A download is running. Stop it and close?";

LPARAM ToBarValue(uint32_t value)
{
    return static_cast<LPARAM>(value > INT_MAX ? INT_MAX : value);
}

HICON LoadAppIcon(int size)
{
    // The shared copy: the system frees it, and it keeps both images of the
    // resource at hand for whoever draws it at another size.
    return static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME),
                                         IMAGE_ICON, size, size, LR_SHARED));
}

} // namespace

CUpdaterDlg::CUpdaterDlg() : CUpdaterDlg(std::string(), PortSource()) {}

CUpdaterDlg::CUpdaterDlg(std::string imageFolder, PortSource ports)
    : icon_(LoadAppIcon(GetSystemMetrics(SM_CXICON))),
      smallIcon_(LoadAppIcon(GetSystemMetrics(SM_CXSMICON))),
      imageFolder_(std::move(imageFolder)),
      appName_(BaseNameOf(ExecutablePath()))
{
    link_.SetPortSource(std::move(ports));
}

CUpdaterDlg::~CUpdaterDlg()
{
    // Reached with a worker only if the window went away without its end
    // being seen. The window is gone, so the worker's progress updates fail
    // at once and it shows no notice; it stops at its next wait.
    if (worker_.joinable()) {
        closing_.store(true);
        cancel_.store(true);
        worker_.join();
    }
}

INT_PTR CUpdaterDlg::DoModal(HINSTANCE instance)
{
    return DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_UPDATER_DIALOG), nullptr, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CUpdaterDlg::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CUpdaterDlg* self;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CUpdaterDlg*>(lParam);
        SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
        self->hwnd_ = hwnd;
    } else {
        self = reinterpret_cast<CUpdaterDlg*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    }
    // WM_SETFONT and a few others come before WM_INITDIALOG.
    if (!self)
        return FALSE;
    return self->OnMessage(message, wParam, lParam);
}

INT_PTR CUpdaterDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_PAINT:
        return OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(icon_);
    case WM_CLOSE:
        // The close box, Alt+F4 and the system menu's Close all come here;
        // left alone, the dialog manager turns it into IDCANCEL.
        return OnCloseBox() ? TRUE : FALSE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_START:
            if (HIWORD(wParam) == BN_CLICKED)
                OnStart();
            return TRUE;
        case IDOK:
        case IDCANCEL:
            // Enter and Escape: a stray key must not cut a download short and
            // leave the device half-written.
            if (!worker_.joinable())
                OnClose(LOWORD(wParam));
            return TRUE;
        }
        break;
    case WM_WORKER_ENDED:
        OnWorkerEnded();
        return TRUE;
    }
    (void)lParam;
    return FALSE;
}

BOOL CUpdaterDlg::OnInitDialog()
{
    start_ = GetDlgItem(hwnd_, IDC_START);
    progress_ = GetDlgItem(hwnd_, IDC_PROGRESS);

    // The device takes the data at line speed and tolerates only short gaps;
    // a busy machine must not starve the worker.
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);

    SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
    EnableWindow(start_, TRUE);
    CentreOnWorkArea();
    return TRUE; // the dialog manager sets the initial focus
}

void CUpdaterDlg::CentreOnWorkArea()
{
    // Without an owner the template's 0,0 is the screen's top left corner.
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    RECT window;
    if (!GetMonitorInfoA(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTOPRIMARY), &monitor) ||
        !GetWindowRect(hwnd_, &window))
        return;
    const RECT& area = monitor.rcWork;
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    // A work area smaller than the window keeps its caption reachable. (The
    // parentheses keep windows.h's max macro out.)
    const int x = (std::max)(area.left, area.left + (area.right - area.left - width) / 2);
    const int y = (std::max)(area.top, area.top + (area.bottom - area.top - height) / 2);
    SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool CUpdaterDlg::OnPaint()
{
    if (!IsIconic(hwnd_))
        return false;
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd_, &ps);
    SendMessageA(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(hwnd_, &client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, icon_);
    EndPaint(hwnd_, &ps);
    return true;
}

void CUpdaterDlg::OnStart()
{
    // The worker owns the link and the image file until it ends; a second
    // one on the same port would interleave two downloads.
    // While the close box's question is up the dialog can be enabled again
    // by the worker's notice going away; a new download would then be the
    // one a Yes stops.
    if (worker_.joinable() || closing_.load() || asking_)
        return;

    SendMessageA(progress_, PBM_SETPOS, 0, 0);

    if (imageFolder_.empty()) {
        // No image path rather than one into some other folder when the
        // executable's path cannot be read whole: "File Open Failed".
        imagePath_ = DefaultImagePath();
    } else {
        imagePath_ = ImagePathIn(imageFolder_);
    }

    // A disabled window keeps no focus, and with the focus gone Escape and
    // the close keys would no longer reach the dialog.
    if (GetFocus() == start_)
        SendMessageA(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(progress_), TRUE);
    EnableWindow(start_, FALSE);

    cancel_.store(false);
    try {
        worker_ = std::thread([this] {
            DownloadReleasedImage(this);
            PostMessageA(hwnd_, WM_WORKER_ENDED, 0, 0);
        });
    } catch (const std::system_error&) {
        // No thread to be had: the press simply did nothing.
        EnableWindow(start_, TRUE);
        SendMessageA(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(start_), TRUE);
    }
}

bool CUpdaterDlg::OnCloseBox()
{
    if (!worker_.joinable())
        return false;
    // With the worker's last notice up the download is over: nothing is left
    // to stop, and the window goes as soon as the worker does.
    if (noticeUp_.load()) {
        OnClose(IDCANCEL);
        return true;
    }
    // Once asked, or once stopping, a second close changes nothing.
    if (asking_ || closing_.load())
        return true;
    asking_ = true;
    const int answer =
        MessageBoxA(hwnd_, kStopQuestion, appName_.c_str(), MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    asking_ = false;
    if (answer == IDYES)
        OnClose(IDCANCEL); // the download may have ended meanwhile
    return true;
}

void CUpdaterDlg::OnClose(int result)
{
    if (!worker_.joinable()) {
        EndDialog(hwnd_, result);
        return;
    }
    // The worker may be waiting in a progress update that this thread has to
    // apply, so the window cannot wait for it here. The download stops at its
    // next wait, and the window closes when the worker's end arrives.
    closeResult_ = result;
    closing_.store(true);
    cancel_.store(true);
}

void CUpdaterDlg::OnWorkerEnded()
{
    // Posted as the worker's last act: the join returns at once.
    if (worker_.joinable())
        worker_.join();
    if (closing_.load()) {
        EndDialog(hwnd_, closeResult_);
        return;
    }
    EnableWindow(start_, TRUE);
    const HWND focus = GetFocus();
    if (focus == nullptr || focus == progress_ || focus == hwnd_)
        SendMessageA(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(start_), TRUE);
}

void CUpdaterDlg::SetRange(uint32_t maximum)
{
    SendMessageA(progress_, PBM_SETRANGE32, 0, ToBarValue(maximum));
}

void CUpdaterDlg::SetPos(uint32_t position)
{
    SendMessageA(progress_, PBM_SETPOS, static_cast<WPARAM>(ToBarValue(position)), 0);
}

void CUpdaterDlg::ShowNotice(const std::string& text)
{
    // Nobody is left to read it once the window is closing.
    if (closing_.load())
        return;
    noticeUp_.store(true);
    MessageBoxA(hwnd_, text.c_str(), appName_.c_str(), MB_OK | MB_ICONEXCLAMATION);
    noticeUp_.store(false);
}

}  // namespace zq
