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

#include "FlashDevices.h"
#include "ImageSnapshot.h"
#include "Record.h"

class CStationView : public StationEvents {
public:
    enum class Mode { Live, Lines, Quiet, Json };

    CStationView(Mode mode, std::FILE* out, const ImageSnapshot& image, CRecordLog* log);

    void OnPort(const PortInfo& port, PortPhase phase) override;
    void OnFound(const std::string& port) override;
    void OnProgress(const std::string& port, const StageReport& report) override;
    void OnAdapter(const std::string& port, const PortInfo& adapter, int latencyMs) override;
    bool OnEnded(const DeviceOutcome& outcome) override;

    // A line of the tool's own, above the live rows (or dropped with --json).
    void Say(const std::string& text);
    // The same for what went wrong, on stderr.
    void Fail(const std::string& text);
    // The closing summary: "N devices: W written, F failed".
    void Summary();

    unsigned Written() const { return written_; }
    unsigned Failed() const { return failed_; }
    unsigned Cancelled() const { return cancelled_; }
    // A record could not be written.
    bool Unrecorded() const { return unrecorded_; }
    // What every record tells of its job and station.
    void SetRecordTags(const RecordTags& tags) { tags_ = tags; }

private:
    using Clock = std::chrono::steady_clock;
    struct Row {
        StageReport last;
        Clock::time_point dataStart{};
        Clock::time_point lastJson{};
    };

    void Print(const std::string& lines, std::FILE* to = nullptr);
    void Redraw();
    std::string RowText(const std::string& port, const Row& row) const;
    void Json(const std::string& line);

    Mode mode_;
    std::FILE* out_;
    const ImageSnapshot& image_;
    CRecordLog* log_;
    RecordTags tags_;
    std::mutex mutex_;
    std::map<std::string, Row> busy_;
    size_t drawnRows_ = 0;
    Clock::time_point lastDraw_{};
    unsigned written_ = 0;
    unsigned failed_ = 0;
    unsigned cancelled_ = 0;
    bool unrecorded_ = false;
};
