// The device's side of the download protocol, played on a pty master or on a
// serial port, with faults on demand. One CDevSim drives one line; each
// RunSession() is one download as the device sees it, from the first beacon
// to the answer to the closing END (or to whatever ended it early).
#pragma once

#include "platform/UniqueFd.h"
#include "protocol/Protocol.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zq {

namespace devsim {

enum class DevSimLineKind {
    Pty,    // a pty master: the tool sets the speed, the simulator checks it
    Serial, // a real port: the simulator sets the speed itself
};

// Where the device stops answering (and only listens until the tool goes quiet).
enum class DevSimStep { None, Syn, Dbw, Header, Count, Clr, End, Block, Final };

enum class DevSimEcho {
    Right,
    Wrong,   // the low byte inverted (for SYN: the middle letter in lower case)
    Short,   // only the first byte
    Missing, // no echo at all (not offered for SYN: use silentAt = Syn)
};

// The first `attempts` attempts of a word get `echo` instead of a right echo.
struct DevSimEchoFault {
    DevSimEcho echo = DevSimEcho::Right;
    unsigned attempts = 0;
};

// Block `block` (counting from 0) is refused `times` times before it is taken.
struct DevSimRefusal {
    unsigned block = 0;
    unsigned times = 1;
};

struct DevSimOptions {
    DevSimLineKind line = DevSimLineKind::Pty;
    // Deliver and accept bytes at the line rate (4800 or 115200 bit/s, 10 bits a byte).
    bool pace = false;
    // Take the tool's bytes off the line only this long after they arrive.
    unsigned readLagMs = 0;
    // Check the speed the tool set on the pty for every byte it sends (pty only).
    bool checkSpeed = true;
    unsigned beaconIntervalMs = 15;
    // No byte from the tool for this long, once discovery is over, ends the session.
    unsigned silenceMs = 3000;

    // Faults.
    unsigned noiseBytes = 0; // bytes other than the beacon, sent just before every beacon
    DevSimEcho synEcho = DevSimEcho::Right; // Right, Wrong or Short
    bool noRdy = false;                     // no RDY after DBW (same as silentAt = Dbw)
    DevSimEchoFault headerEcho;
    DevSimEchoFault countEcho;
    unsigned progressBytes = 0;
    unsigned progressDelayMs = 0; // before each progress byte
    uint8_t progressByte = 0x2E;  // anything but ACK
    int floodMs = 0;              // progress bytes at full speed for this long; < 0: without end
    // Or this many progress bytes at full speed: a flood of the same size
    // however fast this machine happens to be.
    unsigned floodBytes = 0;
    std::vector<DevSimRefusal> refusals;
    uint8_t refusalByte = zq::NAK; // for refused blocks and checksum errors; anything but ACK
    uint8_t finalReply = zq::ACK;  // the answer to the closing END
    DevSimStep silentAt = DevSimStep::None;
    unsigned silentBlock = 0; // with silentAt = Block
    long hangupBlock = -1;    // close the line when this block has arrived

    // Received data area is written here after each session that got any.
    std::string outFile;
    // Sessions the program runs (0: without end); RunSession itself runs one.
    int sessions = 1;
    // Bytes kept per direction in the report; beyond this they are only counted.
    size_t recordLimit = 16u << 20;
    // Called with a line for each event of the exchange, when set.
    std::function<void(const std::string&)> trace;
};

struct DevSimReport {
    bool completed = false; // the closing END arrived and was answered (with finalReply)
    bool sawBeaconReply = false;
    bool hungUp = false;
    uint16_t headerWord = 0;
    uint16_t count = 0;
    std::vector<uint8_t> data; // accepted blocks, in order
    unsigned headerAttempts = 0;
    unsigned countAttempts = 0;
    unsigned blocks = 0;     // blocks accepted
    unsigned deliveries = 0; // blocks received, resends included
    unsigned refusals = 0;   // refused by a DevSimRefusal
    unsigned checksumErrors = 0;
    unsigned progressSent = 0;
    unsigned nakReceived = 0; // NAK after an echo
    unsigned acksReceived = 0; // ACK after an echo
    std::vector<std::string> speedErrors; // the first few runs of bytes, described
    unsigned speedErrorCount = 0;         // bytes that came at a wrong speed
    // Bytes read only after the tool had changed the line's speed, so their
    // speed could not be told: a byte still in the pty when the tool reopens
    // it at another speed, as almost every run has. No fault.
    unsigned speedUnchecked = 0;
    std::vector<std::string> notes; // protocol oddities seen, and file errors
    std::vector<uint8_t> received; // every byte tool -> device (up to recordLimit)
    std::vector<uint8_t> sent;     // every byte device -> tool (up to recordLimit)
    uint64_t receivedTotal = 0;
    uint64_t sentTotal = 0;
    double seconds = 0;         // the whole session
    double exchangeSeconds = 0; // from the beacon reply to the end
    std::string endedAt;        // "completed", or why and where it ended
};

class CSimLine;

class CDevSim {
public:
    // Takes the line (and, for a pty, our own descriptor of its slave, which
    // keeps the master readable while the tool has the port closed). The
    // simulator owns both because a hang-up fault closes them.
    CDevSim(CUniqueFd line, DevSimOptions options, CUniqueFd keepOpen = CUniqueFd());
    ~CDevSim();
    CDevSim(const CDevSim&) = delete;
    CDevSim& operator=(const CDevSim&) = delete;

    DevSimReport RunSession();
    // Ends a running session promptly and every later one at once.
    // Callable from any thread and from a signal handler.
    void Stop();
    // False once the line was hung up or failed.
    bool LineOpen() const;
    const DevSimOptions& Options() const { return options_; }

private:
    std::unique_ptr<CSimLine> line_;
    DevSimOptions options_;
};

struct DevSimPty {
    CUniqueFd master;
    CUniqueFd slave;
    std::string slavePath;
};

// A pty pair with both ends raw, the master non-blocking.
bool OpenDevSimPty(DevSimPty& pty, std::string& error);
// A serial device, raw 8N1 at 4800 bit/s, held exclusively.
bool OpenDevSimSerial(const std::string& path, CUniqueFd& fd, std::string& error);

// Empty when the session received the image's header word, block count and
// data area; otherwise what differs.
std::string CompareWithImage(const DevSimReport& report, const std::vector<uint8_t>& image);
// The faults the options ask for, one description each (empty: none).
std::vector<std::string> DescribeFaults(const DevSimOptions& options);
// A few lines on what a session did; verbose adds what could not be checked.
std::string FormatSummary(const DevSimReport& report, bool verbose = false);

} // namespace devsim

}  // namespace zq
