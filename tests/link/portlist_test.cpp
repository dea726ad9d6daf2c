#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include "link/SysfsPorts.h"
#include "tests/TempDir.h"
#include "link/UsbIds.h"

namespace zq {

namespace {

void MkDirs(const std::string& path)
{
    ASSERT_EQ(std::system(("mkdir -p '" + path + "'").c_str()), 0);
}

void Link(const std::string& target, const std::string& at)
{
    ASSERT_EQ(::symlink(target.c_str(), at.c_str()), 0) << at;
}

void Put(const std::string& path, const std::string& text)
{
    WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// Where a USB adapter's tty sits: the USB device, named by its bus and
// hub ports ("1-1.4"), its interface number, and for a usb-serial
// driver the port's number on that interface. Empty texts: not there.
struct UsbAt {
    std::string device;
    int interface = 0;
    std::string serial;
    std::string portNumber;
};

class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = dir.path();
        MkDirs(root + "/class/tty");
        MkDirs(root + "/bus/usb-serial/drivers/ftdi_sio");
        MkDirs(root + "/bus/usb/drivers/cdc_acm");
        MkDirs(root + "/bus/platform/drivers/serial8250");
        MkDirs(root + "/bus/amba/drivers/uart-pl011");
    }
    // A USB adapter: the USB device carries the ids, its interface the tty.
    void Usb(const std::string& tty, const std::string& driver, const std::string& bus, bool viaInterfaceChild,
             UsbAt at = {})
    {
        if (at.device.empty())
            at.device = "1-" + tty;
        const std::string usbdev = root + "/devices/pci0/usb1/" + at.device;
        const std::string iface = usbdev + "/" + at.device + ":1." + std::to_string(at.interface);
        const std::string dev = viaInterfaceChild ? iface + "/" + tty : iface;
        MkDirs(dev);
        Put(usbdev + "/idVendor", "0403\n");
        Put(usbdev + "/idProduct", "6001\n");
        Put(usbdev + "/manufacturer", "Acme\n");
        Put(usbdev + "/product", "USB Serial\n");
        if (!at.serial.empty())
            Put(usbdev + "/serial", at.serial + "\n");
        if (!at.portNumber.empty())
            Put(dev + "/port_number", at.portNumber + "\n");
        Link(root + "/bus/" + bus + "/drivers/" + driver, dev + "/driver");
        Entry(tty, dev);
    }
    void Platform(const std::string& tty, const std::string& driver, const std::string& bus)
    {
        const std::string dev = root + "/devices/platform/" + driver + "." + tty;
        MkDirs(dev);
        Link(root + "/bus/" + bus + "/drivers/" + driver, dev + "/driver");
        Entry(tty, dev);
    }
    // Since Linux 6.5: the tty below a "port" and a "ctrl" device of the
    // serial-base bus, below the UART's own device (here a PnP one).
    void SerialBase(const std::string& tty, const std::string& driver)
    {
        const std::string uart = root + "/devices/pnp0/00:0" + tty.back();
        const std::string port = uart + "/00:0" + tty.back() + ":0/00:0" + tty.back() + ":0.0";
        MkDirs(port);
        MkDirs(root + "/bus/serial-base/drivers/port");
        MkDirs(root + "/bus/serial-base/drivers/ctrl");
        MkDirs(root + "/bus/pnp/drivers/" + driver);
        Link(root + "/bus/serial-base/drivers/port", port + "/driver");
        Link(root + "/bus/serial-base", port + "/subsystem");
        Link(root + "/bus/serial-base/drivers/ctrl", Parent(port) + "/driver");
        Link(root + "/bus/serial-base", Parent(port) + "/subsystem");
        Link(root + "/bus/pnp/drivers/" + driver, uart + "/driver");
        Link(root + "/bus/pnp", uart + "/subsystem");
        Entry(tty, port);
    }
    static std::string Parent(const std::string& path) { return path.substr(0, path.find_last_of('/')); }
    void Virtual(const std::string& tty)
    {
        MkDirs(root + "/devices/virtual/tty/" + tty);
        Link(root + "/devices/virtual/tty/" + tty, root + "/class/tty/" + tty);
    }
    void Entry(const std::string& tty, const std::string& dev)
    {
        const std::string entry = root + "/devices/ttys/" + tty;
        MkDirs(entry);
        Link(dev, entry + "/device");
        Link(entry, root + "/class/tty/" + tty);
    }
    std::vector<std::string> Names(const UartProbe& probe)
    {
        std::vector<std::string> out;
        for (const auto& p : ListSysfsPorts(root, "/dev", probe))
            out.push_back(p.name);
        return out;
    }
    TempDir dir;
    std::string root;
};

TEST_F(FakeSysfs, RealPortsInNaturalOrder)
{
    Usb("ttyUSB10", "ftdi_sio", "usb-serial", true);
    Usb("ttyUSB2", "ftdi_sio", "usb-serial", true);
    Usb("ttyACM0", "cdc_acm", "usb", false);
    Platform("ttyS0", "serial8250", "platform");
    Platform("ttyS1", "serial8250", "platform");
    Platform("ttyAMA0", "uart-pl011", "amba");
    SerialBase("ttyS4", "serial");
    Virtual("tty0");
    Virtual("tty12");
    Virtual("ptmx");

    // Only ttyS1 has a UART behind it.
    const auto probe = [](const std::string& dev) { return dev == "/dev/ttyS1"; };
    EXPECT_EQ(Names(probe), (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyAMA0", "/dev/ttyS1", "/dev/ttyS4",
                                                      "/dev/ttyUSB2", "/dev/ttyUSB10"}));

    const auto ports = ListSysfsPorts(root, "/dev", probe);
    const auto usb = std::find_if(ports.begin(), ports.end(),
                                  [](const PortInfo& p) { return p.name == "/dev/ttyUSB2"; });
    ASSERT_NE(usb, ports.end());
    EXPECT_EQ(usb->hardwareId, "0403:6001");
    EXPECT_EQ(usb->description, "Acme USB Serial");
    const auto acm = std::find_if(ports.begin(), ports.end(),
                                  [](const PortInfo& p) { return p.name == "/dev/ttyACM0"; });
    ASSERT_NE(acm, ports.end());
    EXPECT_EQ(acm->hardwareId, "0403:6001");
    // Named for a person, not by the serial-base bus's "port" driver.
    const auto base = std::find_if(ports.begin(), ports.end(),
                                   [](const PortInfo& p) { return p.name == "/dev/ttyS4"; });
    ASSERT_NE(base, ports.end());
    EXPECT_EQ(base->description, "built-in serial port (8250 UART)");
}

// What a technician needs to find the adapter again: its serial number and
// the hub slot, distinct for every port of a multi-port adapter; and a port
// named through udev's links is the port they lead to.
TEST_F(FakeSysfs, UsbSerialNumberAndLocation)
{
    // A single adapter, bus 1, hub port 1, its port 4.
    Usb("ttyUSB0", "ftdi_sio", "usb-serial", true, {"1-1.4", 0, "A700fdxv", "0"});
    Put(root + "/devices/pci0/usb1/1-1.4/1-1.4:1.0/ttyUSB0/latency_timer", "16\n");
    // FT4232: four interfaces of one device, a tty each.
    for (int i = 0; i < 4; ++i)
        Usb("ttyUSB" + std::to_string(i + 1), "ftdi_sio", "usb-serial", true, {"1-1.2", i, "FT4232X", "0"});
    // A driver with two ports on one interface.
    MkDirs(root + "/bus/usb-serial/drivers/mos7840");
    Usb("ttyUSB5", "mos7840", "usb-serial", true, {"2-3", 0, "", "0"});
    Usb("ttyUSB6", "mos7840", "usb-serial", true, {"2-3", 0, "", "1"});
    // CDC ACM, without a serial number: the tty hangs on the interface.
    Usb("ttyACM0", "cdc_acm", "usb", false, {"3-2", 0, "", ""});
    Platform("ttyS0", "serial8250", "platform");
    Virtual("ptmx");

    const auto all = [](const std::string&) { return true; };
    std::map<std::string, PortInfo> ports;
    for (const PortInfo& p : ListSysfsPorts(root, "/dev", all))
        ports[p.name] = p;
    ASSERT_EQ(ports.size(), 9u);
    const auto usb = [&](const std::string& tty) {
        const PortInfo& p = ports["/dev/" + tty];
        return std::vector<std::string>{p.vendorId, p.productId, p.serialNumber, p.location};
    };
    using Row = std::vector<std::string>;
    EXPECT_EQ(usb("ttyUSB0"), (Row{"0403", "6001", "A700fdxv", "1-1.4"}));
    EXPECT_EQ(usb("ttyUSB1"), (Row{"0403", "6001", "FT4232X", "1-1.2:1.0"}));
    EXPECT_EQ(usb("ttyUSB2"), (Row{"0403", "6001", "FT4232X", "1-1.2:1.1"}));
    EXPECT_EQ(usb("ttyUSB3"), (Row{"0403", "6001", "FT4232X", "1-1.2:1.2"}));
    EXPECT_EQ(usb("ttyUSB4"), (Row{"0403", "6001", "FT4232X", "1-1.2:1.3"}));
    EXPECT_EQ(usb("ttyUSB5"), (Row{"0403", "6001", "", "2-3:1.0-port0"}));
    EXPECT_EQ(usb("ttyUSB6"), (Row{"0403", "6001", "", "2-3:1.0-port1"}));
    EXPECT_EQ(usb("ttyACM0"), (Row{"0403", "6001", "", "3-2"}));
    EXPECT_EQ(usb("ttyS0"), (Row{"", "", "", ""}));
    EXPECT_EQ(ports["/dev/ttyUSB3"].hardwareId, "0403:6001");
    // ftdi_sio shows its latency timer beside the port; cdc_acm has none.
    EXPECT_EQ(ports["/dev/ttyUSB0"].latencyMs, 16);
    EXPECT_EQ(ports["/dev/ttyUSB0"].driver, "ftdi_sio");
    EXPECT_EQ(ports["/dev/ttyACM0"].latencyMs, -1);
    EXPECT_EQ(ports["/dev/ttyS0"].driver, "");

    // udev's links, relative as udev makes them, lead to the port.
    const std::string dev = root + "/dev";
    MkDirs(dev + "/serial/by-path");
    MkDirs(dev + "/serial/by-id");
    for (const char* tty : {"ttyUSB0", "ttyUSB3", "ttyS0"})
        Put(dev + "/" + tty, "");
    const std::string byPath = dev + "/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.2-port0";
    const std::string byId = dev + "/serial/by-id/usb-Acme_USB_Serial_A700fdxv-if00-port0";
    Link("../../ttyUSB3", byPath);
    Link("../../ttyUSB0", byId);
    const PortInfo viaPath = DescribeSysfsPort(byPath, root, dev);
    EXPECT_EQ(viaPath.name, byPath);
    EXPECT_EQ(viaPath.location, "1-1.2:1.2");
    EXPECT_EQ(viaPath.serialNumber, "FT4232X");
    EXPECT_EQ(viaPath.description, "Acme USB Serial");
    EXPECT_EQ(DescribeSysfsPort(byId, root, dev).location, "1-1.4");
    // The timer is read afresh through the link: the driver took the request.
    Put(root + "/class/tty/ttyUSB0/device/latency_timer", "1\n");
    EXPECT_EQ(ReadSysfsLatency(byId, root), 1);
    EXPECT_EQ(ReadSysfsLatency(dev + "/ttyACM0", root), -1);
    EXPECT_EQ(DescribeSysfsPort(dev + "/ttyUSB3", root, dev).location, "1-1.2:1.2");
    // A legacy port is described without asking for its UART.
    EXPECT_EQ(DescribeSysfsPort(dev + "/ttyS0", root, dev).description, "built-in serial port (8250 UART)");
    // A pty, or a name that is nothing: the name alone.
    for (const std::string& other : {std::string("/dev/pts/3"), dev + "/serial/by-id/gone"}) {
        const PortInfo p = DescribeSysfsPort(other, root, dev);
        EXPECT_EQ(p.name, other);
        EXPECT_EQ((Row{p.description, p.hardwareId, p.vendorId, p.productId, p.serialNumber, p.location}),
                  Row(6, ""));
    }
}

// Windows' ids for the same adapters, as its device nodes spell them.
TEST(UsbIds, VendorProductAndSerialFromWindowsIds)
{
    std::string vid = "x", pid = "y";
    EXPECT_FALSE(ParseUsbIds("ACPI\\PNP0501", vid, pid));
    EXPECT_FALSE(ParseUsbIds("USB\\VID_04031&PID_6001", vid, pid));
    EXPECT_FALSE(ParseUsbIds("USB\\VID_0403", vid, pid));
    EXPECT_EQ(vid + pid, "xy");
    EXPECT_TRUE(ParseUsbIds("USB\\VID_10C4&PID_EA60&REV_0100", vid, pid));
    EXPECT_EQ(vid + ":" + pid, "10c4:ea60");
    EXPECT_TRUE(ParseUsbIds("FTDIBUS\\VID_0403+PID_6011+FT4232XA\\0000", vid, pid));
    EXPECT_EQ(vid + ":" + pid, "0403:6011");
    EXPECT_TRUE(ParseUsbIds("FTDIBUS\\COMPORT&VID_0403&PID_6001", vid, pid));
    EXPECT_EQ(vid + ":" + pid, "0403:6001");

    EXPECT_EQ(SerialFromInstanceId("USB\\VID_0403&PID_6001\\A700FDXV"), "A700FDXV");
    // Made up by Windows for a device without a serial number, and an interface's.
    EXPECT_EQ(SerialFromInstanceId("USB\\VID_2341&PID_0043\\5&2C3F1E2&0&4"), "");
    EXPECT_EQ(SerialFromInstanceId("USB\\VID_0403&PID_6011&MI_02\\6&1A2B3C&0&0002"), "");
    // Not a USB device's id.
    EXPECT_EQ(SerialFromInstanceId("FTDIBUS\\VID_0403+PID_6001+A700FDXVA\\0000"), "");
    EXPECT_EQ(SerialFromInstanceId("USB\\VID_0403&PID_6001\\"), "");
    EXPECT_EQ(SerialFromInstanceId("USB\\ROOT_HUB30"), "");
}

TEST_F(FakeSysfs, MissingTreeIsAnEmptyList)
{
    EXPECT_TRUE(ListSysfsPorts(root + "/nowhere", "/dev", nullptr).empty());
    EXPECT_TRUE(ListSysfsPorts(root, "/dev", nullptr).empty());
}

TEST(NaturalOrder, NumbersCompareByValue)
{
    EXPECT_TRUE(NaturalLess("ttyUSB2", "ttyUSB10"));
    EXPECT_FALSE(NaturalLess("ttyUSB10", "ttyUSB2"));
    EXPECT_TRUE(NaturalLess("ttyACM9", "ttyS0"));
    EXPECT_TRUE(NaturalLess("ttyS", "ttyS0"));
    EXPECT_FALSE(NaturalLess("ttyS3", "ttyS3"));
    EXPECT_TRUE(NaturalLess("ttyS03", "ttyS4"));
}

} // namespace

}  // namespace zq
