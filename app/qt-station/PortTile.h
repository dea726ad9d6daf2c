// One port of the station: its name and adapter, what it is doing, its
// download's progress, how its downloads ended, and its counters.
#pragma once

#include <QFrame>
#include <QString>

#include "download/DownloadHost.h"
#include "link/PortList.h"

class QLabel;
class QProgressBar;

namespace zq {
class CFittedLabel;

class CPortTile : public QFrame {
public:
    enum class State { Waiting, Listening, Flashing, Success, Failed, Cancelled, Refused };

    explicit CPortTile(const PortInfo& port, QWidget* parent = nullptr);

    void SetInfo(const PortInfo& port);
    // A job's slot: its label names the tile, the port beside it.
    void SetLabel(const QString& label);
    // Not open (yet), though listed: the station keeps trying.
    void Wait();
    void Listen();
    // The port would not open (state: "permission denied", "busy"); note
    // says the fix, whole in the tooltip.
    void Refuse(const QString& state, const QString& note, const QString& whole);
    void Flash();
    void Progress(const StageReport& report);
    // A hint shown under the bar while the download runs (a slow adapter).
    void Hint(const QString& text);
    // note: a cause for a failure, a hint after a slow success; blocks: the image's.
    void End(bool success, bool cancelled, const QString& note, double seconds, uint32_t blocks);
    // Gone from the system's list: greyed out, counters kept.
    void SetGone(bool gone);
    // The station stopped: a port that was only listening waits again.
    void Stop();

    const QString& Name() const { return name_; }
    State CurrentState() const { return state_; }
    bool Gone() const { return gone_; }
    QString TitleText() const;
    QString StateText() const;
    QString NoteText() const;
    QString BarText() const;
    unsigned Written() const { return written_; }
    unsigned Failed() const { return failed_; }

private:
    void Show(State state);
    void ShowCounters();

    QString name_;
    QLabel* title_;
    CFittedLabel* adapter_;
    QLabel* stateLabel_;
    QProgressBar* bar_;
    CFittedLabel* note_;
    QLabel* counters_;

    State state_ = State::Waiting;
    bool gone_ = false;
    bool ended_ = false; // a download has ended here: its time is shown
    unsigned written_ = 0;
    unsigned failed_ = 0;
    double lastSeconds_ = 0;
};

}  // namespace zq
