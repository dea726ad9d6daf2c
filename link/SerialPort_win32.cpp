#include "link/SerialPort.h"

#include "protocol/Protocol.h"

#include <windows.h>

#include <utility>

namespace zq {

namespace {

HANDLE H(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// Never PURGE_TXCLEAR or PURGE_TXABORT: nothing written is ever thrown away.
// FlushFileBuffers does not make a transmit purge safe. Under wine it does
// not wait for the line, and a transmit flag, TXABORT alone included, drops
// at random bytes the peer has not read yet (the ACK after an echo, lost in
// 3 of 5 dialog downloads on one machine; the receive flags never lost a
// byte). USB adapters' drivers may report the flush done while the bytes
// still sit in the chip. Only what came in is emptied.
constexpr DWORD kPurgeReceiveSide = PURGE_RXABORT | PURGE_RXCLEAR;

PortError FromLastError(DWORD err)
{
    switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
        return PortError::NotFound;
    case ERROR_ACCESS_DENIED: // how Windows reports a COM port another program holds
    case ERROR_SHARING_VIOLATION:
        return PortError::Busy;
    default:
        return PortError::Io;
    }
}

// What ReadFile and WriteFile say on an open handle whose USB adapter was
// pulled out (drivers differ in which one they pick).
bool LineGone(DWORD err)
{
    switch (err) {
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_ACCESS_DENIED:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_REMOVED:
    case ERROR_OPERATION_ABORTED:
        return true;
    default:
        return false;
    }
}

HANDLE OpenPath(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

} // namespace

PortError SerialPort::OpenDevice(const std::string& name)
{
    Close();
    lost_ = false;
    osError_ = 0;
    if (name.empty() || name.find('\0') != std::string::npos || name.size() > 250)
        return PortError::BadName;
    path_ = "\\\\.\\" + name;
    HANDLE h = OpenPath(path_);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        return Refused(FromLastError(err), static_cast<int>(err));
    }
    COsHandle owned(reinterpret_cast<intptr_t>(h));
    if (GetFileType(h) != FILE_TYPE_CHAR)
        return Refused(PortError::NotSerial, 0);
    handle_ = std::move(owned);
    return PortError::None;
}

PortError SerialPort::Configure(uint32_t baud)
{
    if (!IsOpen())
        return PortError::Io;
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(H(handle_.Get()), &dcb))
        return PortError::NotSerial;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // A driver left in handshake mode by another program would stall our
    // writes waiting for a CTS or XON the device never sends.
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(H(handle_.Get()), &dcb))
        return PortError::BadSpeed;

    // Some drivers only settle the new line settings on the next open; the
    // port keeps them across the reopening.
    Close();
    HANDLE h = OpenPath(path_);
    if (h == INVALID_HANDLE_VALUE) // it opened a moment ago: not a missing or busy port
        return Refused(PortError::Io, static_cast<int>(GetLastError()));
    handle_.Reset(reinterpret_cast<intptr_t>(h));

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = zq::kReadIntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = zq::kPerByteMs;
    timeouts.ReadTotalTimeoutConstant = zq::kConstantMs;
    timeouts.WriteTotalTimeoutMultiplier = zq::kPerByteMs;
    timeouts.WriteTotalTimeoutConstant = zq::kConstantMs;
    if (!SetCommTimeouts(H(handle_.Get()), &timeouts))
        return PortError::Io;
    (void)SetupComm(H(handle_.Get()), 4096, 4096);
    // The receive side only, as in Purge(): the transmit queue may still hold
    // discovery's replies, written on the handle closed a moment ago.
    (void)PurgeComm(H(handle_.Get()), kPurgeReceiveSide);
    return PortError::None;
}

size_t SerialPort::Read(uint8_t* dst, size_t count)
{
    if (!IsOpen() || count == 0)
        return 0;
    DWORD got = 0;
    if (!ReadFile(H(handle_.Get()), dst, static_cast<DWORD>(count), &got, nullptr) && got == 0) {
        const DWORD err = GetLastError();
        if (LineGone(err))
            Lost(static_cast<int>(err));
        // A vanished adapter fails at once; spend the read's time-out as a
        // quiet line would, so the waits do not spin.
        Sleep(static_cast<DWORD>(10 * count + 50));
        return 0;
    }
    return got;
}

size_t SerialPort::Write(const uint8_t* src, size_t count)
{
    if (!IsOpen() || count == 0)
        return 0;
    DWORD written = 0;
    if (!WriteFile(H(handle_.Get()), src, static_cast<DWORD>(count), &written, nullptr)) {
        const DWORD err = GetLastError();
        if (LineGone(err))
            Lost(static_cast<int>(err));
    }
    return written;
}

void SerialPort::Purge()
{
    if (!IsOpen())
        return;
    // Let what was written leave, then forget only what came in.
    (void)FlushFileBuffers(H(handle_.Get()));
    (void)PurgeComm(H(handle_.Get()), kPurgeReceiveSide);
}

void SerialPort::Close()
{
    if (!IsOpen())
        return;
    (void)FlushFileBuffers(H(handle_.Get()));
    (void)PurgeComm(H(handle_.Get()), kPurgeReceiveSide);
    handle_.Reset();
}

uint32_t SystemTickCount()
{
    return GetTickCount();
}

void WaitLineTime(uint32_t microseconds)
{
    Sleep((microseconds + 999) / 1000);
}

void YieldBriefly()
{
    Sleep(1);
}

}  // namespace zq
