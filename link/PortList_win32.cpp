#include "PortList.h"

#include <windows.h>

#include <vector>

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
    return ports;
}
