// Setting a USB adapter's latency timer where the system keeps it: FTDI's
// LatencyTimer in the adapter's registry key (Windows), ftdi_sio's
// latency_timer in sysfs (Linux). One backend per OS (Latency_win32.cpp,
// Latency_linux.cpp).
#pragma once

#include <string>

namespace zq {

// The timer's bounds in ms: what the chips take, and the drivers keep.
constexpr int kLatencyTimerMinMs = 1;
constexpr int kLatencyTimerMaxMs = 255;

enum class LatencyResult {
    Set,       // written (and, on Windows, the device restarted or to be replugged)
    Unchanged, // it held that value already: nothing written, nothing restarted
    NoTimer,   // the port has no adapter with such a timer (or no such port)
    Denied,    // the system refused the write: administrator or root rights needed
    Failed,    // the system refused it for another reason (osError)
};

struct LatencyChange {
    LatencyResult result = LatencyResult::Failed;
    std::string where;   // the registry key or the sysfs file that holds the timer;
                         // empty for a pseudo-terminal, which has neither
    int beforeMs = -1;   // -1: not set there (or unreadable)
    int afterMs = -1;    // read back after writing; -1 when not written
    // Windows: the driver reads the value when the device starts; false when
    // the device could not be restarted and has to be replugged.
    bool inEffect = false;
    std::string osError; // what the system said, for Failed
};

// Sets the timer of the adapter behind port to ms (kLatencyTimerMinMs ..
// kLatencyTimerMaxMs); touches nothing when it holds ms already, and no other
// adapter's setting ever.
LatencyChange SetLatencyTimer(const std::string& port, int ms);

// The command that does it for port, as this system needs it run:
// "sudo zerquill-flash --set-latency /dev/ttyUSB0 1", "from an administrator
// prompt: zerquill-flash --set-latency COM7 1".
std::string SetLatencyCommand(const std::string& port, int ms);
// The same as a tile shows it, to read rather than paste:
// "sudo zerquill-flash --set-latency /dev/ttyUSB0 1",
// "zerquill-flash --set-latency COM7 1 (as administrator)".
std::string SetLatencyCommandNamed(const std::string& port, int ms);

// How to get the rights the write needs, after "permission denied on ...".
std::string LatencyRightsAdvice(const std::string& port, int ms);

// What keeps the value for good, beyond this adapter's current plug-in;
// empty where the value set is kept already (Windows' registry).
std::string LatencyPermanence(int ms);

}  // namespace zq
