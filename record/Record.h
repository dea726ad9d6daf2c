// The record of every download: one JSON object a line, appended to a file
// and on the disk before the next download's record, so a power cut loses at
// most the downloads in flight.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "download/DeviceOutcome.h"
#include "image/ImageSnapshot.h"
#include "platform/UniqueHandle.h"

namespace zq {


// A record's step ("block_refused") in the short words of its cause
// ("block refused"), for a person's eyes.
std::string StepWords(const std::string& step);

// What a record tells beyond the download: the job it ran for, where, and
// who released it. Empty strings are written as null.
struct RecordTags {
    std::string job;
    std::string station;  // empty: this host's name
    std::string signedBy; // the fingerprint of the key that released the job
    std::string slot;     // the label of the device's slot in the job's fixture (SlotLabel)
    // The release channel the job came from, and the targets version that
    // listed it; empty: the job (or the image) was given here.
    std::string releaseChannel;
    uint64_t releaseVersion = 0;
};

// A random UUID (version 4) from the OS's random source, for a record's
// "id": a receiver that gets a record twice can tell it is the same one.
// Empty if the OS gave no random bytes.
std::string NewRecordId();

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

class CRecordLog {
public:
    CRecordLog() = default;
    ~CRecordLog();
    CRecordLog(const CRecordLog&) = delete;
    CRecordLog& operator=(const CRecordLog&) = delete;

    // Opens path for appending, creating it, and takes it for this station:
    // no other station writes it while this one has it open. A last line a
    // power cut left without its newline is ended first, so that it costs
    // only itself and the next record starts a line of its own. false with
    // the words to show: "PATH is in use by another station" (InUse()), or
    // the system's.
    bool Open(const std::string& path, std::string& error);
    // Takes an existing record for this station without writing it: what
    // keeps PATH.sent (a forwarder alone) must be the only one doing so.
    bool Hold(const std::string& path, std::string& error);
    // The last Open or Hold was refused because another station has the file.
    bool InUse() const { return inUse_; }
    bool IsOpen() const { return file_.IsOpen(); }
    // Appends the line and waits until it is on the disk; false if it is
    // not. Safe from several downloads' threads at once.
    bool Append(const std::string& line);
    // Called after each line that reached the disk (a forwarder's wake-up).
    void OnAppended(std::function<void()> appended) { appended_ = std::move(appended); }

private:
    bool Take(const std::string& path, bool append, std::string& error);
    void Close();

    COsHandle file_;
    bool inUse_ = false;
    std::mutex mutex_;
    bool unended_ = false; // an append failed part way: its line wants ending
    std::function<void()> appended_;
};

// What differs by OS (Record_posix.cpp, Record_win32.cpp), on a record's
// descriptor or HANDLE. osError: errno, GetLastError().
enum class RecordClaim { Taken, InUse, Failed };
// path opened to read and (when append) to append, creating it then; shared
// with readers. Not open, with osError, when the system refuses.
COsHandle OpenRecordFile(const std::string& path, bool append, int& osError);
// The lock every writer of a record takes, held while file is open: flock on
// POSIX; on Windows, where locks are mandatory, a range far past any data,
// so that readers of the records never meet it. A device (/dev/full) is
// nobody's record and is not locked.
RecordClaim ClaimRecordFile(intptr_t file, int& osError);
// Lets the lock go before file is closed, so that it is free at once.
void ReleaseRecordFile(intptr_t file);
// The file's last byte; -1 for an empty file, or a device, or with osError
// set when it cannot be read.
int LastRecordByte(intptr_t file, int& osError);
// Appends bytes whole and waits until they are on the disk.
bool AppendRecordBytes(intptr_t file, const std::string& bytes, int& osError);

}  // namespace zq
