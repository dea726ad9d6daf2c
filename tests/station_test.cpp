// The station's image snapshot: read once, accepted as a download would
// accept it, hashed, and served to downloads from memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "DevSim.h"
#include "ImageSnapshot.h"
#include "Record.h"
#include "Sha256.h"
#include "SimRig.h"
#include "TempDir.h"
#include "TestHost.h"

using namespace devsim;

namespace {

std::string Sha256Sum(const std::string& path)
{
    std::string out;
    if (FILE* p = popen(("sha256sum '" + path + "'").c_str(), "r")) {
        char buf[128] = {};
        if (std::fgets(buf, sizeof buf, p))
            out.assign(buf, 64);
        pclose(p);
    }
    return out;
}

TEST(Sha256, KnownDigests)
{
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(Sha256Hex(abc, 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex(abc, 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(ImageSnapshot, TakesTheImageAsADownloadWouldAndHashesIt)
{
    TempDir dir;
    const std::string path = dir.file("DB.bin");
    WriteFile(path, MakeImage(65536 + 128 * 5 + 30, 0x0028));
    ImageSnapshot snap;
    DownloadFailure failure;
    ASSERT_TRUE(TakeImageSnapshot(path, snap, failure));
    EXPECT_EQ(snap.sha256, Sha256Sum(path));
    EXPECT_EQ(snap.header, 0x0028);
    EXPECT_EQ(snap.blocks, 5u);
    EXPECT_EQ(snap.tail, 30u);
    EXPECT_EQ(snap.bytes->size(), 65536u + 128 * 5 + 30);

    // Refused and missing images say why, as a download would.
    WriteFile(path, MakeImage(65536 + 128, 0x0100)); // N = 256 needs 65536 + 4096 bytes
    EXPECT_FALSE(TakeImageSnapshot(path, snap, failure));
    EXPECT_EQ(failure.step, FailStep::ImageRefused);
    EXPECT_EQ(failure.refusal, ImageRefusal::TooShort);
    EXPECT_EQ(failure.imageBytes, 65536u + 128);
    EXPECT_EQ(failure.header, 0x0100u);
    EXPECT_FALSE(TakeImageSnapshot(dir.file("none.bin"), snap, failure));
    EXPECT_EQ(failure.step, FailStep::ImageOpen);
    EXPECT_EQ(failure.fileError, FileError::NotFound);
}

// Every device gets the bytes of the snapshot, whatever the file on disk
// becomes meanwhile.
TEST(ImageSnapshot, ADownloadSendsTheSnapshotNotTheFileAsItIsNow)
{
    TempDir dir;
    const std::string path = dir.file("DB.bin");
    const std::vector<uint8_t> original = MakeImage(65536 + 128 * 4, 3, 11);
    WriteFile(path, original);
    ImageSnapshot snap;
    DownloadFailure failure;
    ASSERT_TRUE(TakeImageSnapshot(path, snap, failure));
    WriteFile(path, MakeImage(65536 + 128 * 9, 5, 12));

    DevSimOptions options;
    CSimRig sim(options);
    TestHost host(path);
    snap.Bind(host.file());
    host.UsePorts({sim.Path()});
    host.Run();
    ASSERT_EQ(host.Notice1(), "Success Download!");
    const DevSimReport report = sim.Finish();
    EXPECT_EQ(CompareWithImage(report, original), "");
    EXPECT_FALSE(host.file().IsOpen());

    // Another path is not the snapshot's: nothing is opened.
    TestHost other(dir.file("other.bin"));
    snap.Bind(other.file());
    other.UsePorts({});
    other.Run();
    EXPECT_EQ(other.Notice1(), "File Open Failed");
}

// The adapter's details in a record: what the system told, null for what
// it did not, and no adapter at all for a port without USB details.
TEST(Record, UsbDetailsOfThePortsAdapter)
{
    ImageSnapshot image;
    DeviceOutcome o;
    o.port = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.2-port0";
    o.device = PortInfo{o.port, "Acme USB Serial", "0403:6011"};
    o.device.vendorId = "0403";
    o.device.productId = "6011";
    o.device.location = "1-1.2:1.2";
    nlohmann::json record = nlohmann::json::parse(RecordLine(o, image, ""));
    EXPECT_EQ(record.at("usb"), nlohmann::json::parse(R"({"vendor_id": "0403", "product_id": "6011",
                                                          "serial": null, "location": "1-1.2:1.2"})"));
    o.device.serialNumber = "FT4232X";
    record = nlohmann::json::parse(RecordLine(o, image, ""));
    EXPECT_EQ(record.at("usb").at("serial"), "FT4232X");

    // A built-in port: a description and a driver, but nothing of USB.
    o.device = PortInfo{"/dev/ttyS0", "serial8250", ""};
    record = nlohmann::json::parse(RecordLine(o, image, ""));
    ASSERT_TRUE(record.contains("usb"));
    EXPECT_TRUE(record.at("usb").is_null());
}

} // namespace
