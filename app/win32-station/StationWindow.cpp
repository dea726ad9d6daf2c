#include "app/win32-station/StationWindow.h"

#include <commctrl.h>
#include <commdlg.h>
#include <dbt.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <utility>
#include <vector>

#include "image/ImagePath.h"
#include "image/ModulePath.h"
#include "app/win32-station/StationIds.h"

namespace zq {

namespace {

constexpr UINT_PTR kProgressTimer = 1;
constexpr UINT_PTR kListTimer = 2;
// Plugging an adapter brings a burst of device changes: the list is read
// once they have settled.
constexpr UINT kListSettleMs = 300;

// At 96 DPI.
constexpr int kMarginDips = 10;
constexpr int kButtonDips = 100;
constexpr int kMinWidthDips = 560;
constexpr int kMinHeightDips = 420;
constexpr int kStartWidthDips = 840;
constexpr int kStartHeightDips = 580;

const COLORREF kRed = RGB(192, 0, 0);

std::string Grouped(unsigned long long value)
{
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return digits;
}

std::string FileNameOf(const std::string& path)
{
    const std::string folder = FolderOf(path);
    return folder.empty() && path.find('\\') == std::string::npos ? path : path.substr(folder.size() + 1);
}

HICON LoadStationIcon(int size)
{
    return static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_STATION_ICON), IMAGE_ICON,
                                         size, size, LR_SHARED));
}

HWND Child(HWND parent, const char* cls, const char* text, DWORD style, int id)
{
    return CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr), nullptr);
}

} // namespace

CStationWindow::CStationWindow(std::string imagePath)
    : station_([this] { PostMessageA(hwnd_, WM_STATION_WAKE, 0, 0); })
{
    station_.Choose(imagePath);
}

// Only when the window went without the station's end being seen: the board
// stops the station and waits for it.
CStationWindow::~CStationWindow() { grid_.reset(); }

bool CStationWindow::Register(HINSTANCE instance)
{
    if (!RegisterTileClasses(instance))
        return false;
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_3DFACE + 1);
    wc.hIcon = LoadStationIcon(GetSystemMetrics(SM_CXICON));
    wc.hIconSm = LoadStationIcon(GetSystemMetrics(SM_CXSMICON));
    wc.lpszClassName = ZQ_STATION_CLASS;
    return RegisterClassExA(&wc) != 0;
}

HWND CStationWindow::Create(HINSTANCE instance, int show)
{
    // Controls are reached with Tab like a dialog's (WS_EX_CONTROLPARENT).
    CreateWindowExA(WS_EX_CONTROLPARENT | WS_EX_APPWINDOW, ZQ_STATION_CLASS, ZQ_STATION_CAPTION,
                    WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT, kStartWidthDips,
                    kStartHeightDips, nullptr, nullptr, instance, this);
    if (!hwnd_)
        return nullptr;
    // Sized for the monitor's DPI, and never larger than its work area.
    const UINT dpi = WindowDpi(hwnd_);
    int width = Scale(kStartWidthDips, dpi), height = Scale(kStartHeightDips, dpi);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    if (GetMonitorInfoA(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST), &monitor)) {
        const RECT& work = monitor.rcWork;
        width = std::min(width, int(work.right - work.left));
        height = std::min(height, int(work.bottom - work.top));
        RECT at;
        GetWindowRect(hwnd_, &at);
        const int x = std::max(int(work.left), std::min(int(at.left), int(work.right) - width));
        const int y = std::max(int(work.top), std::min(int(at.top), int(work.bottom) - height));
        SetWindowPos(hwnd_, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    } else {
        SetWindowPos(hwnd_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    ShowWindow(hwnd_, show);
    UpdateWindow(hwnd_);
    return hwnd_;
}

LRESULT CALLBACK CStationWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        auto* self = static_cast<CStationWindow*>(create->lpCreateParams);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->hwnd_ = hwnd;
    }
    auto* self = reinterpret_cast<CStationWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (!self)
        return DefWindowProcA(hwnd, message, wParam, lParam);
    return self->OnMessage(message, wParam, lParam);
}

LRESULT CStationWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        OnCreate();
        return 0;
    case WM_SIZE:
        Layout();
        return 0;
    case WM_GETMINMAXINFO: {
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        const UINT dpi = WindowDpi(hwnd_);
        info->ptMinTrackSize.x = Scale(kMinWidthDips, dpi);
        info->ptMinTrackSize.y = Scale(kMinHeightDips, dpi);
        return 0;
    }
    case WM_DPICHANGED:
        OnDpiChanged(LOWORD(wParam), reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_ACTIVATE:
        OnActivate(wParam);
        return 0;
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED || lParam == 0)
            OnCommand(LOWORD(wParam));
        return 0;
    case WM_CTLCOLORSTATIC:
        return OnColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_DROPFILES:
        OnDrop(reinterpret_cast<HDROP>(wParam));
        return 0;
    case WM_MOUSEWHEEL:
        grid_->Wheel(GET_WHEEL_DELTA_WPARAM(wParam));
        return 0;
    case WM_DEVICECHANGE:
        // While idle the tiles follow the system's list; running, the
        // station follows it and says so through its events.
        if (!station_.Running() && (wParam == DBT_DEVNODES_CHANGED || wParam == DBT_DEVICEARRIVAL ||
                          wParam == DBT_DEVICEREMOVECOMPLETE))
            SetTimer(hwnd_, kListTimer, kListSettleMs, nullptr);
        return TRUE;
    case WM_TIMER:
        if (wParam == kProgressTimer) {
            Drain();
        } else if (wParam == kListTimer) {
            KillTimer(hwnd_, kListTimer);
            RefreshPorts();
        }
        return 0;
    case WM_STATION_WAKE:
        Drain();
        return 0;
    case WM_STATION_FIXED:
        ShowFixes();
        return 0;
    case WM_CLOSE:
        OnClose();
        return 0;
    case WM_DESTROY:
        KillTimer(hwnd_, kProgressTimer);
        KillTimer(hwnd_, kListTimer);
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd_, message, wParam, lParam);
}

void CStationWindow::OnCreate()
{
    fonts_.Create(WindowDpi(hwnd_));
    start_ = Child(hwnd_, WC_BUTTONA, "Start", WS_TABSTOP | BS_DEFPUSHBUTTON, IDC_STATION_START);
    imageButton_ = Child(hwnd_, WC_BUTTONA, "&Image...", WS_TABSTOP | BS_PUSHBUTTON, IDC_STATION_IMAGE);
    jobButton_ = Child(hwnd_, WC_BUTTONA, "&Job...", WS_TABSTOP | BS_PUSHBUTTON, IDC_STATION_JOB);
    recordButton_ = Child(hwnd_, WC_BUTTONA, "&Record...", WS_TABSTOP | BS_PUSHBUTTON, IDC_STATION_RECORD);
    imageInfo_ = Child(hwnd_, WC_STATICA, "", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, IDC_STATION_IMAGE_INFO);
    alert_ = Child(hwnd_, WC_STATICA, "", SS_LEFT | SS_NOPREFIX | SS_EDITCONTROL, IDC_STATION_ALERT);
    fixRuns_ = std::make_unique<CLatencyFixRuns>(hwnd_, WM_STATION_FIXED);
    TileActions actions;
    actions.fix = [this](const LatencyFix& fix) { RunFix(fix); };
    actions.retry = [this](const std::string& port) { Draw(station_.Retry(port)); };
    grid_ = std::make_unique<CTileGrid>(hwnd_, IDC_STATION_GRID, fonts_, std::move(actions));
    status_ = Child(hwnd_, STATUSCLASSNAMEA, "", SBARS_SIZEGRIP, IDC_STATION_STATUS);
    // Text given to a part the bar does not have yet is lost.
    int parts[2] = {Scale(300, fonts_.Dpi()), -1};
    SendMessageA(status_, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
    ApplyFonts();
    lastFocus_ = start_;

    ShowImage();
    RefreshPorts();
    SetRunningLook();
}

void CStationWindow::OnActivate(WPARAM wParam)
{
    // The control that had the keyboard keeps it across a switch to another
    // window and back.
    if (LOWORD(wParam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (focus && IsChild(hwnd_, focus))
            lastFocus_ = focus;
    } else if (lastFocus_ && IsWindowEnabled(lastFocus_)) {
        SetFocus(lastFocus_);
    } else {
        SetFocus(IsWindowEnabled(start_) ? start_ : hwnd_);
    }
}

void CStationWindow::OnDrop(HDROP drop)
{
    char path[MAX_PATH] = {};
    const UINT length = DragQueryFileA(drop, 0, path, MAX_PATH);
    DragFinish(drop);
    // The window takes no drops while the station runs; one that slipped
    // through is ignored.
    if (length > 0 && length < MAX_PATH && station_.TakesDrop(path))
        UseImage(path);
}

void CStationWindow::ApplyFonts()
{
    for (HWND control : {start_, imageButton_, jobButton_, recordButton_, imageInfo_, alert_, status_})
        SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_.Normal()), TRUE);
    grid_->SetFonts();
}

void CStationWindow::OnDpiChanged(UINT dpi, const RECT* suggested)
{
    fonts_.Create(dpi);
    ApplyFonts();
    SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    Layout();
}

void CStationWindow::Layout()
{
    if (!grid_)
        return;
    RECT client;
    GetClientRect(hwnd_, &client);
    const UINT dpi = fonts_.Dpi();
    const int margin = Scale(kMarginDips, dpi);
    const int line = fonts_.LineHeight();
    const int buttonHeight = std::max(Scale(26, dpi), line + Scale(10, dpi));
    const int buttonWidth = Scale(kButtonDips, dpi);
    const int width = std::max(0, int(client.right) - 2 * margin);

    int x = margin;
    for (HWND button : {start_, imageButton_, jobButton_, recordButton_}) {
        MoveWindow(button, x, margin, buttonWidth, buttonHeight, TRUE);
        x += buttonWidth + Scale(8, dpi);
    }
    int y = margin + buttonHeight + Scale(8, dpi);
    MoveWindow(imageInfo_, margin, y, width, line, TRUE);
    y += line + Scale(2, dpi);
    // Two lines for an image refused and a record refused, when there are.
    const int alertLines = GetWindowTextLengthA(alert_) > 0 ? 2 : 0;
    MoveWindow(alert_, margin, y, width, alertLines * line, TRUE);
    y += alertLines * line + Scale(4, dpi);

    SendMessageA(status_, WM_SIZE, 0, 0);
    RECT bar;
    GetWindowRect(status_, &bar);
    const int statusHeight = bar.bottom - bar.top;
    int parts[2] = {std::max(Scale(300, dpi), int(client.right) * 2 / 5), -1};
    SendMessageA(status_, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
    MoveWindow(grid_->Window(), 0, y, client.right, std::max(0, int(client.bottom) - statusHeight - y), TRUE);
}

LRESULT CStationWindow::OnColorStatic(HDC dc, HWND control)
{
    SetBkColor(dc, GetSysColor(COLOR_3DFACE));
    SetTextColor(dc, control == alert_ ? kRed : GetSysColor(COLOR_WINDOWTEXT));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_3DFACE));
}

void CStationWindow::OnCommand(int id)
{
    switch (id) {
    case IDOK: {
        // Enter: the button that has the keyboard, else Start.
        const HWND focus = GetFocus();
        const int focused = focus && GetParent(focus) == hwnd_ ? GetDlgCtrlID(focus) : 0;
        if (focused == IDC_STATION_IMAGE || focused == IDC_STATION_RECORD)
            OnCommand(focused);
        else if (IsWindowEnabled(start_))
            OnCommand(IDC_STATION_START);
        break;
    }
    case IDC_STATION_START:
        if (station_.Running())
            StopStation();
        else
            StartStation();
        break;
    case IDC_STATION_IMAGE:
        if (station_.TakesImage())
            ChooseImage();
        break;
    case IDC_STATION_JOB:
        if (!station_.Running())
            ChooseJob();
        break;
    case IDC_STATION_RECORD:
        if (!station_.Running())
            ChooseRecord();
        break;
    }
}

// The image and the record.

void CStationWindow::ShowImage()
{
    const std::string& source = station_.Source();
    const ImageSnapshot& image = station_.Image();
    std::string text = "Image: " + (source.empty() ? std::string(kImageFileName) : FileNameOf(source));
    if (const OpenedJob* opened = station_.Job()) {
        const Job& job = opened->job;
        text = "Job " + job.name + ": " + FileNameOf(job.image) + "      " + Grouped(image.blocks) +
               " blocks      pinned SHA-256 " + job.sha256.substr(0, 16);
        if (job.units)
            text += "      lot of " + Grouped(job.units);
        text += opened->releasedBy.empty() ? std::string("      not signed") : "      released by " + opened->releasedBy;
    } else if (station_.ImageOk()) {
        text += "      " + Grouped(image.bytes ? image.bytes->size() : 0) + " bytes      " + Grouped(image.blocks) +
                " blocks      SHA-256 " + image.sha256.substr(0, 16);
    }
    SetWindowTextA(imageInfo_, text.c_str());
    ShowAlert();
    ShowTotals();
}

void CStationWindow::ShowAlert()
{
    std::string text = station_.ImageCause();
    const std::string& alert = station_.Board().Alert();
    if (!alert.empty())
        text += (text.empty() ? "" : "\n") + alert;
    SetWindowTextA(alert_, text.c_str());
    Layout();
}

void CStationWindow::UseImage(const std::string& path)
{
    station_.Choose(path);
    ShowImage();
}

// The file to write: an image, or a job and the image it pins.
void CStationWindow::ChooseSource(const char* filter, const char* title)
{
    char file[MAX_PATH] = {};
    const std::string folder = FolderOf(station_.Source());
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = filter;
    ofn.lpstrFile = file;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    ofn.lpstrTitle = title;
    ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (GetOpenFileNameA(&ofn))
        UseImage(file);
}

void CStationWindow::ChooseImage() { ChooseSource("Images (*.bin)\0*.bin\0All files\0*.*\0", "Image to write"); }

void CStationWindow::ChooseJob() { ChooseSource("Jobs (*.zqjob)\0*.zqjob\0All files\0*.*\0", "Job to run"); }

void CStationWindow::ChooseRecord()
{
    char file[MAX_PATH] = {};
    const std::string current = station_.RecordPath();
    if (current.size() < MAX_PATH)
        std::copy(current.begin(), current.end(), file);
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = "JSON Lines (*.jsonl)\0*.jsonl\0All files\0*.*\0";
    ofn.lpstrFile = file;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrDefExt = "jsonl";
    ofn.lpstrTitle = "Record of every download";
    // Records are appended: an existing file is no reason to ask.
    ofn.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOREADONLYRETURN;
    if (GetSaveFileNameA(&ofn) && station_.ChooseRecord(file)) {
        ShowAlert();
        ShowTotals();
    }
}

// The station.

void CStationWindow::StartStation()
{
    if (!station_.Idle())
        return;
    // The image is read again: the file may have been replaced since it was
    // shown, and what the window shows is what the devices get.
    const bool started = station_.Start();
    ShowImage();
    if (!started) {
        MessageBeep(MB_ICONWARNING);
        return;
    }
    grid_->Show(station_.Board(), station_.EmptyText());
    KillTimer(hwnd_, kListTimer);
    SetTimer(hwnd_, kProgressTimer, CStationController::kTickMs, nullptr);
    SetRunningLook();
    ShowTotals();
}

void CStationWindow::StopStation()
{
    station_.Stop();
    SetRunningLook();
}

void CStationWindow::Drain()
{
    const BoardChanges changes = station_.Drain();
    if (changes.ended) {
        KillTimer(hwnd_, kProgressTimer);
        if (station_.State() == StationState::Closing) {
            DestroyWindow(hwnd_);
            return;
        }
    }
    Draw(changes);
    if (!changes.ended)
        return;
    RefreshPorts();
    SetRunningLook();
}

void CStationWindow::Draw(const BoardChanges& changes)
{
    const CStationBoard& board = station_.Board();
    if (changes.order)
        grid_->Show(board, station_.EmptyText());
    else
        for (const std::string& port : changes.tiles)
            if (CPortTile* tile = grid_->Find(port))
                tile->Draw(*board.Find(port));
    if (changes.alert)
        ShowAlert();
    if (changes.totals)
        ShowTotals();
}

void CStationWindow::RunFix(const LatencyFix& fix)
{
    Draw(station_.FixStarted(fix.port));
    fixRuns_->Start(fix);
}

void CStationWindow::ShowFixes()
{
    for (const auto& [port, outcome] : fixRuns_->Ended())
        Draw(station_.FixEnded(port, outcome));
}

void CStationWindow::SetRunningLook()
{
    const bool running = station_.Running();
    const StationState state = station_.State();
    SetWindowTextA(start_, !running ? "Start" : station_.Board().Stopping() ? "Stopping..." : "Stop");
    const bool startEnabled = state != StationState::Stopping && state != StationState::Closing;
    // A disabled control keeps no keyboard focus; the window holds it
    // meanwhile, and Start gets it back.
    if (!startEnabled && GetFocus() == start_)
        SetFocus(hwnd_);
    EnableWindow(start_, startEnabled);
    EnableWindow(imageButton_, station_.TakesImage());
    EnableWindow(jobButton_, !running);
    EnableWindow(recordButton_, !running);
    DragAcceptFiles(hwnd_, running ? FALSE : TRUE);
    const HWND focus = GetFocus();
    if (startEnabled && GetActiveWindow() == hwnd_ && (focus == hwnd_ || focus == nullptr))
        SetFocus(start_);
}

// While idle the tiles follow the system's list.
void CStationWindow::RefreshPorts() { Draw(station_.FollowList()); }

void CStationWindow::ShowTotals()
{
    std::string text;
    for (const std::string& words : station_.Board().TotalsWords())
        text += (text.empty() ? "" : "     ") + words;
    SendMessageA(status_, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(text.c_str()));
    const std::string record = "Record: " + station_.RecordPath();
    SendMessageA(status_, SB_SETTEXTA, 1, reinterpret_cast<LPARAM>(record.c_str()));
}

void CStationWindow::OnClose()
{
    CloseStep step = station_.RequestClose();
    if (step == CloseStep::Ask) {
        const unsigned inFlight = station_.Board().Totals().inFlight;
        char question[200];
        std::snprintf(question, sizeof question,
                      inFlight == 1 ? "A download is running.\n\nCancel it and close the window? It is recorded as "
                                       "cancelled."
                                     : "%u downloads are running.\n\nCancel them and close the window? They are "
                                       "recorded as cancelled.",
                      inFlight);
        const int answer = MessageBoxA(hwnd_, question, ZQ_STATION_CAPTION, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
        // The station may have ended while the question was up.
        step = station_.ConfirmClose(answer == IDYES);
    }
    if (step == CloseStep::Close) {
        DestroyWindow(hwnd_);
        return;
    }
    // The window goes once the station's end arrives, every cancelled
    // download recorded.
    SetRunningLook();
}

}  // namespace zq
