// The tool's only access to the serial hardware: one port at a time, opened
// by name at a speed with 8N1, read and written under time-outs, and the
// search for the device's port by its beacon.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/PortList.h"
#include "protocol/Protocol.h"
#include "link/SerialPort.h"

namespace zq {

enum LinkStatus : int {
    LINK_OK = 1,
    LINK_READ_EMPTY = 3,
    LINK_WRITE_FAILED = 4,
    LINK_UNAVAILABLE = 5,
    LINK_NO_PORTS = 6,
    LINK_NO_BAUD = 7,
};

using zq::BEACON_REPLY;
using zq::DEVICE_BEACON;
constexpr size_t kLinkMaxBlock = 132;

// Sees every byte that crosses the link, for traces and tests.
class LinkObserver {
public:
    virtual ~LinkObserver() = default;
    virtual void OnOpen(const std::string& /*name*/, uint32_t /*baud*/, LinkStatus /*result*/) {}
    virtual void OnClose() {}
    virtual void OnWrite(const uint8_t* /*bytes*/, size_t /*count*/) {}
    virtual void OnRead(const uint8_t* /*bytes*/, size_t /*count*/) {}
};

// How one port fared during the last discovery.
struct ProbeResult {
    std::string port;
    PortError openError = PortError::None; // None: it opened
    int osError = 0;                        // what the OS said, when it did not
    unsigned bytesHeard = 0;                // bytes other than the beacon
    bool beacon = false;
};

using PortSource = std::function<std::vector<PortInfo>()>;
using TickSource = uint32_t (*)();

class CSerialLink {
public:
    CSerialLink();
    virtual ~CSerialLink();
    CSerialLink(const CSerialLink&) = delete;
    CSerialLink& operator=(const CSerialLink&) = delete;

    LinkStatus Open(const std::string& name, uint32_t baud);
    void Close();
    void Purge();
    LinkStatus ReadByte(uint8_t* dst);
    LinkStatus ReadBlock(uint8_t* dst, size_t count);
    LinkStatus WriteByte(uint8_t value);
    // LINK_OK only when all count bytes went; a short write is a failure,
    // with what did go in *written. (A byte count beside the status codes
    // would make a 4-byte write read as LINK_WRITE_FAILED.)
    LinkStatus WriteBlock(const uint8_t* src, size_t count, size_t* written = nullptr);
    bool WaitByte(uint32_t timeoutMs, uint8_t* dst);
    bool WaitBlock(uint32_t timeoutMs, uint8_t* dst, size_t count);
    // As WaitBlock, but bytes equal to `stray` that come ahead of every other
    // byte are dropped, and it waits until count bytes came or the time is
    // up: true when any byte other than a leading stray came.
    bool WaitBlockAfter(uint32_t timeoutMs, uint8_t* dst, size_t count, uint8_t stray);
    LinkStatus FindDevice(uint8_t beacon, uint32_t baud);
    // Listens on every listed port at once for one discovery window: how
    // each port fared, beacon set on every port that beaconed. The first
    // `answer` of those, in list order, get the reply a discovery gives, so
    // their devices wait for the exchange; nothing is written to any other.
    // Every port is closed again.
    std::vector<ProbeResult> Scan(uint8_t beacon, uint32_t baud, size_t answer = 0);
    // The open port's device beaconed: the reply, then the port is closed,
    // as discovery leaves a found port.
    void AnswerBeacon();
    // A device someone else found and answered on this port: the next
    // FindDevice takes it as found at once, without listening, so the
    // device meets the exchange after the beacon that was heard.
    void HandOver(const PortInfo& port);

    const std::string& FoundPort() const { return foundPort_; }
    // The found port as the port list described it.
    const PortInfo& FoundPortInfo() const { return foundInfo_; }
    bool IsOpen() const { return port_.IsOpen(); }
    // The system reported the open port's line gone (unplugged, hung up);
    // the waits still run to their deadline, as on a silent line.
    bool LineLost() const { return port_.IsOpen() && port_.LineLost(); }

    // Seams: where the port list comes from (the system's by default), who
    // watches the bytes, a cancel request that ends every wait, the clock.
    void SetPortSource(PortSource source);
    void SetObserver(LinkObserver* observer) { observer_ = observer; }
    void SetCancelFlag(const std::atomic<bool>* cancel) { cancel_ = cancel; }
    void SetTickSource(TickSource tick) { tick_ = tick ? tick : SystemTickCount; }

    // Why the last Open failed, and how each port fared in the last
    // FindDevice: detail for front ends that show it.
    PortError LastOpenError() const { return lastOpenError_; }
    // What the OS said when that Open failed (errno, GetLastError()); 0 if nothing.
    int LastOpenOsError() const { return lastOpenOsError_; }
    const std::vector<ProbeResult>& LastDiscovery() const { return discovery_; }
    bool Cancelled() const { return cancel_ && cancel_->load(std::memory_order_relaxed); }

private:
    SerialPort port_;
    std::string foundPort_;
    PortInfo foundInfo_;
    PortSource portSource_;
    LinkObserver* observer_ = nullptr;
    const std::atomic<bool>* cancel_ = nullptr;
    TickSource tick_ = SystemTickCount;
    PortError lastOpenError_ = PortError::None;
    int lastOpenOsError_ = 0;
    std::vector<ProbeResult> discovery_;
    bool handedOver_ = false;
    uint32_t baud_ = 0;
    // When the last byte written will have left the line, at the open
    // speed: bytes written back to back queue up behind each other, bytes
    // written after a pause (a block after its ACK) start afresh.
    std::chrono::steady_clock::time_point lineFreeAt_{};

    void CountWritten(size_t count);
    // Bytes read in one driver read, 0 when none came; the observer sees them.
    size_t ReadSome(uint8_t* dst, size_t count);

    struct Listener;
    void Listen(Listener& listener, uint8_t beacon) const;
    // Opens every port at baud and listens on all of them for one window;
    // winner: the first port in list order that heard the beacon, or the
    // count when none did.
    std::vector<std::unique_ptr<Listener>> ListenTogether(const std::vector<PortInfo>& ports, uint8_t beacon,
                                                          uint32_t baud, bool firstWins, size_t& winner);
};

}  // namespace zq
