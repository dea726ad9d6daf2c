// The record of every download: one JSON object a line, appended to a file
// and on the disk before the next download's record, so a power cut loses at
// most the downloads in flight.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "station/FlashDevices.h"
#include "image/ImageSnapshot.h"
#include "station/Job.h"

namespace zq {

// Seconds since 1970 as ISO 8601 UTC ("2026-12-07T14:28:30Z").
std::string IsoUtc(int64_t unixSeconds);

// What a record tells beyond the download: the job it ran for, where, and
// who released it. Empty strings are written as null.
struct RecordTags {
    std::string job;
    std::string station;  // empty: this host's name
    std::string signedBy; // the fingerprint of the key that released the job
    std::vector<JobSlot> fixture; // the slots, in order ("slots": Qt keeps that word)
};

// A random UUID (version 4) from the OS's random source, for a record's
// "id": a receiver that gets a record twice can tell it is the same one.
// Empty if the OS gave no random bytes.
std::string NewRecordId();
// size bytes from the OS's random source (getrandom, BCryptGenRandom).
bool OsRandomBytes(uint8_t* data, size_t size);

// One download as a JSON object on one line. cause: the words a person
// reads for a failure, empty on success.
std::string RecordLine(const DeviceOutcome& outcome, const ImageSnapshot& image, const std::string& cause,
                       const RecordTags& tags = RecordTags());

// How many downloads of this job and this image the record file says were
// written: a lot's count across restarts. Lines that are not records (a
// line cut short by a power cut) are skipped; 0 for a file not there.
unsigned CountLotWritten(const std::string& logPath, const std::string& job, const std::string& sha256);
// "lot NAME complete: W of U written": the words every front end ends a lot with.
std::string LotCompleteText(const std::string& job, unsigned written, unsigned units);

// The name this host goes by on the network, as records name the station.
std::string HostName();

class CRecordLog {
public:
    CRecordLog() = default;
    ~CRecordLog();
    CRecordLog(const CRecordLog&) = delete;
    CRecordLog& operator=(const CRecordLog&) = delete;

    // Opens path for appending, creating it; false with the system's words.
    bool Open(const std::string& path, std::string& error);
    bool IsOpen() const { return file_ != nullptr; }
    // Appends the line and waits until it is on the disk; false if it is not.
    bool Append(const std::string& line);
    // Called after each line that reached the disk (a forwarder's wake-up).
    void OnAppended(std::function<void()> appended) { appended_ = std::move(appended); }

private:
    std::FILE* file_ = nullptr;
    std::function<void()> appended_;
};

// Waits until what was written to file is on the disk (fsync, _commit).
bool SyncToDisk(std::FILE* file);

}  // namespace zq
