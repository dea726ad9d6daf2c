// The station window: one Start/Stop toggle, the image it writes, a tile per
// serial port and the totals. It draws the station's board: the station runs
// on a thread of its own and the board wakes the window with a posted
// message, so the window's thread never waits on a port, a download or a
// record.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "app/win32-station/LatencyFixRun.h"
#include "app/win32-station/PortTiles.h"
#include "station/StationController.h"
#include "app/win32-station/UiMetrics.h"

namespace zq {

class CStationWindow {
public:
    // imagePath: the image at first (empty: none could be named, which shows
    // as a file that cannot be opened).
    explicit CStationWindow(std::string imagePath);
    ~CStationWindow();
    CStationWindow(const CStationWindow&) = delete;
    CStationWindow& operator=(const CStationWindow&) = delete;

    // Ports named on the command line, listened on instead of the
    // system's list where a job names no slots; before Create.
    void SetPorts(std::vector<std::string> names) { station_.SetPorts(std::move(names)); }

    static bool Register(HINSTANCE instance);
    HWND Create(HINSTANCE instance, int show);
    HWND Window() const { return hwnd_; }

private:
    // The board has events to drain.
    static constexpr UINT WM_STATION_WAKE = WM_APP + 1;
    // A tile's latency fix has ended.
    static constexpr UINT WM_STATION_FIXED = WM_APP + 2;

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnCreate();
    void OnActivate(WPARAM wParam);
    void OnDrop(HDROP drop);
    void OnCommand(int id);
    void OnClose();
    void OnDpiChanged(UINT dpi, const RECT* suggested);
    void ApplyFonts();
    void Layout();
    LRESULT OnColorStatic(HDC dc, HWND control);

    // The image and the record, while the station is idle.
    void ChooseImage();
    void ChooseJob();
    void ChooseSource(const char* filter, const char* title);
    void ChooseRecord();
    void UseImage(const std::string& path);
    void ShowImage();
    void ShowAlert();

    // The station.
    void StartStation();
    void StopStation();
    void Drain();
    void Draw(const BoardChanges& changes);
    void RefreshPorts();
    void ShowTotals();
    void SetRunningLook();
    void RunFix(const LatencyFix& fix);
    void ShowFixes();

    HWND hwnd_ = nullptr;
    HWND start_ = nullptr;
    HWND imageButton_ = nullptr;
    HWND jobButton_ = nullptr;
    HWND recordButton_ = nullptr;
    HWND imageInfo_ = nullptr;
    HWND alert_ = nullptr;
    HWND status_ = nullptr;
    std::unique_ptr<CTileGrid> grid_;
    CUiFonts fonts_;
    HICON icon_ = nullptr;
    HICON smallIcon_ = nullptr;
    HWND lastFocus_ = nullptr;

    // The administrator's keys lock it when there are any.
    CStationController station_;
    std::unique_ptr<CLatencyFixRuns> fixRuns_;
};

}  // namespace zq
