// The words a failed download is told in: each step and each port error its
// own, exactly as scripts and technicians have come to read them.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>

#include "download/Causes.h"

namespace zq {

namespace {

const char kPort[] = "/dev/zq-no-such-port";

DownloadFailure At(FailStep step)
{
    DownloadFailure f;
    f.step = step;
    f.port = kPort;
    f.block = 7;
    f.lastByte = 0x15;
    f.gotByte = true;
    f.wrote = 57;
    return f;
}

DownloadFailure Wrong(FailStep step)
{
    DownloadFailure f = At(step);
    const uint8_t got[3] = {'S', 'Y', 'X'};
    std::copy(got, got + 3, f.got);
    f.gotCount = 3;
    f.sent = 0x0102;
    return f;
}

ProbeResult Probe(const std::string& port, PortError error = PortError::None, unsigned heard = 0)
{
    ProbeResult p;
    p.port = port;
    p.openError = error;
    p.bytesHeard = heard;
    return p;
}

TEST(Causes, EveryStepAndEveryPortErrorHasWordsOfItsOwn)
{
    DownloadFailure notFound = At(FailStep::ImageOpen);
    notFound.fileError = FileError::NotFound;
    DownloadFailure tooShort = At(FailStep::ImageRefused);
    tooShort.refusal = ImageRefusal::TooShort;
    tooShort.imageBytes = 65600;
    tooShort.header = 9;
    DownloadFailure busy = At(FailStep::PortOpen);
    busy.portError = PortError::Busy;
    DownloadFailure silentSyn = At(FailStep::SynEcho);
    silentSyn.gotByte = false;
    DownloadFailure silentEnd = At(FailStep::FinalAck);
    silentEnd.gotByte = false;
    const std::vector<std::pair<DownloadFailure, std::string>> steps = {
        {notFound, "image not found: /srv/DB.bin"},
        {tooShort, "image refused: 65600 bytes, header word 9 needs at least 65680"},
        {At(FailStep::ImageRead), "the image could not be read at block 7 (read error, or the file shrank)"},
        {At(FailStep::NoPorts), "no serial port found"},
        {At(FailStep::NoDevice), "no device answered on /dev/zq-no-such-port"},
        {busy, "port /dev/zq-no-such-port is busy (another program has it open)"},
        {At(FailStep::NoThread), "no thread could be had for the download on /dev/zq-no-such-port (the system's limit on threads or processes, or its memory)"},
        {Wrong(FailStep::SynEcho), "device echoed SYN as 53 59 58"},
        {silentSyn, "device did not echo SYN"},
        {Wrong(FailStep::DbwReady), "device answered DBW with 53 59 58 instead of RDY"},
        {At(FailStep::DbwReady), "device did not answer DBW with RDY"},
        {Wrong(FailStep::HeaderEcho), "device echoed the header word 0x0102 as 53 59 58 (5 attempts)"},
        {At(FailStep::HeaderEcho), "device did not echo the header word (5 attempts)"},
        {Wrong(FailStep::CountEcho), "device echoed the block count 0x0102 as 53 59 58 (5 attempts)"},
        {At(FailStep::CountEcho), "device did not echo the block count (5 attempts)"},
        {At(FailStep::ClrProgress), "device went silent while clearing (nothing for 1 s)"},
        {Wrong(FailStep::ClrReady), "device answered END with 53 59 58 instead of RDY after clearing"},
        {At(FailStep::ClrReady), "device did not answer END with RDY after clearing"},
        {At(FailStep::BlockSilent), "device stopped answering at block 7"},
        {At(FailStep::BlockRefused), "block 7 refused 5 times in a row (device answered 0x15)"},
        {At(FailStep::BlockWrite), "the line to /dev/zq-no-such-port took only 57 of the 129 bytes of block 7"},
        {At(FailStep::FinalAck), "device answered the closing END with 0x15 instead of ACK"},
        {silentEnd, "device did not acknowledge the closing END"},
        {At(FailStep::Cancelled), "interrupted"},
    };
    std::set<std::string> distinct;
    std::set<FailStep> covered;
    for (const auto& [failure, said] : steps) {
        EXPECT_EQ(DescribeFailure(failure, {Probe(kPort)}, "/srv/DB.bin"), said);
        distinct.insert(said);
        covered.insert(failure.step);
    }
    EXPECT_EQ(distinct.size(), steps.size()) << "two causes read the same";
    EXPECT_EQ(covered.size(), static_cast<size_t>(FailStep::Cancelled)) << "a step without words";

    const std::vector<std::pair<PortError, std::string>> ports = {
        {PortError::NotFound, "port COM7 not found"},
        {PortError::Busy, "port COM7 is busy (another program has it open)"},
        {PortError::AccessDenied, "permission denied on COM7"},
        {PortError::NotSerial, "COM7 is not a serial port"},
        {PortError::BadName, "\"COM7\" is not a valid port name"},
        {PortError::BadSpeed, "port COM7 cannot be set to the line's speed"},
        {PortError::Io, "port COM7 could not be opened: I/O error"},
    };
    std::set<std::string> refusals, portWords;
    for (const auto& [error, said] : ports) {
        EXPECT_EQ(DescribePortRefusal("COM7", error), said);
        refusals.insert(said);
        portWords.insert(DescribePortError(error));
    }
    EXPECT_EQ(refusals.size(), ports.size());
    EXPECT_EQ(portWords.size(), ports.size());
}

// Discovery's words over many ports: who was silent, who was noisy, who
// could not be opened, and the line gone once the exchange had begun.
TEST(Causes, DiscoveryAndALostLineAreToldAsBefore)
{
    DownloadFailure none = At(FailStep::NoDevice);
    const std::vector<ProbeResult> mixed = {Probe("/dev/ttyA", PortError::None, 2), Probe("/dev/ttyB"),
                                            Probe("/dev/ttyC", PortError::Busy), Probe(kPort, PortError::AccessDenied)};
    EXPECT_EQ(DescribeFailure(none, mixed, ""),
              "no device answered on 2 ports (/dev/ttyA, /dev/ttyB); /dev/ttyA sent bytes but no beacon (another "
              "device, or the wrong speed?); could not open /dev/ttyC (busy), /dev/zq-no-such-port (permission "
              "denied); permission denied on /dev/zq-no-such-port");
    std::vector<ProbeResult> unopened;
    for (int i = 0; i < 8; ++i)
        unopened.push_back(Probe("/dev/ttyS" + std::to_string(i), PortError::NotFound));
    EXPECT_EQ(DescribeFailure(none, unopened, ""),
              "none of the 8 ports could be opened: /dev/ttyS0 (not found), /dev/ttyS1 (not found), /dev/ttyS2 (not "
              "found), /dev/ttyS3 (not found), /dev/ttyS4 (not found), /dev/ttyS5 (not found) and 2 more");
    ProbeResult io = Probe("/dev/ttyS9", PortError::Io);
    io.osError = EIO;
    EXPECT_EQ(DescribeFailure(none, {io}, ""), "port /dev/ttyS9 could not be opened: Input/output error");
    EXPECT_EQ(DescribeFailure(none, {}, ""), "no serial port found");

    DownloadFailure lost = At(FailStep::BlockWrite);
    lost.lineLost = true;
    EXPECT_EQ(DescribeFailure(lost, {}, ""), "the device or its adapter was disconnected at block 7");
    lost.step = FailStep::CountEcho;
    EXPECT_EQ(DescribeFailure(lost, {}, ""), "the device or its adapter was disconnected");
}

} // namespace

}  // namespace zq
