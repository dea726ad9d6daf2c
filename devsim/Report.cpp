// What the simulator says about a session: its summary, the faults it was
// asked for, and how the data it received compares with an image.
#include "devsim/DevSim.h"

#include <cstdio>

#include "protocol/Protocol.h"
#include "devsim/Text.h"
#include "platform/Format.h"

namespace zq {

namespace devsim {


namespace {
constexpr size_t kImageHeaderArea = zq::kImageDataOffset;
using zq::kBlockSize;
} // namespace

std::string CompareWithImage(const DevSimReport& report, const std::vector<uint8_t>& image)
{
    if (image.size() < kImageHeaderArea)
        return Format("the image is %zu bytes, shorter than its %zu-byte header area", image.size(),
                      kImageHeaderArea);
    std::string out;
    const uint16_t word = static_cast<uint16_t>(image[0] | image[1] << 8);
    if (report.headerWord != word)
        out += Format("header word 0x%04X, image has 0x%04X; ", report.headerWord, word);
    const size_t blocks = (image.size() - kImageHeaderArea) / kBlockSize;
    if (report.count != static_cast<uint16_t>(blocks))
        out += Format("block count %u, image has %zu; ", report.count, blocks);
    const size_t want = blocks * kBlockSize;
    const size_t common = std::min(want, report.data.size());
    for (size_t i = 0; i < common; ++i) {
        if (report.data[i] != image[kImageHeaderArea + i]) {
            out += Format("data differ first at image offset %zu (block %zu): 0x%02X, image has 0x%02X; ",
                          kImageHeaderArea + i, i / kBlockSize, report.data[i], image[kImageHeaderArea + i]);
            break;
        }
    }
    if (report.data.size() != want)
        out += Format("%zu data bytes received, image has %zu; ", report.data.size(), want);
    if (!out.empty())
        out.resize(out.size() - 2);
    return out;
}

std::vector<std::string> DescribeFaults(const DevSimOptions& o)
{
    std::vector<std::string> f;
    if (o.readLagMs)
        f.push_back(Format("the tool's bytes taken off the line %u ms late", o.readLagMs));
    if (o.noiseBytes)
        f.push_back(Counted(o.noiseBytes, "noise byte") + " before every beacon");
    if (o.synEcho != DevSimEcho::Right)
        f.push_back(Format("SYN echo %s", EchoName(o.synEcho)));
    if (o.noRdy)
        f.push_back("no RDY after DBW");
    if (o.headerEcho.echo != DevSimEcho::Right && o.headerEcho.attempts)
        f.push_back(Format("header word echo %s for the first ", EchoName(o.headerEcho.echo)) +
                    Counted(o.headerEcho.attempts, "attempt"));
    if (o.countEcho.echo != DevSimEcho::Right && o.countEcho.attempts)
        f.push_back(Format("block count echo %s for the first ", EchoName(o.countEcho.echo)) +
                    Counted(o.countEcho.attempts, "attempt"));
    if (o.progressBytes)
        f.push_back(Counted(o.progressBytes, "progress byte") +
                    Format(" 0x%02X, %u ms before each", o.progressByte, o.progressDelayMs));
    if (o.floodBytes)
        f.push_back(Format("%u progress bytes 0x%02X at full speed", o.floodBytes, o.progressByte));
    else if (o.floodMs < 0)
        f.push_back(Format("progress bytes 0x%02X at full speed without end", o.progressByte));
    else if (o.floodMs > 0)
        f.push_back(Format("progress bytes 0x%02X at full speed for %d ms", o.progressByte, o.floodMs));
    for (const auto& r : o.refusals)
        f.push_back(Format("block %u refused ", r.block) + Counted(r.times, "time") +
                    Format(" with 0x%02X", o.refusalByte));
    if (o.finalReply != zq::ACK)
        f.push_back(Format("closing END answered with 0x%02X", o.finalReply));
    if (o.silentAt == DevSimStep::Block)
        f.push_back(Format("silent at block %u", o.silentBlock));
    else if (o.silentAt != DevSimStep::None)
        f.push_back(Format("silent at %s", StepName(o.silentAt)));
    if (o.hangupBlock >= 0)
        f.push_back(Format("hang-up at block %ld", o.hangupBlock));
    return f;
}

std::string FormatSummary(const DevSimReport& r, bool verbose)
{
    std::string s;
    s += r.completed ? "session completed" : "session not completed";
    if (!r.endedAt.empty() && r.endedAt != "completed")
        s += ": " + r.endedAt;
    s += "\n";
    if (r.sawBeaconReply) {
        s += Format("  header word 0x%04X (", r.headerWord) + Counted(r.headerAttempts, "attempt") +
             Format("), block count %u (", r.count) + Counted(r.countAttempts, "attempt") +
             Format("), ACK %u, NAK %u\n", r.acksReceived, r.nakReceived);
        s += Format("  blocks %u taken, %u received; refusals %u, checksum errors %u; progress bytes %u\n",
                    r.blocks, r.deliveries, r.refusals, r.checksumErrors, r.progressSent);
    }
    s += Format("  bytes received %llu, sent %llu; %.3f s", static_cast<unsigned long long>(r.receivedTotal),
                static_cast<unsigned long long>(r.sentTotal), r.seconds);
    if (r.exchangeSeconds > 0) {
        s += Format(" (exchange %.3f s", r.exchangeSeconds);
        if (!r.data.empty())
            s += Format(", %.0f data bytes/s", static_cast<double>(r.data.size()) / r.exchangeSeconds);
        s += ")";
    }
    s += "\n";
    if (r.speedErrorCount) {
        s += Format("  speed errors: %u\n", r.speedErrorCount);
        for (const auto& e : r.speedErrors)
            s += "    " + e + "\n";
    }
    for (const auto& n : r.notes)
        s += "  note: " + n + "\n";
    if (verbose && r.speedUnchecked)
        s += "  note: " + Counted(r.speedUnchecked, "byte") +
             " read only after the tool had changed the line's speed, so their speed could not be checked\n";
    return s;
}

} // namespace devsim

}  // namespace zq
