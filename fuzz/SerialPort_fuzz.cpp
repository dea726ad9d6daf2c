// Fuzz-only backend of SerialPort: the same interface over an in-memory line
// with a virtual clock, so a fuzzer can play the device without ptys or
// real time. Built only into the fuzz targets.
#include "link/SerialPort.h"

#include "fuzz/FuzzLine.h"

namespace zq {

namespace {
FuzzLineDevice* g_device = nullptr;
uint32_t g_clockMs = 0;
constexpr intptr_t kOpenHandle = 1;
} // namespace

void FuzzLineAttach(FuzzLineDevice* device) { g_device = device; }
uint32_t FuzzLineNow() { return g_clockMs; }
void FuzzLineSetClock(uint32_t ms) { g_clockMs = ms; }
void FuzzLineAdvance(uint32_t ms) { g_clockMs += ms; }

PortError SerialPort::OpenDevice(const std::string& name)
{
    Close();
    if (name.empty() || name.find('\0') != std::string::npos)
        return PortError::BadName;
    if (!g_device || !g_device->OnOpen(name))
        return PortError::NotFound;
    path_ = name;
    handle_.Reset(kOpenHandle);
    return PortError::None;
}

PortError SerialPort::Configure(uint32_t baud)
{
    if (!IsOpen() || !g_device)
        return PortError::Io;
    return g_device->OnConfigure(baud) ? PortError::None : PortError::BadSpeed;
}

size_t SerialPort::Read(uint8_t* dst, size_t count)
{
    if (!IsOpen() || count == 0 || !g_device)
        return 0;
    size_t got = g_device->OnRead(dst, count);
    if (got > count)
        got = count;
    if (got == 0)
        g_clockMs += FuzzLineReadTimeout(count);
    return got;
}

size_t SerialPort::Write(const uint8_t* src, size_t count)
{
    if (!IsOpen() || count == 0 || !g_device)
        return 0;
    g_device->OnWrite(src, count);
    return count;
}

void SerialPort::Purge()
{
    if (IsOpen() && g_device)
        g_device->OnPurge();
}

void SerialPort::Close()
{
    if (!IsOpen())
        return;
    if (g_device)
        g_device->OnClose();
    (void)handle_.Release(); // no OS handle behind it: nothing to close
}

uint32_t SystemTickCount() { return g_clockMs; }

void YieldBriefly() { g_clockMs += 1; }

void WaitLineTime(uint32_t microseconds) { g_clockMs += (microseconds + 999) / 1000; }

}  // namespace zq
