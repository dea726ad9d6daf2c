// Sizes and fonts of the station window at the DPI of its monitor.
#pragma once

#include <windows.h>

namespace zq {

// The DPI the window is drawn at: its monitor's where the system tells
// (Windows 10 and later), the system's otherwise.
UINT WindowDpi(HWND hwnd);

// Device pixels for a length given at 96 DPI.
inline int Scale(int dips, UINT dpi) { return MulDiv(dips, static_cast<int>(dpi), 96); }

// The system's message font at one DPI, normal and bold, with the height of
// a line of each.
class CUiFonts {
public:
    CUiFonts() = default;
    ~CUiFonts();
    CUiFonts(const CUiFonts&) = delete;
    CUiFonts& operator=(const CUiFonts&) = delete;

    void Create(UINT dpi);
    HFONT Normal() const { return normal_; }
    HFONT Bold() const { return bold_; }
    int LineHeight() const { return lineHeight_; }
    UINT Dpi() const { return dpi_; }

private:
    void Release();

    HFONT normal_ = nullptr;
    HFONT bold_ = nullptr;
    int lineHeight_ = 16;
    UINT dpi_ = 96;
};

}  // namespace zq
