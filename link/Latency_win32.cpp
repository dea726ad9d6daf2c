#include "link/Latency.h"

#include <windows.h>

#include <setupapi.h>

#include <cstring>
#include <vector>

#include "platform/OsError.h"
#include "platform/UniqueHandle.h"

namespace zq {

namespace {

using CRegKey = CUniquePointer<HKEY, RegCloseKey>;

struct DevInfoTraits {
    using Value = HDEVINFO;
    static inline const HDEVINFO kInvalid = INVALID_HANDLE_VALUE;
    static void Close(HDEVINFO set) { SetupDiDestroyDeviceInfoList(set); }
};
using CDevInfoList = CUniqueHandle<DevInfoTraits>;

// FTDI's driver enumerates its ports on a bus of its own: one key per chip
// (VID_0403+PID_6001+<serial>, with "A"/"B"... after the serial for each
// port of a multi-port chip), one instance below it, and in the instance's
// Device Parameters the COM name and the timer.
const char kFtdiBus[] = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";
const char kParameters[] = "\\Device Parameters";
// No system has that many adapters: a bound on a registry that odd drivers filled.
constexpr DWORD kMaxKeys = 4096;

CRegKey OpenKey(HKEY parent, const std::string& path, REGSAM access, LONG* rc = nullptr)
{
    HKEY key = nullptr;
    const LONG status = RegOpenKeyExA(parent, path.c_str(), 0, access, &key);
    if (rc)
        *rc = status;
    return CRegKey(status == ERROR_SUCCESS ? key : nullptr);
}

std::vector<std::string> SubKeys(HKEY key)
{
    std::vector<std::string> names;
    for (DWORD i = 0; i < kMaxKeys; ++i) {
        char name[256];
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, size);
    }
    return names;
}

std::string PortName(HKEY key)
{
    char name[256] = {};
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return std::string(name, strnlen(name, size));
}

// -1 where the value is missing or no timer the chip takes.
int LatencyValue(HKEY key)
{
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    if (RegQueryValueExA(key, "LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value || value > static_cast<DWORD>(kLatencyTimerMaxMs))
        return -1;
    return static_cast<int>(value);
}

// The adapter whose Device Parameters name the port, as its instance below
// FTDIBUS ("VID_0403+PID_6001+A1B2C3\0000"); empty when none does.
std::string FindAdapter(const std::string& port)
{
    const CRegKey bus = OpenKey(HKEY_LOCAL_MACHINE, kFtdiBus, KEY_ENUMERATE_SUB_KEYS);
    if (!bus)
        return {};
    for (const std::string& chip : SubKeys(bus.Get())) {
        const CRegKey instances = OpenKey(bus.Get(), chip, KEY_ENUMERATE_SUB_KEYS);
        if (!instances)
            continue;
        for (const std::string& instance : SubKeys(instances.Get())) {
            const std::string id = chip + "\\" + instance;
            const CRegKey parameters = OpenKey(bus.Get(), id + kParameters, KEY_QUERY_VALUE);
            // Windows' device names are case-blind: "com7" opens COM7.
            if (parameters && _stricmp(PortName(parameters.Get()).c_str(), port.c_str()) == 0)
                return id;
        }
    }
    return {};
}

// The driver reads the timer when its device starts: a property change
// restarts the device. False where Windows could not (no such device
// present, or one it would restart only at the next boot, say while a
// program holds the port).
bool RestartDevice(const std::string& instanceId)
{
    const CDevInfoList set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (!set)
        return false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiOpenDeviceInfoA(set.Get(), instanceId.c_str(), nullptr, 0, &device))
        return false;
    SP_PROPCHANGE_PARAMS change{};
    change.ClassInstallHeader.cbSize = sizeof change.ClassInstallHeader;
    change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    change.StateChange = DICS_PROPCHANGE;
    change.Scope = DICS_FLAG_GLOBAL;
    change.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsA(set.Get(), &device, &change.ClassInstallHeader, sizeof change) ||
        !SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set.Get(), &device))
        return false;
    SP_DEVINSTALL_PARAMS_A install{};
    install.cbSize = sizeof install;
    return SetupDiGetDeviceInstallParamsA(set.Get(), &device, &install) &&
           !(install.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART));
}

void Refused(LatencyChange& change, LONG rc)
{
    change.result = rc == ERROR_ACCESS_DENIED ? LatencyResult::Denied : LatencyResult::Failed;
    change.osError = OsErrorText(static_cast<int>(rc));
}

} // namespace

// Reading needs no rights: a port that holds the value already is told so
// from any prompt.
LatencyChange SetLatencyTimer(const std::string& port, int ms)
{
    LatencyChange change;
    const std::string name = port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port;
    const std::string id = FindAdapter(name);
    if (id.empty()) {
        change.where = std::string("HKLM\\") + kFtdiBus;
        change.result = LatencyResult::NoTimer;
        return change;
    }
    const std::string path = std::string(kFtdiBus) + "\\" + id + kParameters;
    change.where = "HKLM\\" + path;
    LONG rc = 0;
    const CRegKey reader = OpenKey(HKEY_LOCAL_MACHINE, path, KEY_QUERY_VALUE, &rc);
    if (!reader) {
        Refused(change, rc);
        return change;
    }
    change.beforeMs = LatencyValue(reader.Get());
    change.inEffect = true;
    if (change.beforeMs == ms) {
        change.afterMs = ms;
        change.result = LatencyResult::Unchanged;
        return change;
    }
    change.inEffect = false;
    const CRegKey writer = OpenKey(HKEY_LOCAL_MACHINE, path, KEY_QUERY_VALUE | KEY_SET_VALUE, &rc);
    if (!writer) {
        Refused(change, rc);
        return change;
    }
    const DWORD value = static_cast<DWORD>(ms);
    rc = RegSetValueExA(writer.Get(), "LatencyTimer", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof value);
    if (rc != ERROR_SUCCESS) {
        Refused(change, rc);
        return change;
    }
    change.afterMs = LatencyValue(writer.Get());
    change.inEffect = RestartDevice("FTDIBUS\\" + id);
    change.result = LatencyResult::Set;
    return change;
}

std::string SetLatencyCommand(const std::string& port, int ms)
{
    return "from an administrator prompt: zerquill-flash --set-latency " + port + " " + std::to_string(ms);
}

std::string SetLatencyCommandNamed(const std::string& port, int ms)
{
    return "zerquill-flash --set-latency " + port + " " + std::to_string(ms) + " (as administrator)";
}

std::string LatencyRightsAdvice(const std::string&, int)
{
    return "run it from an administrator prompt (Command Prompt > Run as administrator)";
}

std::string LatencyPermanence(int) { return {}; }

}  // namespace zq
