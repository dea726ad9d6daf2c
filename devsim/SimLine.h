// The simulator's end of the line: a pty master or a serial device, read and
// written without blocking, optionally at the pace of a real 8N1 line, with a
// stop channel that any thread (or a signal handler) can trigger.
#pragma once

#include "protocol/Protocol.h"
#include "platform/UniqueFd.h"

#include <termios.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace zq {

namespace devsim {

// Monotonic time in nanoseconds (CLOCK_MONOTONIC).
int64_t NowNs();
constexpr int64_t kNsPerMs = 1000000;

// Which of the device's two speeds is in use.
enum class LineRate { Discovery, Exchange };
constexpr unsigned kDiscoveryBaud = zq::kProbeBaud;
constexpr unsigned kExchangeBaud = zq::kDownloadBaud;

// What one session put on the line and took from it.
struct LineLog {
    std::vector<uint8_t> received;
    std::vector<uint8_t> sent;
    uint64_t receivedTotal = 0;
    uint64_t sentTotal = 0;
    std::vector<std::string> speedErrors;
    unsigned speedErrorCount = 0; // bytes
    unsigned speedUnsure = 0; // bytes whose speed could not be told
};

enum class Got { Byte, Timeout, Stopped, Closed };

class CSimLine {
public:
    // serialDevice: the line is a real port, whose speed this side must set
    // itself; otherwise it is a pty master, whose speed the tool sets and we
    // only check. keepOpen is our own descriptor of the pty slave, if any.
    CSimLine(CUniqueFd line, CUniqueFd keepOpen, bool serialDevice);
    // Gives the tool a moment to read our last bytes before the line closes.
    ~CSimLine();
    CSimLine(const CSimLine&) = delete;
    CSimLine& operator=(const CSimLine&) = delete;

    bool IsOpen() const { return line_.IsOpen(); }
    const std::string& LastError() const { return lastError_; }

    // Sticky: once stopped, every wait returns Got::Stopped at once.
    // Async-signal-safe.
    void Stop();
    bool Stopped() const { return stopped_.load(); }

    void SetPace(bool pace) { pace_ = pace; }
    // Bytes from the tool are taken off the line only this long after they
    // could first be read, as by a device busy elsewhere.
    void SetReadLag(int64_t ns) { readLagNs_ = ns; }
    void SetSpeedCheck(bool check) { checkSpeed_ = check; }
    void SetRecordLimit(size_t limit) { recordLimit_ = limit; }
    // Names the step for speed-error messages.
    void SetStep(const std::string& step) { step_ = step; }
    // On a serial device this also reprograms the port (after draining).
    bool SetRate(LineRate rate);
    LineRate Rate() const { return rate_; }

    // Starts a new session: forgets queued input and the log.
    void BeginSession();
    LineLog TakeLog();

    // Next byte from the tool, waiting until deadline (NowNs() scale).
    Got Get(uint8_t& b, int64_t deadline);
    // The next n bytes, as n calls of Get, each with a deadline silenceNs
    // after the one before returned, would give them; but a byte already
    // queued is taken as soon as the one before it is due instead of being
    // woken for, and the call returns once the last one is due. A paced line
    // otherwise wakes the simulator for every byte of a block, which costs a
    // quarter of a core per line.
    Got GetMany(uint8_t* out, size_t n, int64_t silenceNs);
    // Takes in what the tool has written by now and returns every byte
    // waiting, due or not; the time the last one is due, or 0.
    int64_t Queued(std::vector<uint8_t>& bytes);
    // Puts a byte back in front of the input, to be read again at once.
    void Unget(uint8_t b);
    // Keeps taking in (and timestamping) input without consuming it;
    // Got::Timeout when the deadline came.
    Got WaitUntil(int64_t deadline);

    // Writes all bytes, waiting for room until deadline.
    Got Put(const uint8_t* data, size_t n, int64_t deadline);
    Got Put(const std::vector<uint8_t>& bytes, int64_t deadline) { return Put(bytes.data(), bytes.size(), deadline); }
    // One byte if there is room now; a full buffer drops it, as a beacon
    // nobody listens to is lost on a real line.
    Got PutIfRoom(uint8_t b);

    // Throws away what we wrote and the tool has not read yet.
    void DropPendingOutput();
    // Waits (until deadline) for the tool to read what we sent.
    void LetToolTake(int64_t deadline);
    // Closes the line (and our slave descriptor): the tool sees a hang-up.
    void HangUp();

private:
    // Stopped or Closed where the line can no longer be waited on; Byte: go on.
    Got Halted() const { return stopped_.load() ? Got::Stopped : !line_ ? Got::Closed : Got::Byte; }

    struct Pending {
        uint8_t b;
        int64_t at;
        speed_t speed;  // the tool's speed when we read the byte
        speed_t before; // its speed when the line was last seen empty, before the byte came
        bool reopened;  // read right after the tool flushed (closed or opened) its port
        bool checked;
    };
    // Consecutive bytes of one step that came at the same wrong speed.
    struct SpeedRun {
        std::string step;
        speed_t actual;
        LineRate expected;
        std::vector<uint8_t> bytes; // the first few
        unsigned count;
    };

    int64_t ByteNs() const;
    // The speed the tool set on the pty (the step's own on a serial device).
    speed_t ToolSpeed() const;
    void NoteQuietSpeed();
    // Reads whatever is there now; false when the line failed.
    bool TakeIn();
    // Waits for input (or room to write, when forWrite) or stop until deadline.
    Got Poll(int64_t deadline, bool forWrite);
    // TakeIn() once the read lag has passed.
    bool TakeInLate();
    void CheckSpeed(const Pending& p);
    void Record(std::vector<uint8_t>& log, uint64_t& total, const uint8_t* data, size_t n) const;
    Got WriteSome(const uint8_t* data, size_t n, size_t& done);
    Got Fail(const char* what, int err);
    void SleepUntil(int64_t t);

    CUniqueFd line_;
    CUniqueFd keepOpen_;
    CUniqueFd stopRead_;
    CUniqueFd stopWrite_;
    std::atomic<bool> stopped_{false};
    bool serialDevice_;
    bool pace_ = false;
    int64_t readLagNs_ = 0;
    bool checkSpeed_ = true;
    bool peerAbsent_ = false;
    bool packetMode_ = false;
    bool ownFlush_ = false;
    speed_t quietSpeed_ = B0; // the tool's speed when a read last found nothing
    size_t recordLimit_ = 16u << 20;
    LineRate rate_ = LineRate::Discovery;
    std::string step_ = "discovery";
    std::string lastError_;
    std::deque<Pending> input_;
    int64_t rxSlot_ = 0;
    int64_t txSlot_ = 0;
    int64_t lastWrite_ = 0;
    LineLog log_;
    std::vector<SpeedRun> speedRuns_;
};

// Opens a serial device for the simulator: raw 8N1, no flow control, at the
// discovery speed, exclusively.
bool OpenSerialLine(const std::string& path, CUniqueFd& fd, std::string& error);

} // namespace devsim

}  // namespace zq
