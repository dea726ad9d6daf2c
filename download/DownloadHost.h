// What the download worker needs from whoever runs it: a dialog, the command
// line, a test. The worker knows nothing else of its host.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "image/DbImage.h"
#include "image/ImageFile.h"
#include "link/SerialLink.h"

namespace zq {

// What the worker is doing, for front ends that show more than a bar.
enum class Stage {
    Searching, // the image is accepted; discovery begins
    Found,     // the device answered its beacon
    Handshake, // SYN sent at full speed
    Header,    // an attempt at the header word
    Count,     // an attempt at the block count
    Clearing,  // CLR sent, and each progress byte after it
    Sending,   // before the first block, after each ACK and each refusal
    Closing,   // every block taken; the closing END follows
};

struct StageReport {
    Stage stage = Stage::Searching;
    uint32_t blocks = 0;    // X of the image
    uint32_t done = 0;      // blocks acknowledged so far
    unsigned attempt = 0;   // Header, Count: the attempt, from 1
    uint32_t clrSteps = 0;  // progress bytes of the CLR phase so far
    uint32_t refused = 0;   // refusals in the whole download so far
    bool refusal = false;   // Sending: block `done` was just refused ...
    uint8_t refusalByte = 0; // ... with this byte,
    bool resending = false;  // ... and goes out again (false: the download fails)
    std::string port;        // the device's port, once found
    uint32_t tailBytes = 0;  // bytes past the image's last whole block: never sent
    double dataSeconds = 0;  // from the first block to the latest one acknowledged
    double bytesPerS = 0;    // the data's rate so far; 0 before the first ACK
};

// "searching", "handshake", "sending", ...: the one word for a stage.
const char* StageWord(Stage stage);

class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    // Each call returns once the front end has applied it.
    virtual void SetRange(uint32_t maximum) = 0; // minimum is 0
    virtual void SetPos(uint32_t position) = 0;
    // Called beside the positions, on the worker's thread; a front end that
    // shows only the bar need not care.
    virtual void OnStage(const StageReport& /*report*/) {}
    // Once the device is found, before the exchange: the adapter behind its
    // port as the port list described it, and its latency timer as it stands
    // now (ms; -1 unknown). A timer over kLatencyHintAboveMs costs every
    // block twice: a front end says so before the download runs.
    virtual void OnAdapter(const PortInfo& /*port*/, int /*latencyMs*/) {}
};

class NoticeSink {
public:
    virtual ~NoticeSink() = default;
    // Shows a modal notice and returns when it is dismissed.
    virtual void ShowNotice(const std::string& text) = 0;
};

// Where a download stopped. The dialog shows only its notice; the command
// line turns this into words a technician can act on.
enum class FailStep {
    None,
    ImageOpen,      // "File Open Failed"
    ImageRefused,   // Validate said no (see refusal)
    ImageRead,      // read or seek error, or the file shrank, during the download
    NoPorts,        // the system lists no serial port
    NoDevice,       // no port delivered the beacon
    PortOpen,       // the found port did not open at 115200
    NoThread,       // the system gave no thread to run the download on
    SynEcho,
    DbwReady,
    HeaderEcho,     // no reply five times, or five wrong echoes
    CountEcho,
    ClrProgress,    // silence during the CLR phase
    ClrReady,       // no RDY after END
    BlockSilent,    // no answer to a block within 1000 ms
    BlockRefused,   // five refusals in a row
    BlockWrite,     // the line took a block or its checksum only in part
    FinalAck,       // END after the blocks not answered by ACK
    Cancelled,
};

struct DownloadFailure {
    FailStep step = FailStep::None;
    uint32_t block = 0;     // the block at fault, for block steps
    uint32_t blocks = 0;    // X of the image
    uint8_t lastByte = 0;   // the unexpected byte, where one came
    bool gotByte = false;
    ImageRefusal refusal = ImageRefusal::None;
    FileError fileError = FileError::None;
    PortError portError = PortError::None; // for PortOpen
    bool lineLost = false;                  // the line was gone, not silent
    int osError = 0;                        // the OS's code behind a file or port error
    std::string port;                       // the found port, where known
    uint8_t got[3] = {0, 0, 0};             // a wrong echo as it came
    uint8_t gotCount = 0;
    uint32_t sent = 0;                      // the word whose echo was wrong
    uint32_t wrote = 0;                     // BlockWrite: bytes of the block and its checksum that went
    uint64_t imageBytes = 0;                // a refused image's length
    uint32_t header = 0;                    // and its header word
};

class DownloadHost {
public:
    virtual ~DownloadHost() = default;
    virtual std::string ImagePath() = 0;
    virtual CImageFile& ImageFile() = 0;
    virtual CSerialLink& Link() = 0;
    virtual ProgressSink& Progress() = 0;
    virtual NoticeSink& Notice() = 0;
    // Checked at every wait; a download that sees it set fails at once
    // without sending anything more.
    virtual const std::atomic<bool>* CancelFlag() { return nullptr; }
    // Called once before the failure notice, with where it stopped.
    virtual void OnFailure(const DownloadFailure& /*failure*/) {}
};

// What every host holds for the worker: the image's path, the image file,
// the link and the flag that cancels a download. It lends them to the worker
// for the length of a download and must not touch them meanwhile.
class DownloadHostBase : public DownloadHost {
public:
    std::string ImagePath() override { return imagePath_; }
    CImageFile& ImageFile() override { return imageFile_; }
    CSerialLink& Link() override { return link_; }
    const std::atomic<bool>* CancelFlag() override { return &cancel_; }

protected:
    std::string imagePath_;
    CSerialLink link_;
    CImageFile imageFile_;
    std::atomic<bool> cancel_{false};
};

// How a download ended: written, or where it stopped.
struct DownloadOutcome {
    bool success = false;
    DownloadFailure failure; // step None on success
};

// The notice a download ends with: "Success Download!", "File Open Failed"
// when the image would not open, "Fail Download!" for any other failure.
// An image that opened and then could not be read fails the download.
const char* NoticeFor(const DownloadOutcome& outcome);
const char* NoticeFor(FailStep step);

// Texts the system shows, exactly.
extern const char* const kNoticeFileOpenFailed; // "File Open Failed"
extern const char* const kNoticeSuccess;        // "Success Download!"
extern const char* const kNoticeFail;           // "Fail Download!"

// Runs one whole download on the calling thread, with the host's notice at
// its end, and says how it ended.
DownloadOutcome RunDownload(DownloadHost& host);
// The same for a dialog's worker thread; returns 0.
unsigned DownloadThreadProc(DownloadHost* host);

}  // namespace zq
