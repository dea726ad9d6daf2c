#include "app/win32-station/PortTiles.h"

#include <commctrl.h>

#include <algorithm>
#include <climits>
#include <cstdio>

namespace zq {

namespace {

// At 96 DPI: the space inside a tile, between tiles, and the strip of colour
// on a tile's left edge.
constexpr int kPadDips = 8;
constexpr int kGapDips = 8;
constexpr int kStripDips = 4;
constexpr int kMinTileDips = 250;
constexpr int kBarDips = 14;
constexpr int kFixDips = 150;
// Lines under the state: a cause can take three.
constexpr int kDetailLines = 3;

const COLORREF kGreen = RGB(0, 128, 0);
const COLORREF kRed = RGB(192, 0, 0);
const COLORREF kBlue = RGB(0, 90, 180);

struct TileRows {
    int pad, strip, line, gap;
    int name, description, location, state, detail, counters, height;
};

TileRows Rows(const CUiFonts& fonts)
{
    TileRows r{};
    const UINT dpi = fonts.Dpi();
    r.pad = Scale(kPadDips, dpi);
    r.strip = Scale(kStripDips, dpi);
    r.line = fonts.LineHeight();
    r.gap = Scale(3, dpi);
    r.name = r.pad;
    r.description = r.name + r.line;
    r.location = r.description + r.line;
    r.state = r.location + r.line + r.gap;
    r.detail = r.state + r.line + r.gap;
    r.counters = r.detail + kDetailLines * r.line + r.gap;
    r.height = r.counters + r.line + r.pad;
    return r;
}

LPARAM BarValue(uint32_t value) { return static_cast<LPARAM>(value > INT_MAX ? INT_MAX : value); }

void DrawLine(HDC dc, HFONT font, COLORREF colour, const std::string& text, RECT box, UINT format)
{
    SelectObject(dc, font);
    SetTextColor(dc, colour);
    DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &box, format | DT_NOPREFIX);
}

} // namespace

CPortTile::CPortTile(HWND grid, const PortInfo& port, const CUiFonts& fonts, TileActions actions)
    : fonts_(fonts), actions_(std::move(actions)), name_(port.name)
{
    view_.port = port;
    hwnd_ = CreateWindowExA(0, kClassName, port.name.c_str(), WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 10,
                            10, grid, nullptr, GetModuleHandleA(nullptr), this);
    bar_ = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD, 0, 0, 10, 10, hwnd_, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
    const std::string fixText = "Set latency to " + std::to_string(kLatencyFixMs) + " ms...";
    fix_ = CreateWindowExA(0, WC_BUTTONA, fixText.c_str(), WS_CHILD | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 10, 10, hwnd_,
                           nullptr, GetModuleHandleA(nullptr), nullptr);
    retry_ = CreateWindowExA(0, WC_BUTTONA, "Retry", WS_CHILD | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 10, 10, hwnd_,
                             nullptr, GetModuleHandleA(nullptr), nullptr);
    SendMessageA(fix_, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_.Normal()), FALSE);
    SendMessageA(retry_, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_.Normal()), FALSE);
    Layout();
    Changed();
}

CPortTile::~CPortTile()
{
    if (hwnd_) {
        SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
}

int CPortTile::Height(const CUiFonts& fonts) { return Rows(fonts).height; }

int CPortTile::MinWidth(const CUiFonts& fonts) { return Scale(kMinTileDips, fonts.Dpi()); }

LRESULT CALLBACK CPortTile::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<CPortTile*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    switch (message) {
    case WM_ERASEBKGND:
        return 1; // the whole tile is painted at once, off the screen
    case WM_SIZE:
        if (self)
            self->Layout();
        return 0;
    case WM_COMMAND:
        if (self && reinterpret_cast<HWND>(lParam) == self->fix_ && HIWORD(wParam) == BN_CLICKED) {
            if (const auto fix = self->view_.Fix(); fix && self->actions_.fix)
                self->actions_.fix(*fix);
        }
        if (self && reinterpret_cast<HWND>(lParam) == self->retry_ && HIWORD(wParam) == BN_CLICKED) {
            if (self->view_.Retryable() && self->actions_.retry)
                self->actions_.retry(self->name_);
        }
        return 0;
    case WM_PAINT:
        if (self) {
            PAINTSTRUCT ps;
            const HDC dc = BeginPaint(hwnd, &ps);
            RECT client;
            GetClientRect(hwnd, &client);
            const HDC memory = CreateCompatibleDC(dc);
            const HBITMAP bitmap = CreateCompatibleBitmap(dc, client.right, client.bottom);
            const HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
            const HGDIOBJ oldFont = SelectObject(memory, self->fonts_.Normal());
            self->Paint(memory, client);
            BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
            SelectObject(memory, oldFont);
            SelectObject(memory, oldBitmap);
            DeleteObject(bitmap);
            DeleteDC(memory);
            EndPaint(hwnd, &ps);
            return 0;
        }
        break;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

void CPortTile::Changed()
{
    // The window's text says what the tile shows, for screen readers and
    // for whoever reads the window from outside.
    std::string text = name_ + ": " + TileWords(view_.state);
    if (view_.state == TileState::Flashing)
        text += " - " + view_.BlockWords();
    else if (!view_.NoteShown().empty())
        text += " - " + view_.NoteShown();
    SetWindowTextA(hwnd_, text.c_str());
    InvalidateRect(hwnd_, nullptr, FALSE);
}

void CPortTile::Layout()
{
    RECT client;
    GetClientRect(hwnd_, &client);
    const TileRows r = Rows(fonts_);
    const int left = r.pad + r.strip;
    MoveWindow(bar_, left, r.detail, std::max(0, int(client.right) - left - r.pad), Scale(kBarDips, fonts_.Dpi()),
               TRUE);
    ShowWindow(bar_, view_.state == TileState::Flashing ? SW_SHOWNA : SW_HIDE);
    // On the last of the lines beneath the state, under the hint it fixes.
    const int top = r.detail + (kDetailLines - 1) * r.line;
    MoveWindow(fix_, left, top, Scale(kFixDips, fonts_.Dpi()), r.counters - top, TRUE);
    ShowWindow(fix_, view_.Fix() ? SW_SHOWNA : SW_HIDE);
    MoveWindow(retry_, left, top, Scale(kFixDips / 2, fonts_.Dpi()), r.counters - top, TRUE);
    ShowWindow(retry_, view_.Retryable() ? SW_SHOWNA : SW_HIDE);
}

void CPortTile::SetFonts()
{
    SendMessageA(fix_, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_.Normal()), FALSE);
    SendMessageA(retry_, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_.Normal()), FALSE);
    Layout();
    InvalidateRect(hwnd_, nullptr, FALSE);
}

void CPortTile::Draw(const TileView& view)
{
    const bool flashing = view.state == TileState::Flashing;
    if (flashing) {
        SendMessageA(bar_, PBM_SETRANGE32, 0, BarValue(std::max<uint32_t>(view.progress.blocks, 1)));
        SendMessageA(bar_, PBM_SETPOS, static_cast<WPARAM>(BarValue(view.progress.done)), 0);
    }
    if (flashing != (view_.state == TileState::Flashing))
        ShowWindow(bar_, flashing ? SW_SHOWNA : SW_HIDE);
    const bool fix = view.Fix().has_value();
    if (fix != view_.Fix().has_value())
        ShowWindow(fix_, fix ? SW_SHOWNA : SW_HIDE);
    if (view.Retryable() != view_.Retryable())
        ShowWindow(retry_, view.Retryable() ? SW_SHOWNA : SW_HIDE);
    view_ = view;
    Changed();
}

void CPortTile::Paint(HDC dc, const RECT& client)
{
    const TileRows r = Rows(fonts_);
    FillRect(dc, &client, GetSysColorBrush(COLOR_WINDOW));
    FrameRect(dc, &client, GetSysColorBrush(COLOR_3DSHADOW));
    SetBkMode(dc, TRANSPARENT);

    const COLORREF text = GetSysColor(view_.gone ? COLOR_GRAYTEXT : COLOR_WINDOWTEXT);
    const COLORREF quiet = GetSysColor(COLOR_GRAYTEXT);
    COLORREF stateColour = text;
    if (!view_.gone) {
        if (view_.state == TileState::Success)
            stateColour = kGreen;
        else if (view_.state == TileState::Failed || view_.Refused())
            stateColour = kRed;
        else if (view_.state == TileState::Flashing)
            stateColour = kBlue;
    }
    if (stateColour != text) {
        RECT strip{1, 1, 1 + r.strip, client.bottom - 1};
        const HBRUSH brush = CreateSolidBrush(stateColour);
        FillRect(dc, &strip, brush);
        DeleteObject(brush);
    }

    const int left = r.pad + r.strip;
    const int right = client.right - r.pad;
    const UINT oneLine = DT_SINGLELINE | DT_END_ELLIPSIS | DT_LEFT | DT_TOP;

    DrawLine(dc, fonts_.Bold(), text, view_.label.empty() ? name_ : view_.label + "  \xB7  " + name_,
             RECT{left, r.name, right, r.name + r.line}, oneLine);
    const PortInfo& port = view_.port;
    std::string about = port.description;
    if (!port.hardwareId.empty())
        about += (about.empty() ? "" : "  ") + port.hardwareId;
    if (!port.serialNumber.empty())
        about += (about.empty() ? "" : "  ") + std::string("SN ") + port.serialNumber;
    DrawLine(dc, fonts_.Normal(), quiet, about, RECT{left, r.description, right, r.description + r.line}, oneLine);
    const std::string where = view_.gone ? std::string("not there") : port.location;
    DrawLine(dc, fonts_.Normal(), quiet, where, RECT{left, r.location, right, r.location + r.line},
             oneLine | DT_PATH_ELLIPSIS);
    DrawLine(dc, fonts_.Bold(), stateColour, TileWords(view_.state), RECT{left, r.state, right, r.state + r.line}, oneLine);

    if (view_.state == TileState::Flashing) {
        const int below = r.detail + Scale(kBarDips, fonts_.Dpi()) + r.gap;
        DrawLine(dc, fonts_.Normal(), text, view_.BlockWords(), RECT{left, below, right, below + r.line}, oneLine);
        if (!view_.note.empty()) {
            const int hint = below + r.line;
            DrawLine(dc, fonts_.Normal(), text, view_.note, RECT{left, hint, right, r.counters}, oneLine);
        }
    } else if (!view_.NoteShown().empty()) {
        // The fix's button, or the retry's, takes the last line.
        const int lines = view_.Fix() || view_.Retryable() ? kDetailLines - 1 : kDetailLines;
        DrawLine(dc, fonts_.Normal(), view_.alarm && !view_.gone ? kRed : text, view_.NoteShown(),
                 RECT{left, r.detail, right, r.detail + lines * r.line},
                 DT_WORDBREAK | DT_EDITCONTROL | DT_END_ELLIPSIS | DT_LEFT | DT_TOP);
    }

    char counters[64];
    std::snprintf(counters, sizeof counters, "written %u    failed %u", view_.written, view_.failed);
    DrawLine(dc, fonts_.Normal(), text, counters, RECT{left, r.counters, right, r.counters + r.line}, oneLine);
    if (view_.ended) {
        char last[48];
        std::snprintf(last, sizeof last, "last %.1f s", view_.lastSeconds);
        DrawLine(dc, fonts_.Normal(), quiet, last, RECT{left, r.counters, right, r.counters + r.line},
                 DT_SINGLELINE | DT_RIGHT | DT_TOP);
    }
}

// The grid.

CTileGrid::CTileGrid(HWND parent, int id, const CUiFonts& fonts, TileActions actions)
    : fonts_(fonts), actions_(std::move(actions))
{
    hwnd_ = CreateWindowExA(WS_EX_CONTROLPARENT, kClassName, "", WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_CLIPCHILDREN,
                            0, 0, 10, 10, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                            GetModuleHandleA(nullptr), this);
}

CTileGrid::~CTileGrid()
{
    tiles_.clear();
    if (hwnd_) {
        SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
}

CPortTile* CTileGrid::Find(const std::string& name) const
{
    for (const auto& tile : tiles_)
        if (tile->Name() == name)
            return tile.get();
    return nullptr;
}

void CTileGrid::Show(const CStationBoard& board, const std::string& empty)
{
    if (empty != empty_) {
        empty_ = empty;
        InvalidateRect(hwnd_, nullptr, TRUE);
    }
    std::vector<std::unique_ptr<CPortTile>> shown;
    for (const std::string& name : board.Order()) {
        const TileView* view = board.Find(name);
        auto it = std::find_if(tiles_.begin(), tiles_.end(), [&](const auto& t) { return t && t->Name() == name; });
        if (it != tiles_.end())
            shown.push_back(std::move(*it));
        else
            shown.push_back(std::make_unique<CPortTile>(hwnd_, view->port, fonts_, actions_));
        shown.back()->Draw(*view);
    }
    tiles_ = std::move(shown);
    Layout();
    InvalidateRect(hwnd_, nullptr, TRUE);
}

void CTileGrid::SetFonts()
{
    for (const auto& tile : tiles_)
        tile->SetFonts();
    Layout();
}

void CTileGrid::Layout()
{
    if (laying_)
        return;
    laying_ = true;
    const UINT dpi = fonts_.Dpi();
    const int gap = Scale(kGapDips, dpi);
    const int height = CPortTile::Height(fonts_);
    const int minWidth = CPortTile::MinWidth(fonts_);
    const int count = static_cast<int>(tiles_.size());

    RECT client;
    // Twice at most: showing or hiding the scroll bar changes the width.
    for (int pass = 0; pass < 2; ++pass) {
        GetClientRect(hwnd_, &client);
        const int columns = std::max(1, (int(client.right) - gap) / (minWidth + gap));
        const int rows = (count + columns - 1) / columns;
        content_ = rows == 0 ? 0 : gap + rows * (height + gap);
        const int page = client.bottom;
        scroll_ = std::max(0, std::min(scroll_, content_ - page));
        SCROLLINFO info{};
        info.cbSize = sizeof(info);
        info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
        info.nMin = 0;
        info.nMax = std::max(0, content_ - 1);
        info.nPage = static_cast<UINT>(std::max(0, page));
        info.nPos = scroll_;
        SetScrollInfo(hwnd_, SB_VERT, &info, TRUE);
        RECT after;
        GetClientRect(hwnd_, &after);
        if (after.right == client.right)
            break;
    }
    GetClientRect(hwnd_, &client);
    const int columns = std::max(1, (int(client.right) - gap) / (minWidth + gap));
    const int width = std::max(minWidth, (int(client.right) - gap * (columns + 1)) / columns);
    if (count > 0) {
        HDWP moves = BeginDeferWindowPos(count);
        for (int i = 0; i < count; ++i) {
            const int x = gap + (i % columns) * (width + gap);
            const int y = gap + (i / columns) * (height + gap) - scroll_;
            if (moves)
                moves = DeferWindowPos(moves, tiles_[size_t(i)]->Window(), nullptr, x, y, width, height,
                                       SWP_NOZORDER | SWP_NOACTIVATE);
        }
        if (moves)
            EndDeferWindowPos(moves);
    }
    laying_ = false;
}

void CTileGrid::ScrollTo(int position)
{
    RECT client;
    GetClientRect(hwnd_, &client);
    position = std::max(0, std::min(position, content_ - int(client.bottom)));
    if (position == scroll_)
        return;
    scroll_ = position;
    SetScrollPos(hwnd_, SB_VERT, scroll_, TRUE);
    Layout();
    InvalidateRect(hwnd_, nullptr, TRUE);
}

void CTileGrid::OnScroll(int request)
{
    RECT client;
    GetClientRect(hwnd_, &client);
    const int line = fonts_.LineHeight();
    switch (request) {
    case SB_LINEUP: ScrollTo(scroll_ - line); break;
    case SB_LINEDOWN: ScrollTo(scroll_ + line); break;
    case SB_PAGEUP: ScrollTo(scroll_ - client.bottom); break;
    case SB_PAGEDOWN: ScrollTo(scroll_ + client.bottom); break;
    case SB_TOP: ScrollTo(0); break;
    case SB_BOTTOM: ScrollTo(content_); break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: {
        SCROLLINFO info{};
        info.cbSize = sizeof(info);
        info.fMask = SIF_TRACKPOS;
        GetScrollInfo(hwnd_, SB_VERT, &info);
        ScrollTo(info.nTrackPos);
        break;
    }
    }
}

void CTileGrid::Wheel(int delta)
{
    wheelRest_ += delta;
    const int notches = wheelRest_ / WHEEL_DELTA;
    wheelRest_ -= notches * WHEEL_DELTA;
    if (notches)
        ScrollTo(scroll_ - notches * 3 * fonts_.LineHeight());
}

LRESULT CALLBACK CTileGrid::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<CTileGrid*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (self) {
        switch (message) {
        case WM_SIZE:
            self->Layout();
            return 0;
        case WM_VSCROLL:
            self->OnScroll(LOWORD(wParam));
            return 0;
        case WM_MOUSEWHEEL:
            self->Wheel(GET_WHEEL_DELTA_WPARAM(wParam));
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            const HDC dc = BeginPaint(hwnd, &ps);
            if (self->tiles_.empty()) {
                RECT client;
                GetClientRect(hwnd, &client);
                SetBkMode(dc, TRANSPARENT);
                SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
                const HGDIOBJ old = SelectObject(dc, self->fonts_.Normal());
                client.top = client.bottom / 3; // word-wrapped text does not centre itself
                DrawTextA(dc, self->empty_.c_str(), -1, &client, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
                SelectObject(dc, old);
            }
            EndPaint(hwnd, &ps);
            return 0;
        }
        }
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

bool RegisterTileClasses(HINSTANCE instance)
{
    WNDCLASSEXA tile{};
    tile.cbSize = sizeof(tile);
    tile.lpfnWndProc = CPortTile::WindowProc;
    tile.hInstance = instance;
    tile.hCursor = LoadCursor(nullptr, IDC_ARROW);
    tile.lpszClassName = CPortTile::kClassName;
    WNDCLASSEXA grid = tile;
    grid.lpfnWndProc = CTileGrid::WindowProc;
    grid.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_3DFACE + 1);
    grid.lpszClassName = CTileGrid::kClassName;
    return RegisterClassExA(&tile) != 0 && RegisterClassExA(&grid) != 0;
}

}  // namespace zq
