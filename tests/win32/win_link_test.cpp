// The serial link and the port list on Windows: opening ports that are not
// there or are no serial line, and the list read from the registry.
#include <gtest/gtest.h>

#include <windows.h>

#include <setupapi.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "link/PortList.h"
#include "link/SerialLink.h"

namespace zq {

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

// A list property's strings, each ended by its NUL.
std::string List(std::initializer_list<std::string> items)
{
    std::string text;
    for (const std::string& item : items)
        text += item + '\0';
    return text;
}

// A device node of the Ports class, registered in the real device tree for
// the test's lifetime, with the properties a driver would give it.
class FakePortDevice {
public:
    FakePortDevice(const std::string& instanceId, const std::string& portName)
    {
        set_ = SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
        data_.cbSize = sizeof data_;
        created_ = set_ != INVALID_HANDLE_VALUE &&
                   SetupDiCreateDeviceInfoA(set_, instanceId.c_str(), &kPortsClass, nullptr, nullptr, 0, &data_) &&
                   SetupDiRegisterDeviceInfo(set_, &data_, 0, nullptr, nullptr, nullptr);
        if (!created_)
            return;
        HKEY key = SetupDiCreateDevRegKeyA(set_, &data_, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
        if (key == INVALID_HANDLE_VALUE)
            return;
        ok_ = RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(portName.c_str()),
                             static_cast<DWORD>(portName.size() + 1)) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    ~FakePortDevice()
    {
        if (created_)
            SetupDiRemoveDevice(set_, &data_);
        if (set_ != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(set_);
    }
    bool ok() const { return ok_; }
    // text: one string, or a List(); its final NUL is added here.
    bool Set(DWORD property, const std::string& text)
    {
        return ok_ && SetupDiSetDeviceRegistryPropertyA(set_, &data_, property,
                                                        reinterpret_cast<const BYTE*>(text.c_str()),
                                                        static_cast<DWORD>(text.size() + 1));
    }

private:
    static constexpr GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA data_{};
    bool created_ = false;
    bool ok_ = false;
};

// Wine has no device nodes for its COM ports; a port listed in the registry
// whose device node the test registers is described from that node: the
// friendly name, the USB ids of a USB device, an FTDI bus device or an
// interface, the serial number only where the id carries a real one.
TEST(WinPortList, UsbDetailsComeFromThePortsDeviceNode)
{
    const std::string tag = std::to_string(GetCurrentProcessId());
    FakePortDevice cdc("USB\\VID_2341&PID_0043\\ZQ" + tag, "COM71");
    ASSERT_TRUE(cdc.ok());
    ASSERT_TRUE(cdc.Set(SPDRP_FRIENDLYNAME, "Acme Board (COM71)"));
    ASSERT_TRUE(cdc.Set(SPDRP_HARDWAREID, List({"USB\\VID_2341&PID_0043&REV_0001", "USB\\VID_2341&PID_0043"})));
    ASSERT_TRUE(cdc.Set(SPDRP_LOCATION_INFORMATION, "Port_#0004.Hub_#0003"));
    FakePortDevice ftdi("FTDIBUS\\VID_0403+PID_6001+ZQ" + tag + "A\\0000", "COM72");
    ASSERT_TRUE(ftdi.ok());
    ASSERT_TRUE(ftdi.Set(SPDRP_HARDWAREID, List({"FTDIBUS\\COMPORT&VID_0403&PID_6001"})));
    FakePortDevice channel("USB\\VID_0403&PID_6011&MI_02\\6&ZQ" + tag + "&0&0002", "COM73");
    ASSERT_TRUE(channel.ok());
    ASSERT_TRUE(channel.Set(SPDRP_LOCATION_INFORMATION, "0000.0014.0000.002.000.000.000.000.000"));

    HKEY serialComm = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSerialComm, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &serialComm, nullptr),
              ERROR_SUCCESS);
    const std::vector<std::pair<std::string, std::string>> listed = {
        {"\\Device\\ZqCdc" + tag, "COM71"},
        {"\\Device\\ZqFtdi" + tag, "COM72"},
        {"\\Device\\ZqChannel" + tag, "COM73"},
        {"\\Device\\ZqPlain" + tag, "COM74"}, // no device node
    };
    for (const auto& [value, port] : listed)
        ASSERT_EQ(RegSetValueExA(serialComm, value.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                                 static_cast<DWORD>(port.size() + 1)),
                  ERROR_SUCCESS);
    using Row = std::vector<std::string>;
    std::map<std::string, Row> ports;
    for (const PortInfo& p : ListSystemPorts())
        ports[p.name] = {p.description, p.hardwareId, p.vendorId, p.productId, p.serialNumber, p.location};
    // Called the way a user may type it: the name stays as given.
    const PortInfo described = DescribePort("com71");
    for (const auto& entry : listed)
        RegDeleteValueA(serialComm, entry.first.c_str());
    RegCloseKey(serialComm);

    EXPECT_EQ(ports["COM71"], (Row{"Acme Board (COM71)", "2341:0043", "2341", "0043", "ZQ" + tag,
                                   "Port_#0004.Hub_#0003"}));
    EXPECT_EQ(ports["COM72"], (Row{"\\Device\\ZqFtdi" + tag, "0403:6001", "0403", "6001", "", ""}));
    EXPECT_EQ(ports["COM73"], (Row{"\\Device\\ZqChannel" + tag, "0403:6011", "0403", "6011", "",
                                   "0000.0014.0000.002.000.000.000.000.000"}));
    EXPECT_EQ(ports["COM74"], (Row{"\\Device\\ZqPlain" + tag, "", "", "", "", ""}));
    EXPECT_EQ(described.name, "com71");
    EXPECT_EQ(described.serialNumber, "ZQ" + tag);
    EXPECT_EQ(DescribePort("COM79").description, "");
}

} // namespace

}  // namespace zq
