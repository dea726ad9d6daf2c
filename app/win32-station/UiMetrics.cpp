#include "app/win32-station/UiMetrics.h"

namespace zq {

namespace {

// Looked up at run time: the executable also starts on systems older than
// the calls (Windows 7 and 8 have neither).
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using SystemParametersInfoForDpiFn = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);

template <typename Fn>
Fn User32Entry(const char* name)
{
    const HMODULE user32 = GetModuleHandleA("user32.dll");
    return user32 ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(user32, name))) : nullptr;
}

UINT SystemDpi()
{
    const HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen)
        ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

} // namespace

UINT WindowDpi(HWND hwnd)
{
    static const GetDpiForWindowFn forWindow = User32Entry<GetDpiForWindowFn>("GetDpiForWindow");
    if (forWindow && hwnd) {
        const UINT dpi = forWindow(hwnd);
        if (dpi)
            return dpi;
    }
    return SystemDpi();
}

CUiFonts::~CUiFonts() { Release(); }

void CUiFonts::Release()
{
    if (normal_)
        DeleteObject(normal_);
    if (bold_)
        DeleteObject(bold_);
    normal_ = bold_ = nullptr;
}

void CUiFonts::Create(UINT dpi)
{
    static const SystemParametersInfoForDpiFn forDpi =
        User32Entry<SystemParametersInfoForDpiFn>("SystemParametersInfoForDpi");
    // The W form: the ForDpi call has no A form, and the face name may not
    // fit the ANSI code page.
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    bool scaled = false;
    if (forDpi && forDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi)) {
        scaled = true;
    } else if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
        metrics.lfMessageFont = LOGFONTW{};
        metrics.lfMessageFont.lfHeight = -12;
        metrics.lfMessageFont.lfWeight = FW_NORMAL;
        lstrcpyW(metrics.lfMessageFont.lfFaceName, L"MS Shell Dlg 2");
    }
    LOGFONTW face = metrics.lfMessageFont;
    if (!scaled)
        face.lfHeight = MulDiv(face.lfHeight, static_cast<int>(dpi), static_cast<int>(SystemDpi()));

    Release();
    dpi_ = dpi;
    normal_ = CreateFontIndirectW(&face);
    face.lfWeight = FW_BOLD;
    bold_ = CreateFontIndirectW(&face);

    lineHeight_ = Scale(16, dpi);
    if (const HDC dc = GetDC(nullptr)) {
        const HGDIOBJ old = SelectObject(dc, bold_);
        TEXTMETRICW tm{};
        if (GetTextMetricsW(dc, &tm))
            lineHeight_ = tm.tmHeight + tm.tmExternalLeading;
        SelectObject(dc, old);
        ReleaseDC(nullptr, dc);
    }
}

}  // namespace zq
