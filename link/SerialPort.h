// One open serial device, owned. The OS-specific part of the link: one
// backend per OS (SerialPort_posix.cpp, SerialPort_win32.cpp). Reads and
// writes follow the link's time-outs: a read of n bytes returns when n bytes
// came, when more than 50 ms pass between two bytes after the first, or after
// 10 * n + 50 ms; a write of n bytes gives up after 10 * n + 50 ms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/UniqueHandle.h"

namespace zq {

enum class PortError {
    None,
    NotFound,     // no such device
    Busy,         // another program holds it
    AccessDenied, // permissions
    NotSerial,    // exists but is not a serial line (a file, /dev/null, ...)
    BadName,      // empty, or holds a NUL
    BadSpeed,     // the OS cannot set the speed asked for
    Io,           // any other failure
};

class SerialPort {
public:
    SerialPort() = default;
    // Drains and closes as Close() does.
    ~SerialPort() { Close(); }
    SerialPort(SerialPort&&) = default;
    SerialPort& operator=(SerialPort&&) = default;

    // Opens the named port for exclusive read-write access, nothing applied.
    PortError OpenDevice(const std::string& name);
    // 8N1 at baud, no flow control, the time-outs, queues emptied.
    PortError Configure(uint32_t baud);
    bool IsOpen() const { return handle_.IsOpen(); }
    // Bytes read, 0 when none came in time or the line failed.
    size_t Read(uint8_t* dst, size_t count);
    // Bytes written within the write time-out.
    size_t Write(const uint8_t* src, size_t count);
    // Waits until what was written has left, then empties the input queue.
    void Purge();
    // The OS said the line is gone (hang-up, adapter unplugged), as opposed
    // to a line that is only silent. Sticky until the next open.
    bool LineLost() const { return lost_; }
    // The OS's code (errno, GetLastError()) behind the last failed open or
    // lost line; 0 if it gave none.
    int LastOsError() const { return osError_; }
    // The same drain, then closes. Safe to call when closed.
    void Close();

private:
    PortError Refused(PortError error, int err)
    {
        osError_ = err;
        return error;
    }
    // The line is gone; err is what the OS said, if anything.
    void Lost(int err)
    {
        lost_ = true;
        if (err)
            osError_ = err;
    }

    COsHandle handle_;
    bool lost_ = false;
    int osError_ = 0;
    std::string path_; // Windows reopens the port once while configuring
};

// Milliseconds from the system's tick counter; wraps at 2^32.
uint32_t SystemTickCount();
// Gives up the processor for about a millisecond.
void YieldBriefly();
// Waits while bytes already handed to the driver are still on the line.
void WaitLineTime(uint32_t microseconds);

}  // namespace zq
