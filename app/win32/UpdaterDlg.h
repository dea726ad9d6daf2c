// The tool's one window: a Start button and a progress bar, built from
// dialog template 102. It owns what a download uses and lends it to one
// worker thread at a time.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "download/DownloadHost.h"

namespace zq {

class CUpdaterDlg : public DownloadHostBase, private ProgressSink, private NoticeSink {
public:
    // Posted by the worker as the last thing it does.
    static constexpr UINT WM_WORKER_ENDED = WM_APP + 1;

    // The product: DB.bin beside the executable, the system's port list.
    CUpdaterDlg();
    // For test drivers: DB.bin in imageFolder, the ports from ports.
    CUpdaterDlg(std::string imageFolder, PortSource ports);
    ~CUpdaterDlg() override;
    CUpdaterDlg(const CUpdaterDlg&) = delete;
    CUpdaterDlg& operator=(const CUpdaterDlg&) = delete;

    // Shows the dialog modally, with no parent; returns once it has closed.
    INT_PTR DoModal(HINSTANCE instance);

    HWND Window() const { return hwnd_; }
    bool DownloadRunning() const { return worker_.joinable(); }

    // DownloadHost, called from the worker.
    ProgressSink& Progress() override { return *this; }
    NoticeSink& Notice() override { return *this; }

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    BOOL OnInitDialog();
    void CentreOnWorkArea();
    bool OnPaint();
    void OnStart();
    bool OnCloseBox();
    void OnClose(int result);
    void OnWorkerEnded();

    // ProgressSink and NoticeSink, from the worker thread.
    void SetRange(uint32_t maximum) override;
    void SetPos(uint32_t position) override;
    void ShowNotice(const std::string& text) override;

    HWND start_ = nullptr;
    HWND progress_ = nullptr;
    HICON icon_ = nullptr;
    HICON smallIcon_ = nullptr;

    HWND hwnd_ = nullptr;
    std::string imageFolder_; // empty: the executable's folder
    std::string appName_;     // caption of the notices
    std::thread worker_;
    std::atomic<bool> closing_{false};
    std::atomic<bool> noticeUp_{false}; // the worker's last notice is showing
    bool asking_ = false;               // the close box's question is showing
    int closeResult_ = IDCANCEL;
};

}  // namespace zq
