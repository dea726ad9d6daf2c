// The station's ports as tiles in a grid that reflows with the window's
// width and scrolls when the tiles do not fit. A tile only shows what it is
// told; the station window tells it what the station's events say.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "download/DownloadHost.h"
#include "link/PortList.h"
#include "app/win32-station/UiMetrics.h"

namespace zq {

// Registers the window classes of the tiles and the grid.
bool RegisterTileClasses(HINSTANCE instance);

enum class TileState {
    Waiting,     // the station is not running
    Listening,   // open, waiting for a device
    Unavailable, // listed but not open, or gone from the list
    Flashing,
    Success,
    Fail,
    Cancelled,
    Busy,   // there, but another program holds it
    Denied, // there, but refused for lack of permission
};

class CPortTile {
public:
    // The tile's window class; also the name a test looks for.
    static constexpr const char* kClassName = "ZerquillStationTile";

    CPortTile(HWND grid, const PortInfo& port, const CUiFonts& fonts);
    ~CPortTile();
    CPortTile(const CPortTile&) = delete;
    CPortTile& operator=(const CPortTile&) = delete;

    HWND Window() const { return hwnd_; }
    const std::string& Name() const { return port_.name; }
    // A job's slot: its label names the tile, the port beside it.
    void SetLabel(const std::string& label);
    TileState State() const { return state_; }
    bool Refused() const { return state_ == TileState::Busy || state_ == TileState::Denied; }
    bool Gone() const { return gone_; }

    // A newer description of the same port.
    void SetPort(const PortInfo& port);
    void SetState(TileState state);
    // Busy or Denied, with the words that say what to do.
    void Refuse(TileState state, const std::string& detail);
    // Greyed: the port has left the system's list or cannot be opened.
    void SetGone(bool gone);
    // A download began: Flashing, its bar empty, the last result's words gone.
    void BeginDownload();
    void SetProgress(const StageReport& report);
    // A hint shown under the bar while the download runs (a slow adapter).
    void SetHint(const std::string& hint);
    // A download ended: its state, the words beneath it (the cause of a
    // failure, a hint after a success) and how long it took.
    void EndDownload(TileState result, const std::string& detail, double seconds);
    void SetFonts();

    unsigned Written() const { return written_; }
    unsigned Failed() const { return failed_; }

    static int Height(const CUiFonts& fonts);
    static int MinWidth(const CUiFonts& fonts);

private:
    friend bool RegisterTileClasses(HINSTANCE instance);
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void Paint(HDC dc, const RECT& client);
    void Layout();
    void Changed();
    std::string StateWords() const;
    std::string BlockWords() const;

    HWND hwnd_ = nullptr;
    HWND bar_ = nullptr;
    const CUiFonts& fonts_;
    PortInfo port_;
    TileState state_ = TileState::Waiting;
    bool gone_ = false;
    StageReport progress_;
    std::string detail_;
    std::string label_;
    unsigned written_ = 0;
    unsigned failed_ = 0;
    double lastSeconds_ = -1;
};

class CTileGrid {
public:
    static constexpr const char* kClassName = "ZerquillStationGrid";

    CTileGrid(HWND parent, int id, const CUiFonts& fonts);
    ~CTileGrid();
    CTileGrid(const CTileGrid&) = delete;
    CTileGrid& operator=(const CTileGrid&) = delete;

    HWND Window() const { return hwnd_; }
    // The tile of a port; nullptr when there is none.
    CPortTile* Find(const std::string& name) const;
    // The port's tile, added after the others when new.
    CPortTile& Add(const PortInfo& port);
    void Remove(const std::string& name);
    const std::vector<std::unique_ptr<CPortTile>>& Tiles() const { return tiles_; }
    // The fonts changed (another DPI): every tile is measured again.
    void SetFonts();
    void Layout();
    void Wheel(int delta);

private:
    friend bool RegisterTileClasses(HINSTANCE instance);
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void ScrollTo(int position);
    void OnScroll(int request);

    HWND hwnd_ = nullptr;
    const CUiFonts& fonts_;
    std::vector<std::unique_ptr<CPortTile>> tiles_;
    int scroll_ = 0;
    int content_ = 0;
    int wheelRest_ = 0;
    bool laying_ = false;
};

}  // namespace zq
