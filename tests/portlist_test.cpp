#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "SysfsPorts.h"
#include "TempDir.h"

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
    void Usb(const std::string& tty, const std::string& driver, const std::string& bus, bool viaInterfaceChild)
    {
        const std::string usbdev = root + "/devices/pci0/usb1/1-" + tty;
        const std::string iface = usbdev + "/1-" + tty + ":1.0";
        const std::string dev = viaInterfaceChild ? iface + "/" + tty : iface;
        MkDirs(dev);
        Put(usbdev + "/idVendor", "0403\n");
        Put(usbdev + "/idProduct", "6001\n");
        Put(usbdev + "/manufacturer", "Acme\n");
        Put(usbdev + "/product", "USB Serial\n");
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
    Virtual("tty0");
    Virtual("tty12");
    Virtual("ptmx");

    // Only ttyS1 has a UART behind it.
    const auto probe = [](const std::string& dev) { return dev == "/dev/ttyS1"; };
    EXPECT_EQ(Names(probe), (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyAMA0", "/dev/ttyS1",
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
