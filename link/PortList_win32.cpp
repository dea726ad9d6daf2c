#include "link/PortList.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "link/Latency.h"
#include "link/UsbIds.h"

namespace zq {

namespace {

// GUID_DEVCLASS_PORTS and GUID_DEVINTERFACE_COMPORT, spelled out: the SDK
// headers define them only under <initguid.h>, whose place in the includes
// decides whether they are defined once or not at all.
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID kComPortInterface = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

// No system has that many ports or that deep a tree: a bound, so that a
// driver's odd answers cannot keep the listing going.
constexpr DWORD kMaxDevices = 4096;
constexpr int kMaxAncestors = 4;

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool StartsWithNoCase(const std::string& text, const char* prefix)
{
    const size_t n = std::strlen(prefix);
    return text.size() >= n && SameName(text.substr(0, n), prefix);
}

// A string property, or the first string of a list property (hardware ids,
// location paths); empty when the device has none.
std::string StringProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property)
{
    std::vector<BYTE> buf(512);
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD type = 0, needed = 0;
        if (SetupDiGetDeviceRegistryPropertyA(set, device, property, &type, buf.data(),
                                              static_cast<DWORD>(buf.size()), &needed)) {
            if (type != REG_SZ && type != REG_MULTI_SZ && type != REG_EXPAND_SZ)
                return {};
            const char* text = reinterpret_cast<const char*>(buf.data());
            const size_t size = needed && needed < buf.size() ? needed : buf.size();
            return std::string(text, strnlen(text, size));
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buf.size() || needed > 65536)
            return {};
        buf.resize(needed);
    }
    return {};
}

std::string InstanceId(HDEVINFO set, SP_DEVINFO_DATA* device)
{
    char id[MAX_DEVICE_ID_LEN + 1] = {};
    if (!SetupDiGetDeviceInstanceIdA(set, device, id, sizeof id, nullptr))
        return {};
    return std::string(id, strnlen(id, sizeof id));
}

// The COM name its driver gave the port, from the device's own key.
std::string PortName(HDEVINFO set, SP_DEVINFO_DATA* device)
{
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (!key || key == INVALID_HANDLE_VALUE)
        return {};
    char name[256] = {};
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    std::string port;
    if (RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ)
        port.assign(name, strnlen(name, size));
    RegCloseKey(key);
    return port;
}

// FTDI's driver keeps the chip's latency timer in the port's device key;
// -1 for every other driver. Reading needs no administrator rights.
int LatencyTimer(HDEVINFO set, SP_DEVINFO_DATA* device)
{
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (!key || key == INVALID_HANDLE_VALUE)
        return -1;
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    int ms = -1;
    if (RegQueryValueExA(key, "LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof value && value <= 255)
        ms = static_cast<int>(value);
    RegCloseKey(key);
    return ms;
}

// One device node opened by its instance id, for its properties. Parents are
// of other classes than the ports: they need a list without a class.
class CNode {
public:
    CNode(HDEVINFO list, const std::string& id) : list_(list)
    {
        data_.cbSize = sizeof data_;
        ok_ = SetupDiOpenDeviceInfoA(list_, id.c_str(), nullptr, 0, &data_) != FALSE;
    }
    bool Ok() const { return ok_; }
    std::string Property(DWORD property) { return ok_ ? StringProperty(list_, &data_, property) : std::string(); }

private:
    HDEVINFO list_;
    SP_DEVINFO_DATA data_{};
    bool ok_ = false;
};

std::string ParentId(DEVINST node, DEVINST* parent)
{
    char id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Parent(parent, node, 0) != CR_SUCCESS ||
        CM_Get_Device_IDA(*parent, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
        return {};
    return std::string(id, strnlen(id, sizeof id));
}

// Where a USB port is plugged: the location paths (the whole way from the
// root, and for a port of a composite or multi-port adapter down to its
// interface, "...#USB(4)#USBMI(2)"), else the hub and port Windows reports.
std::string Location(CNode& node)
{
    std::string location = node.Property(SPDRP_LOCATION_PATHS);
    return location.empty() ? node.Property(SPDRP_LOCATION_INFORMATION) : location;
}

// The USB details of one port device: its own ids for vendor and product,
// and up its parents the USB node that carries it (an FTDI port hangs under
// the USB device or, on a multi-port chip, under one of its interfaces;
// a CDC port is the USB device or interface itself).
void DescribeUsb(HDEVINFO set, SP_DEVINFO_DATA* device, HDEVINFO others, PortInfo& info)
{
    const std::string hardwareId = StringProperty(set, device, SPDRP_HARDWAREID);
    std::string id = InstanceId(set, device);
    if (!ParseUsbIds(hardwareId, info.vendorId, info.productId))
        ParseUsbIds(id, info.vendorId, info.productId);

    DEVINST node = device->DevInst;
    for (int depth = 0; depth < kMaxAncestors && !id.empty() && !StartsWithNoCase(id, "USB\\"); ++depth) {
        DEVINST parent = 0;
        id = ParentId(node, &parent);
        node = parent;
    }
    if (StartsWithNoCase(id, "USB\\")) {
        if (info.vendorId.empty())
            ParseUsbIds(id, info.vendorId, info.productId);
        CNode usb(others, id);
        info.location = Location(usb);
        // An interface's id ("USB\VID_0403&PID_6011&MI_02\...") carries no
        // serial number: its device's does. (A device's parent is a hub,
        // whose serial number is not the adapter's.)
        std::string deviceId = id;
        if (id.find("&MI_") != std::string::npos) {
            DEVINST parent = 0;
            deviceId = ParentId(node, &parent);
        }
        info.serialNumber = SerialFromInstanceId(deviceId);
    }
    if (!info.vendorId.empty())
        info.hardwareId = info.vendorId + ":" + info.productId;
}

// Fills in the ports of one device list that the registry listed and no
// earlier list described.
void Describe(HDEVINFO set, HDEVINFO others, std::vector<PortInfo>& ports, std::vector<bool>& described)
{
    if (set == INVALID_HANDLE_VALUE)
        return;
    for (DWORD index = 0; index < kMaxDevices; ++index) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (!SetupDiEnumDeviceInfo(set, index, &device))
            break;
        const std::string name = PortName(set, &device);
        if (name.empty())
            continue;
        for (size_t i = 0; i < ports.size(); ++i) {
            if (described[i] || !SameName(ports[i].name, name))
                continue;
            described[i] = true;
            const std::string friendly = StringProperty(set, &device, SPDRP_FRIENDLYNAME);
            if (!friendly.empty())
                ports[i].description = friendly;
            DescribeUsb(set, &device, others, ports[i]);
            ports[i].latencyMs = LatencyTimer(set, &device);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

// What the system knows of each listed port's device. Wine has no device
// nodes for its COM ports: there the registry's names stay as they are.
void DescribeDevices(std::vector<PortInfo>& ports)
{
    if (ports.empty())
        return;
    std::vector<bool> described(ports.size(), false);
    const HDEVINFO others = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    Describe(SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT), others, ports, described);
    // Some drivers put their ports in a class of their own but expose the
    // COM port interface.
    Describe(SetupDiGetClassDevsA(&kComPortInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
             others, ports, described);
    if (others != INVALID_HANDLE_VALUE)
        SetupDiDestroyDeviceInfoList(others);
}

} // namespace

// One pass over HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: each value's data is a
// port name ("COM3"), its name the driver's device ("\Device\Serial0").
std::vector<PortInfo> ListSystemPorts()
{
    std::vector<PortInfo> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return ports;
    DWORD maxName = 0, maxData = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &maxName, &maxData, nullptr, nullptr) != ERROR_SUCCESS) {
        maxName = 256;
        maxData = 256;
    }
    std::vector<char> name(maxName + 2);
    std::vector<BYTE> data(maxData + 2);
    for (DWORD index = 0;;) {
        DWORD nameLen = static_cast<DWORD>(name.size());
        DWORD dataLen = static_cast<DWORD>(data.size());
        DWORD type = 0;
        const LONG rc = RegEnumValueA(key, index, name.data(), &nameLen, nullptr, &type, data.data(),
                                      &dataLen);
        if (rc == ERROR_MORE_DATA) {
            // The list grew a longer entry while we read it.
            name.resize(name.size() * 2);
            data.resize(data.size() * 2 + dataLen);
            continue;
        }
        if (rc != ERROR_SUCCESS)
            break;
        ++index;
        if (type != REG_SZ)
            continue;
        std::string port(reinterpret_cast<const char*>(data.data()), dataLen);
        while (!port.empty() && port.back() == '\0')
            port.pop_back();
        if (port.empty())
            continue;
        ports.push_back({port, std::string(name.data(), nameLen), ""});
    }
    RegCloseKey(key);
    DescribeDevices(ports);
    return ports;
}

PortInfo DescribePort(const std::string& name)
{
    // Windows' device names are case-blind: "com3" opens COM3.
    for (PortInfo& port : ListSystemPorts()) {
        if (SameName(port.name, name)) {
            port.name = name;
            return port;
        }
    }
    return PortInfo{name};
}

int CurrentLatencyMs(const PortInfo& port) { return port.latencyMs; }

std::string LatencyTimerFix(const PortInfo& port)
{
    return "set Device Manager > Ports (COM & LPT) > the port > Port Settings > Advanced > Latency Timer to 1 ms, "
           "or " + SetLatencyCommand(port.name, 1);
}

std::string UnreadLatencyFix(const PortInfo& port)
{
    return "On Windows set Device Manager > Ports (COM & LPT) > the port > Port Settings > Advanced > Latency Timer "
           "to 1 ms, or for an FTDI adapter " + SetLatencyCommand(port.name, 1);
}

}  // namespace zq
