// The station's ports as tiles in a grid that reflows with the window's
// width and scrolls when the tiles do not fit. A tile only shows what it is
// told; the station window tells it what the station's events say.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/PortList.h"
#include "station/StationBoard.h"
#include "app/win32-station/UiMetrics.h"

namespace zq {

// Registers the window classes of the tiles and the grid.
bool RegisterTileClasses(HINSTANCE instance);

// What the window does when a tile's button is pressed: its latency fix, or
// a retry of the unit the station holds on its port.
struct TileActions {
    std::function<void(const LatencyFix&)> fix;
    std::function<void(const std::string& port)> retry;
};

class CPortTile {
public:
    // The tile's window class; also the name a test looks for.
    static constexpr const char* kClassName = "ZerquillStationTile";

    CPortTile(HWND grid, const PortInfo& port, const CUiFonts& fonts, TileActions actions = TileActions());
    ~CPortTile();
    CPortTile(const CPortTile&) = delete;
    CPortTile& operator=(const CPortTile&) = delete;

    HWND Window() const { return hwnd_; }
    // The "Set latency to 1 ms..." button, shown under the slow-adapter hint.
    HWND FixButton() const { return fix_; }
    // "Retry", in the same place, after a failure the station holds.
    HWND RetryButton() const { return retry_; }
    const std::string& Name() const { return name_; }
    // Shows the board's view of the port.
    void Draw(const TileView& view);
    void SetFonts();

    static int Height(const CUiFonts& fonts);
    static int MinWidth(const CUiFonts& fonts);

private:
    friend bool RegisterTileClasses(HINSTANCE instance);
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void Paint(HDC dc, const RECT& client);
    void Layout();
    void Changed();

    HWND hwnd_ = nullptr;
    HWND bar_ = nullptr;
    HWND fix_ = nullptr;
    HWND retry_ = nullptr;
    const CUiFonts& fonts_;
    TileActions actions_;
    std::string name_;
    TileView view_;
};

class CTileGrid {
public:
    static constexpr const char* kClassName = "ZerquillStationGrid";

    CTileGrid(HWND parent, int id, const CUiFonts& fonts, TileActions actions = TileActions());
    ~CTileGrid();
    CTileGrid(const CTileGrid&) = delete;
    CTileGrid& operator=(const CTileGrid&) = delete;

    HWND Window() const { return hwnd_; }
    // The tile of a port; nullptr when there is none.
    CPortTile* Find(const std::string& name) const;
    // The board's tiles in its order: new ones made, those it no longer
    // has destroyed, each drawn; empty: what the grid says without a tile.
    void Show(const CStationBoard& board, const std::string& empty);
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
    TileActions actions_;
    std::vector<std::unique_ptr<CPortTile>> tiles_;
    std::string empty_;
    int scroll_ = 0;
    int content_ = 0;
    int wheelRest_ = 0;
    bool laying_ = false;
};

}  // namespace zq
