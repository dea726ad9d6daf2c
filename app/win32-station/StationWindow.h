// The station window: one Start/Stop toggle, the image it writes, a tile per
// serial port and the totals. A thin shell on the station's session: the
// station runs on a thread of its own and its events come here as posted
// messages, so the window's thread never waits on a port, a download or a
// record.
#pragma once

#include <windows.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "station/FlashDevices.h"
#include "station/ImageSnapshot.h"
#include "app/win32-station/PortTiles.h"
#include "station/Record.h"
#include "station/StationJob.h"
#include "station/StationSession.h"
#include "app/win32-station/UiMetrics.h"

namespace zq {

class CStationWindow : private SessionEvents {
public:
    // imagePath: the image at first (empty: none could be named, which shows
    // as a file that cannot be opened).
    explicit CStationWindow(std::string imagePath);
    ~CStationWindow() override;
    CStationWindow(const CStationWindow&) = delete;
    CStationWindow& operator=(const CStationWindow&) = delete;

    static bool Register(HINSTANCE instance);
    HWND Create(HINSTANCE instance, int show);
    HWND Window() const { return hwnd_; }

private:
    struct Note;

    static constexpr UINT WM_STATION_NOTE = WM_APP + 1;  // lParam: Note*, owned by the receiver
    static constexpr UINT WM_STATION_ENDED = WM_APP + 2; // wParam: StationEnd

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnCreate();
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
    bool ReadImage();
    void ShowImage();
    std::string RecordPath() const;
    void ShowAlert();

    // The station.
    void StartStation();
    void StopStation();
    void StationEnded(StationEnd end);
    void OnNote(const Note& note);
    void ApplyProgress();
    void RefreshPorts();
    void ShowTotals();
    void SetRunningLook();
    void Post(Note* note);

    // SessionEvents, from the station's threads.
    void OnPort(const PortInfo& port, PortPhase phase) override;
    void OnFound(const std::string& port, const StationTotals& totals) override;
    void OnProgress(const std::string& port, const StageReport& report) override;
    void OnHint(const std::string& port, const std::string& hint) override;
    void OnEnded(const DeviceEnding& ending) override;
    void OnStationEnded(StationEnd end) override;
    void OnForwarding(const std::string& text) override;

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

    std::string imagePath_;
    ImageSnapshot image_;      // read by the station's threads while it runs
    bool imageOk_ = false;
    std::string imageCause_;
    std::string recordPath_;   // chosen by the operator; empty: beside the image
    std::string recordAlert_;  // why the record could not be kept
    std::string forwardAlert_; // what the forwarding last said
    TrustStore trust_ = InstalledTrust(); // the administrator's keys: locked when it holds any
    std::unique_ptr<OpenedJob> job_;      // a job fixes the image, its ports and its lot
    unsigned lotWritten_ = 0;             // the lot's units the record held at Start

    std::unique_ptr<CRecordLog> record_; // written by the station's threads while it runs
    std::unique_ptr<CStationSession> session_;
    bool running_ = false;
    bool stopping_ = false;
    bool closing_ = false;
    bool asking_ = false;

    // The latest report of each port, taken by the window on a timer: a
    // device reports every block, and eight of them would flood the queue.
    std::mutex progressMutex_;
    std::map<std::string, StageReport> progress_;

    StationTotals totals_; // as last drawn
};

}  // namespace zq
