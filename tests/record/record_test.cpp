// The record file as the station writes it and the readers of it take it
// back: the lot's count and the yield report. Cut at every byte by a power
// cut, and the command line's report, are in tests/cli.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "record/Record.h"
#include "record/YieldReport.h"
#include "tests/TempDir.h"

namespace zq {

namespace {

std::vector<std::string> LinesOf(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

// A shift's records as the writer makes them, one of them torn by a power
// cut before the station started again: the torn line stays a line of its
// own and costs only itself, and the report reads back from the others
// what the writer put in (slot, port, USB serial, step and cause, times).
TEST(Record, ATornLineCostsOnlyItselfAndTheReportReadsWhatTheWriterWrote)
{
    TempDir dir;
    const std::string path = dir.file("shift.jsonl");
    ImageSnapshot image;
    image.sha256 = std::string(64, 'a');
    RecordTags tags;
    tags.job = "lot7";
    tags.station = "line1";
    DeviceOutcome o;
    o.port = "/dev/ttyUSB0";
    o.device.vendorId = "0403";
    o.device.productId = "6001";
    o.device.serialNumber = "A1";
    o.startedUnix = 1796630400; // 2026-12-07T08:00:00Z
    o.seconds = 12;

    std::string error;
    std::string torn;
    {
        CRecordLog log;
        ASSERT_TRUE(log.Open(path, error)) << error;
        o.failure.step = FailStep::SynEcho;
        ASSERT_TRUE(log.Append(RecordLine(o, image, "device echoed SYN as FD FD FD", tags)));
        o.success = true;
        o.failure.step = FailStep::None;
        o.startedUnix += 60;
        tags.slot = "slot 1";
        ASSERT_TRUE(log.Append(RecordLine(o, image, "", tags)));
        torn = RecordLine(o, image, "", tags);
    }
    // The power cut: half a record, no newline.
    torn.resize(torn.size() / 2);
    std::ofstream(path, std::ios::binary | std::ios::app) << torn;
    {
        CRecordLog log;
        ASSERT_TRUE(log.Open(path, error)) << error;
        o.device.serialNumber = "B2";
        o.startedUnix += 3600;
        ASSERT_TRUE(log.Append(RecordLine(o, image, "", tags)));
        o.success = false;
        o.failure.step = FailStep::Cancelled;
        ASSERT_TRUE(log.Append(RecordLine(o, image, "cancelled", tags)));
    }

    const std::vector<std::string> lines = LinesOf(path);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2], torn);
    EXPECT_EQ(CountLotWritten(path, "lot7", image.sha256), 2u);
    EXPECT_EQ(CountLotWritten(path, "lot8", image.sha256), 0u);

    std::ifstream in(path, std::ios::binary);
    const YieldReport r = ReadYieldReport(in);
    EXPECT_EQ(r.records, 4u);
    EXPECT_EQ(r.unreadable, 1u);
    EXPECT_EQ(r.results, (std::map<std::string, size_t>{{"success", 2}, {"fail", 1}, {"cancelled", 1}}));
    ASSERT_EQ(r.slots.size(), 2u);
    EXPECT_EQ(r.slots[0].name, "/dev/ttyUSB0");
    EXPECT_EQ(r.slots[0].failed, 1u);
    EXPECT_EQ(r.slots[1].name, "slot 1");
    EXPECT_EQ(r.slots[1].written, 2u);
    EXPECT_EQ(r.slots[1].cancelled, 1u);
    ASSERT_EQ(r.causes.size(), 1u);
    EXPECT_EQ(r.causes[0].step, "syn_echo");
    EXPECT_EQ(r.causes[0].example, "device echoed SYN as FD FD FD");
    // Unit A1 failed, then was written; B2 was written at once.
    EXPECT_EQ(r.units, 2u);
    EXPECT_EQ(r.unitsBySerial, 2u);
    EXPECT_EQ(r.firstPass, 1u);
    EXPECT_EQ(r.writtenAtLast, 2u);
    EXPECT_EQ(r.firstStart, 1796630400);
    EXPECT_EQ(r.lastEnd, 1796630400 + 60 + 3600 + 12);
    EXPECT_EQ(r.timed, 2u);
    EXPECT_EQ(r.maxSeconds, 12);
}

// Without a USB serial, the station tells a unit apart: a retry is the same
// unit's next attempt, and the first pass counts the unit once.
TEST(Record, ARetriedUnitIsOneUnitOfTheFirstPass)
{
    ImageSnapshot image;
    DeviceOutcome o;
    o.port = "/dev/ttyS0";
    o.unit = "u1";
    o.failure.step = FailStep::BlockRefused;
    std::string records = RecordLine(o, image, "refused") + "\n";
    o.attempt = 2;
    o.success = true;
    o.failure.step = FailStep::None;
    records += RecordLine(o, image, "") + "\n";
    o.unit.clear(); // a download nobody told apart is a unit of its own
    o.attempt = 1;
    records += RecordLine(o, image, "") + "\n" + RecordLine(o, image, "") + "\n";
    std::istringstream in(records);
    const YieldReport r = ReadYieldReport(in);
    EXPECT_EQ(r.units, 3u);
    EXPECT_EQ(r.firstPass, 2u);
    EXPECT_EQ(r.writtenAtLast, 3u);
    EXPECT_EQ(r.unitsBySerial, 0u);
}

}  // namespace zq
