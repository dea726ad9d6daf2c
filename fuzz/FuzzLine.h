// The in-memory line behind the fuzz build's SerialPort: no OS device, a
// virtual millisecond clock, and a device model that decides every reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zq {

class FuzzLineDevice {
public:
    virtual ~FuzzLineDevice() = default;
    // False: the port cannot be opened (gone, held by someone else).
    virtual bool OnOpen(const std::string& name) = 0;
    virtual bool OnConfigure(uint32_t baud) = 0;
    // Bytes handed to the reader, 0 for a read that times out. The model may
    // move the clock forward (a late reply); a time-out moves it by the
    // read's whole time-out afterwards.
    virtual size_t OnRead(uint8_t* dst, size_t count) = 0;
    virtual void OnWrite(const uint8_t* src, size_t count) = 0;
    virtual void OnPurge() = 0;
    virtual void OnClose() = 0;
};

// The device that the next opened port talks to; nullptr detaches.
void FuzzLineAttach(FuzzLineDevice* device);
uint32_t FuzzLineNow();
void FuzzLineSetClock(uint32_t ms);
void FuzzLineAdvance(uint32_t ms);
// A read of count bytes that gets nothing lasts this long (as on the real line).
inline uint32_t FuzzLineReadTimeout(size_t count) { return static_cast<uint32_t>(10 * count + 50); }

}  // namespace zq
