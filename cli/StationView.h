// What the command line shows of many downloads at once (--all, --watch):
// on a terminal, result lines scrolling above one live row per busy port;
// off a terminal, one plain line per event; with --json, JSON Lines events.
// Every download's record goes to the log as it ends.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "release/Job.h"
#include "station/StationSession.h"

namespace zq {

class CStationView : public SessionEvents {
public:
    enum class Mode { Live, Lines, Quiet, Json };

    CStationView(Mode mode, std::FILE* out);

    void OnPort(const PortInfo& port, PortPhase phase) override;
    void OnFound(const std::string& port, const StationTotals& totals) override;
    void OnProgress(const std::string& port, const StageReport& report) override;
    void OnHint(const std::string& port, const std::string& hint) override;
    void OnEnded(const DeviceEnding& ending) override;

    // A line of the tool's own, above the live rows (or dropped with --json).
    void Say(const std::string& text);
    // The same for what went wrong, on stderr.
    void Fail(const std::string& text);
    // A job's slots: their labels name the ports in every line.
    void SetFixture(const std::vector<JobSlot>& fixture) { fixture_ = fixture; }
    // Under a failure's cause, what holds the unit (--watch); empty: nothing.
    void SetHeldWords(const std::string& words) { held_ = words; }
    // The closing summary: "N devices: W written, F failed".
    void Summary(const StationTotals& totals);

private:
    using Clock = std::chrono::steady_clock;
    struct Row {
        StageReport last;
        Clock::time_point lastJson{};
    };

    void Print(const std::string& lines, std::FILE* to = nullptr);
    void Redraw();
    std::string RowText(const std::string& port, const Row& row) const;
    void Json(const std::string& line);
    // A port as the lines name it: "slot 1 (/dev/ttyUSB0)" in a job's fixture.
    std::string Who(const std::string& port) const;

    Mode mode_;
    std::FILE* out_;
    std::vector<JobSlot> fixture_;
    std::string held_;
    std::mutex mutex_;
    std::map<std::string, Row> busy_;
    size_t drawnRows_ = 0;
    Clock::time_point lastDraw_{};
};

}  // namespace zq
