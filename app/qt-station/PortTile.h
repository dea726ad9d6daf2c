// One port of the station as the board sees it: its name and adapter, what
// it is doing, its download's progress, how its downloads ended, and its
// counters.
#pragma once

#include <QFrame>
#include <QString>

#include <functional>

#include "link/PortList.h"
#include "station/StationBoard.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace zq {
class CFittedLabel;

class CPortTile : public QFrame {
public:
    explicit CPortTile(const PortInfo& port, QWidget* parent = nullptr);

    // Shows the board's view of the port.
    void Draw(const TileView& view);
    // Called with the tile's latency fix when the operator asks for it.
    void OnFix(std::function<void(const LatencyFix&)> run) { runFix_ = std::move(run); }
    QPushButton* FixButton() const { return fix_; }
    // Called with the tile's port when the operator retries its held unit.
    void OnRetry(std::function<void(const std::string&)> retry) { retry_ = std::move(retry); }
    QPushButton* RetryButton() const { return retryButton_; }

    const QString& Name() const { return name_; }
    TileState CurrentState() const { return view_.state; }
    bool Gone() const { return view_.gone; }
    QString TitleText() const;
    QString StateText() const;
    QString NoteText() const;
    QString BarText() const;
    unsigned Written() const { return view_.written; }
    unsigned Failed() const { return view_.failed; }

private:
    void SetInfo(const PortInfo& port);

    QString name_;
    QLabel* title_;
    CFittedLabel* adapter_;
    QLabel* stateLabel_;
    QProgressBar* bar_;
    CFittedLabel* note_;
    QLabel* counters_;
    QPushButton* fix_;
    QPushButton* retryButton_;
    TileView view_;
    std::function<void(const LatencyFix&)> runFix_;
    std::function<void(const std::string&)> retry_;
};

}  // namespace zq
