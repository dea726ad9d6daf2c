// The tool's one window: a Start button and a progress bar. It owns what a
// download uses and lends it to one worker thread at a time.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QPointer>

#include <atomic>
#include <string>
#include <thread>

#include "download/DownloadHost.h"

class QCloseEvent;
class QKeyEvent;
class QMessageBox;
class QProgressBar;
class QPushButton;

namespace zq {

class CUpdaterDlg : public QDialog,
                    public DownloadHostBase,
                    private ProgressSink,
                    private NoticeSink {
    Q_OBJECT

public:
    explicit CUpdaterDlg(QWidget* parent = nullptr);
    ~CUpdaterDlg() override;

    // Where DB.bin is looked for; empty means beside the executable.
    void SetImageFolder(const std::string& folder) { imageFolder_ = folder; }
    // Which ports discovery probes; empty means the system's list.
    void SetPortSource(PortSource source) { link_.SetPortSource(std::move(source)); }

    QPushButton* StartButton() const { return start_; }
    QProgressBar* ProgressBar() const { return progress_; }
    bool DownloadRunning() const { return worker_.joinable(); }

    // Dialog-template units to pixels with this dialog's font, the way the
    // template's coordinates were meant to be read.
    QRect MapDialogRect(const QRect& units) const;

    // DownloadHost, called from the worker.
    ProgressSink& Progress() override { return *this; }
    NoticeSink& Notice() override { return *this; }

public slots:
    void OnStart();

    // While a download runs the window stays until the worker has let go of
    // the port and the file, however it is asked to close.
    void done(int result) override;

protected:
    // A stray Escape or Enter must not cut a download short and leave the
    // device half-written; the close box asks first.
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // ProgressSink and NoticeSink: the worker waits until the GUI thread has
    // applied each one.
    void SetRange(uint32_t maximum) override;
    void SetPos(uint32_t position) override;
    void ShowNotice(const std::string& text) override;

    template <typename F>
    void RunOnGuiThread(F&& f);
    void ApplyPos(uint32_t position);
    void ShowNoticeBox(const QString& text);
    void OnWorkerEnded();
    void WaitForWorkerWithoutDialog();

    QPushButton* start_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QIcon icon_;

    std::string imageFolder_;
    std::thread worker_;
    std::atomic<bool> workerEnded_{false};
    QPointer<QMessageBox> notice_;
    bool closePending_ = false;
    bool asking_ = false;
    int closeResult_ = 0;
    bool destroying_ = false;
};

}  // namespace zq
