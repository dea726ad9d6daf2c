// The serial link and the port list on Windows: opening ports that are not
// there or are no serial line, and the list read from the registry.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "PortList.h"
#include "SerialLink.h"

namespace {

const char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

TEST(WinSerialLink, MissingPortIsUnavailableAndLeavesTheLinkClosed)
{
    CSerialLink link;
    EXPECT_EQ(link.Open("COM97", 115200), LINK_UNAVAILABLE);
    EXPECT_EQ(link.LastOpenError(), PortError::NotFound);
    EXPECT_FALSE(link.IsOpen());

    uint8_t b = 0x55;
    EXPECT_EQ(link.ReadByte(&b), LINK_UNAVAILABLE);
    EXPECT_EQ(link.WriteByte(0x01), LINK_UNAVAILABLE);
    EXPECT_EQ(link.WriteBlock(&b, 1), LINK_UNAVAILABLE);
    EXPECT_EQ(b, 0x55);
    link.Close();
    link.Close();
}

TEST(WinSerialLink, NoBaudIsReportedBeforeTheMissingPort)
{
    CSerialLink link;
    EXPECT_EQ(link.Open("COM97", 0), LINK_NO_BAUD);
    EXPECT_FALSE(link.IsOpen());
}

TEST(WinSerialLink, BadNamesNeverReachTheSystem)
{
    CSerialLink link;
    EXPECT_EQ(link.Open("", 115200), LINK_UNAVAILABLE);
    EXPECT_EQ(link.LastOpenError(), PortError::BadName);
    EXPECT_EQ(link.Open(std::string("COM1\0X", 6), 115200), LINK_UNAVAILABLE);
    EXPECT_EQ(link.LastOpenError(), PortError::BadName);
}

TEST(WinSerialLink, DeviceThatIsNoSerialLineIsRefused)
{
    // \\.\NUL opens as a character device but has no line settings.
    CSerialLink link;
    EXPECT_EQ(link.Open("NUL", 115200), LINK_UNAVAILABLE);
    EXPECT_EQ(link.LastOpenError(), PortError::NotSerial);
    EXPECT_FALSE(link.IsOpen());
}

TEST(WinSerialLink, ClosedWaitsHonourTheirDeadline)
{
    CSerialLink link;
    uint8_t dst[3] = {1, 2, 3};
    const DWORD start = GetTickCount();
    EXPECT_FALSE(link.WaitBlock(150, dst, 3));
    const DWORD spent = GetTickCount() - start;
    EXPECT_GE(spent, 140u);
    EXPECT_LT(spent, 2000u);
    EXPECT_EQ(dst[2], 3);
    EXPECT_FALSE(link.WaitByte(0, dst));
}

// Sets HKEY_LOCAL_MACHINE of this process to a scratch key under the
// current user for the lifetime of the object, so the list can be filled
// with whatever a test needs without touching the machine's ports.
class ScratchMachineKey {
public:
    ScratchMachineKey()
    {
        root_ = "Software\\ZerquillTests\\" + std::to_string(GetCurrentProcessId());
        HKEY base = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, root_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &base,
                            nullptr) != ERROR_SUCCESS)
            return;
        ok_ = RegCreateKeyExA(base, kSerialComm, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &serialComm_, nullptr) ==
                  ERROR_SUCCESS &&
              RegOverridePredefKey(HKEY_LOCAL_MACHINE, base) == ERROR_SUCCESS;
        RegCloseKey(base);
    }
    ~ScratchMachineKey()
    {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        if (serialComm_)
            RegCloseKey(serialComm_);
        RegDeleteTreeA(HKEY_CURRENT_USER, root_.c_str());
    }
    bool ok() const { return ok_; }
    bool Remove()
    {
        RegCloseKey(serialComm_);
        serialComm_ = nullptr;
        return RegDeleteKeyA(HKEY_CURRENT_USER, (root_ + "\\" + kSerialComm).c_str()) == ERROR_SUCCESS;
    }
    bool Set(const std::string& name, DWORD type, const void* data, size_t size)
    {
        return RegSetValueExA(serialComm_, name.c_str(), 0, type, static_cast<const BYTE*>(data),
                              static_cast<DWORD>(size)) == ERROR_SUCCESS;
    }
    bool SetString(const std::string& name, const std::string& value)
    {
        return Set(name, REG_SZ, value.c_str(), value.size() + 1);
    }

private:
    std::string root_;
    HKEY serialComm_ = nullptr;
    bool ok_ = false;
};

TEST(WinPortList, EveryStringValueIsAPortInRegistryOrder)
{
    ScratchMachineKey key;
    ASSERT_TRUE(key.ok());
    // More ports than the classic table held, and names longer than it allowed.
    std::vector<std::pair<std::string, std::string>> expected;
    for (int i = 0; i < 30; ++i)
        expected.push_back({"\\Device\\Serial" + std::to_string(i), "COM" + std::to_string(i + 1)});
    expected.push_back({"\\Device\\" + std::string(300, 'd'), "COM" + std::string(290, '7')});
    for (const auto& [name, port] : expected)
        ASSERT_TRUE(key.SetString(name, port));
    const DWORD number = 42;
    ASSERT_TRUE(key.Set("\\Device\\NotAName", REG_DWORD, &number, sizeof number));
    // Stored without its terminating NUL, as some drivers write it.
    ASSERT_TRUE(key.Set("\\Device\\Unterminated", REG_SZ, "COM88", 5));
    expected.push_back({"\\Device\\Unterminated", "COM88"});

    // The order is the registry's own (wine sorts by value name, Windows
    // mostly keeps the order of writing): compare the lists as sets.
    std::vector<std::pair<std::string, std::string>> listed;
    for (const PortInfo& p : ListSystemPorts()) {
        listed.push_back({p.description, p.name});
        EXPECT_TRUE(p.hardwareId.empty());
    }
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
}

TEST(WinPortList, MissingKeyIsAnEmptyList)
{
    ScratchMachineKey key;
    ASSERT_TRUE(key.ok());
    ASSERT_TRUE(key.Remove());
    EXPECT_TRUE(ListSystemPorts().empty());

    CSerialLink link;
    EXPECT_EQ(link.FindDevice(DEVICE_BEACON, 4800), LINK_NO_PORTS);
}

TEST(WinPortList, DiscoverySkipsListedPortsThatDoNotOpen)
{
    ScratchMachineKey key;
    ASSERT_TRUE(key.ok());
    ASSERT_TRUE(key.SetString("\\Device\\Serial0", "COM97"));
    ASSERT_TRUE(key.SetString("\\Device\\Serial1", "NUL"));
    CSerialLink link;
    EXPECT_EQ(link.FindDevice(DEVICE_BEACON, 4800), LINK_UNAVAILABLE);
    ASSERT_EQ(link.LastDiscovery().size(), 2u);
    EXPECT_EQ(link.LastDiscovery()[0].openError, PortError::NotFound);
    EXPECT_EQ(link.LastDiscovery()[1].openError, PortError::NotSerial);
    EXPECT_FALSE(link.IsOpen());
}

TEST(WinPortList, PortsTheSystemListsAreSeen)
{
    // The machine's own list, read through the real key. A value added to it
    // shows up in the next listing and is gone once removed.
    HKEY serialComm = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSerialComm, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &serialComm, nullptr),
              ERROR_SUCCESS);
    const std::string valueName = "\\Device\\ZqTest" + std::to_string(GetCurrentProcessId());
    const char port[] = "COM96";
    ASSERT_EQ(RegSetValueExA(serialComm, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                             sizeof port),
              ERROR_SUCCESS);
    auto listed = [&] {
        for (const PortInfo& p : ListSystemPorts())
            if (p.name == port && p.description == valueName)
                return true;
        return false;
    };
    EXPECT_TRUE(listed());
    RegDeleteValueA(serialComm, valueName.c_str());
    RegCloseKey(serialComm);
    EXPECT_FALSE(listed());
}

} // namespace
