// The station window: the image, one Start/Stop toggle, a tile for every
// serial port and the totals. It shows what the station core tells it; the
// core runs on a thread of its own and the window never waits for a port.
#pragma once

#include <QMainWindow>
#include <QTimer>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "station/StationController.h"

class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace zq {
class CFittedLabel;
class CPortTile;
class CTileLayout;

class CStationWindow : public QMainWindow {
    Q_OBJECT

public:
    // image: the image at first; empty for DB.bin beside the program.
    explicit CStationWindow(const std::string& image = std::string(), QWidget* parent = nullptr);
    ~CStationWindow() override;

    // Reads, checks and hashes the image, or opens a job (.zqjob) and its
    // pinned image; refused while the station runs. A locked station opens
    // released jobs only.
    bool SetImage(const std::string& path);
    // Ports named on the command line, listened on instead of the
    // system's list where a job names no slots.
    void SetPorts(std::vector<std::string> names)
    {
        station_.SetPorts(std::move(names));
        ShowControls();
    }
    // The station's trusted keys; the administrator's unless a test says.
    void SetTrust(TrustStore store) { station_.SetTrust(std::move(store)); }
    // A job is open: the image is the one it pins.
    bool HasJob() const { return station_.Job() != nullptr; }
    // Where the records go; refused while the station runs.
    bool SetRecordPath(const std::string& path);
    // Where the list of ports comes from; the system's when not set.
    void SetPortSource(PortSource source) { station_.SetPortSource(std::move(source)); }

    // The station's totals as the window last drew them.
    const StationTotals& CurrentTotals() const { return station_.Board().Totals(); }
    bool Running() const { return station_.Running(); }
    std::string RecordPath() const { return station_.RecordPath(); }
    QPushButton* StartButton() const { return start_; }
    QString ImageText() const;
    QString AlertText() const;
    QString StatusText() const;
    // The tiles in the order shown.
    std::vector<CPortTile*> Tiles() const;
    CPortTile* Tile(const std::string& port) const;

public slots:
    void StartOrStop();

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void BuildTop(QWidget* central, QVBoxLayout* column);
    void BuildTiles(QWidget* central, QVBoxLayout* column);
    void BuildStatus();
    void FitSize();
    void Start();
    void Stop();
    void ChooseImage();
    void ChooseJob();
    // The job or image as the station read it.
    void ShowSource();
    void ShowJob(const OpenedJob& opened);
    void ShowImageInfo(const QString& text, bool usable);
    void ChooseRecord();
    // What the board changed since it was last drained, drawn.
    void Draw(const BoardChanges& changes);
    void Drain();
    CPortTile* TileFor(const std::string& port);
    void PlaceTiles();
    void ShowControls();
    void ShowTotals();
    void Alert(const QString& text);
    // A tile's latency fix: through pkexec where it is installed, else the
    // command shown to copy.
    void RunFix(const LatencyFix& fix);
    void ShowFixCommand(const QString& command);

    QPushButton* start_ = nullptr;
    QPushButton* imageButton_ = nullptr;
    QPushButton* jobButton_ = nullptr;
    QPushButton* recordButton_ = nullptr;
    CFittedLabel* imageName_ = nullptr;
    CFittedLabel* imageInfo_ = nullptr;
    QLabel* alert_ = nullptr;
    QLabel* placeholder_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    CTileLayout* grid_ = nullptr;
    QLabel* totalsLabel_ = nullptr;
    CFittedLabel* recordLabel_ = nullptr;
    QTimer progressTimer_;

    CStationController station_;

    std::map<std::string, CPortTile*> tiles_;
};

}  // namespace zq
