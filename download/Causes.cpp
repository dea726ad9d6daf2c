#include "download/Causes.h"

#include "platform/OsError.h"
#include "link/PortAccess.h"

#include <cstdio>

namespace zq {

namespace {

enum class CauseId {
    // The image.
    FileNotFound, FileDenied, FileBusy, FileNotRegular, FileIo,
    ImageEmpty, ImageTooShort, ImageBadMagic, ImageTooLarge, ImageTooManyBlocks, ImageRead, ImageReadAt,
    // Finding the device.
    NoPorts, NoAnswerOne, NoAnswerMany, NoneOpened, AlsoUnopened, AlsoNoise, AlsoDenied,
    PortBusy, PortDenied, PortNotFound, PortNotSerial, PortBadName, PortBadSpeed, PortIo,
    WordBusy, WordDenied, WordNotFound, WordNotSerial, WordBadName, WordBadSpeed, WordIo,
    // The exchange.
    SynEcho, SynEchoWrong, DbwReady, DbwWrong, HeaderSilent, HeaderWrong, CountSilent, CountWrong, ClrSilent,
    ClrReady, ClrReadyWrong,
    BlockSilent, BlockRefused, BlockWrite, FinalSilent, FinalWrong, LineLost, LineLostAtBlock, Interrupted, Unknown,
};

// Every text the tool uses to explain a failure. {port} {ports} {n} {block}
// {byte} {path} are filled in from what the worker and discovery reported;
// {advice} is what can be done about a port refused for lack of permission.
// {attempts} {refusals} {max_blocks} {progress_s} {block_bytes} come from the
// protocol's limits.
struct CauseText {
    CauseId id;
    const char* text;
};
const CauseText kCauses[] = {
    {CauseId::FileNotFound, "image not found: {path}"},
    {CauseId::FileDenied, "permission denied on the image {path}"},
    {CauseId::FileBusy, "the image {path} is in use by another program"},
    {CauseId::FileNotRegular, "the image {path} is not a regular file"},
    {CauseId::FileIo, "the image {path} could not be opened: {os}"},
    {CauseId::ImageEmpty, "image refused: {path} is empty (0 bytes)"},
    {CauseId::ImageTooShort, "image refused: {bytes} bytes, header word {header} needs at least {need}"},
    {CauseId::ImageBadMagic, "image refused: wrong magic (bytes 2 to 5 must be SDDB)"},
    {CauseId::ImageTooLarge, "image refused: {bytes} bytes, 4 GiB or larger"},
    {CauseId::ImageTooManyBlocks, "image refused: {bytes} bytes make more than {max_blocks} blocks"},
    {CauseId::ImageRead, "the image could not be read whole (read error, or the file changed)"},
    {CauseId::ImageReadAt, "the image could not be read at block {block} (read error, or the file shrank)"},

    {CauseId::NoPorts, "no serial port found"},
    {CauseId::NoAnswerOne, "no device answered on {port}"},
    {CauseId::NoAnswerMany, "no device answered on {n} ports ({ports})"},
    {CauseId::NoneOpened, "none of the {n} ports could be opened: {ports}"},
    {CauseId::AlsoUnopened, "; could not open {ports}"},
    {CauseId::AlsoNoise, "; {ports} sent bytes but no beacon (another device, or the wrong speed?)"},
    {CauseId::AlsoDenied, "; permission denied on {port}{advice}"},
    {CauseId::PortBusy, "port {port} is busy (another program has it open)"},
    {CauseId::PortDenied, "permission denied on {port}{advice}"},
    {CauseId::PortNotFound, "port {port} not found"},
    {CauseId::PortNotSerial, "{port} is not a serial port"},
    {CauseId::PortBadName, "\"{port}\" is not a valid port name"},
    {CauseId::PortBadSpeed, "port {port} cannot be set to the line's speed"},
    {CauseId::PortIo, "port {port} could not be opened: {os}"},
    {CauseId::WordBusy, "busy"},
    {CauseId::WordDenied, "permission denied"},
    {CauseId::WordNotFound, "not found"},
    {CauseId::WordNotSerial, "not a serial port"},
    {CauseId::WordBadName, "not a valid name"},
    {CauseId::WordBadSpeed, "speed not supported"},
    {CauseId::WordIo, "I/O error"},

    {CauseId::SynEcho, "device did not echo SYN"},
    {CauseId::SynEchoWrong, "device echoed SYN as {got}"},
    {CauseId::DbwReady, "device did not answer DBW with RDY"},
    {CauseId::DbwWrong, "device answered DBW with {got} instead of RDY"},
    {CauseId::HeaderSilent, "device did not echo the header word ({attempts} attempts)"},
    {CauseId::HeaderWrong, "device echoed the header word {sent} as {got} ({attempts} attempts)"},
    {CauseId::CountSilent, "device did not echo the block count ({attempts} attempts)"},
    {CauseId::CountWrong, "device echoed the block count {sent} as {got} ({attempts} attempts)"},
    {CauseId::ClrSilent, "device went silent while clearing (nothing for {progress_s} s)"},
    {CauseId::ClrReady, "device did not answer END with RDY after clearing"},
    {CauseId::ClrReadyWrong, "device answered END with {got} instead of RDY after clearing"},
    {CauseId::BlockSilent, "device stopped answering at block {block}"},
    {CauseId::BlockRefused, "block {block} refused {refusals} times in a row (device answered {byte})"},
    {CauseId::BlockWrite, "the line to {port} took only {n} of the {block_bytes} bytes of block {block}"},
    {CauseId::FinalSilent, "device did not acknowledge the closing END"},
    {CauseId::FinalWrong, "device answered the closing END with {byte} instead of ACK"},
    {CauseId::LineLost, "the device or its adapter was disconnected"},
    {CauseId::LineLostAtBlock, "the device or its adapter was disconnected at block {block}"},
    {CauseId::Interrupted, "interrupted"},
    {CauseId::Unknown, "download failed"},
};

struct Fields {
    std::string port, ports, path;
    std::string os = "I/O error"; // the OS's own words, where it gave them
    unsigned n = 0;
    uint32_t block = 0;
    uint8_t byte = 0;
    uint64_t bytes = 0, need = 0;
    uint32_t header = 0, sent = 0;
    std::string got; // bytes as they came, in hex
};

std::string Say(CauseId id, const Fields& f = Fields())
{
    const char* pattern = "download failed";
    for (const CauseText& c : kCauses)
        if (c.id == id)
            pattern = c.text;
    std::string out;
    for (const char* p = pattern; *p; ++p) {
        if (*p != '{') {
            out += *p;
            continue;
        }
        const char* close = p;
        while (*close && *close != '}')
            ++close;
        const std::string key(p + 1, close);
        char num[16];
        if (key == "port") {
            out += f.port;
        } else if (key == "ports") {
            out += f.ports;
        } else if (key == "path") {
            out += f.path;
        } else if (key == "os") {
            out += f.os;
        } else if (key == "advice") {
            const std::string advice = PortAccessAdvice(f.port);
            if (!advice.empty())
                out += ": " + advice;
        } else if (key == "n") {
            out += std::to_string(f.n);
        } else if (key == "block") {
            out += std::to_string(f.block);
        } else if (key == "bytes") {
            out += std::to_string(f.bytes);
        } else if (key == "need") {
            out += std::to_string(f.need);
        } else if (key == "header") {
            out += std::to_string(f.header);
        } else if (key == "sent") {
            std::snprintf(num, sizeof num, "0x%04X", f.sent);
            out += num;
        } else if (key == "got") {
            out += f.got;
        } else if (key == "attempts") {
            out += std::to_string(zq::kWordAttempts);
        } else if (key == "refusals") {
            out += std::to_string(zq::kBlockRefusals);
        } else if (key == "block_bytes") {
            out += std::to_string(zq::kBlockSize + 1); // the block and its checksum
        } else if (key == "max_blocks") {
            out += std::to_string(zq::kImageMaxBlocks);
        } else if (key == "progress_s") {
            std::snprintf(num, sizeof num, "%g", zq::kProgressMs / 1000.0);
            out += num;
        } else if (key == "byte") {
            std::snprintf(num, sizeof num, "0x%02X", f.byte);
            out += num;
        }
        if (!*close)
            break;
        p = close;
    }
    return out;
}

CauseId PortCause(PortError e)
{
    switch (e) {
    case PortError::Busy: return CauseId::PortBusy;
    case PortError::AccessDenied: return CauseId::PortDenied;
    case PortError::NotFound: return CauseId::PortNotFound;
    case PortError::NotSerial: return CauseId::PortNotSerial;
    case PortError::BadName: return CauseId::PortBadName;
    case PortError::BadSpeed: return CauseId::PortBadSpeed;
    case PortError::Io:
    case PortError::None: break;
    }
    return CauseId::PortIo;
}

CauseId PortWord(PortError e)
{
    switch (e) {
    case PortError::Busy: return CauseId::WordBusy;
    case PortError::AccessDenied: return CauseId::WordDenied;
    case PortError::NotFound: return CauseId::WordNotFound;
    case PortError::NotSerial: return CauseId::WordNotSerial;
    case PortError::BadName: return CauseId::WordBadName;
    case PortError::BadSpeed: return CauseId::WordBadSpeed;
    case PortError::Io:
    case PortError::None: break;
    }
    return CauseId::WordIo;
}

// Long lists name the first few; a technician with fifteen ports needs the
// count more than every name.
std::string JoinNames(const std::vector<std::string>& names)
{
    constexpr size_t kShown = 6;
    std::string out;
    for (size_t i = 0; i < names.size() && i < kShown; ++i)
        out += (i ? ", " : "") + names[i];
    if (names.size() > kShown)
        out += " and " + std::to_string(names.size() - kShown) + " more";
    return out;
}

// After a list of ports that would not open, the fix for the first that was
// refused for lack of permission: the others most likely share its group.
std::string DeniedAdvice(const ProbeResult* denied)
{
    if (!denied)
        return {};
    Fields f;
    f.port = denied->port;
    return Say(CauseId::AlsoDenied, f);
}

std::string DescribeDiscovery(const std::vector<ProbeResult>& probes)
{
    std::vector<std::string> silent, noisy, unopened;
    const ProbeResult* firstUnopened = nullptr;
    const ProbeResult* firstDenied = nullptr;
    for (const ProbeResult& p : probes) {
        if (p.openError != PortError::None) {
            if (!firstUnopened)
                firstUnopened = &p;
            if (!firstDenied && p.openError == PortError::AccessDenied)
                firstDenied = &p;
            unopened.push_back(p.port + " (" + Say(PortWord(p.openError)) + ")");
            continue;
        }
        silent.push_back(p.port);
        if (p.bytesHeard > 0)
            noisy.push_back(p.port);
    }
    Fields f;
    if (silent.empty()) {
        if (!firstUnopened)
            return Say(CauseId::NoPorts);
        if (unopened.size() == 1) {
            f.port = firstUnopened->port;
            if (firstUnopened->osError)
                f.os = OsErrorText(firstUnopened->osError);
            return Say(PortCause(firstUnopened->openError), f);
        }
        f.n = static_cast<unsigned>(unopened.size());
        f.ports = JoinNames(unopened);
        return Say(CauseId::NoneOpened, f) + DeniedAdvice(firstDenied);
    }
    std::string text;
    if (silent.size() == 1) {
        f.port = silent[0];
        text = Say(CauseId::NoAnswerOne, f);
    } else {
        f.n = static_cast<unsigned>(silent.size());
        f.ports = JoinNames(silent);
        text = Say(CauseId::NoAnswerMany, f);
    }
    if (!noisy.empty()) {
        f.ports = JoinNames(noisy);
        text += Say(CauseId::AlsoNoise, f);
    }
    if (!unopened.empty()) {
        f.ports = JoinNames(unopened);
        text += Say(CauseId::AlsoUnopened, f) + DeniedAdvice(firstDenied);
    }
    return text;
}

CauseId FileCause(FileError e)
{
    switch (e) {
    case FileError::NotFound: return CauseId::FileNotFound;
    case FileError::AccessDenied: return CauseId::FileDenied;
    case FileError::Busy: return CauseId::FileBusy;
    case FileError::NotRegular: return CauseId::FileNotRegular;
    case FileError::Io:
    case FileError::None: break;
    }
    return CauseId::FileIo;
}

CauseId RefusalCause(ImageRefusal r)
{
    switch (r) {
    case ImageRefusal::TooShort: return CauseId::ImageTooShort;
    case ImageRefusal::BadMagic: return CauseId::ImageBadMagic;
    case ImageRefusal::TooLarge: return CauseId::ImageTooLarge;
    case ImageRefusal::TooManyBlocks: return CauseId::ImageTooManyBlocks;
    case ImageRefusal::ReadError:
    case ImageRefusal::None: break;
    }
    return CauseId::ImageRead;
}

} // namespace

std::string DescribePortError(PortError error) { return Say(PortWord(error)); }

std::string DescribePortRefusal(const std::string& port, PortError error)
{
    Fields f;
    f.port = port;
    return Say(PortCause(error), f);
}

std::string DescribeFailure(const DownloadFailure& failure, const std::vector<ProbeResult>& probes,
                            const std::string& imagePath)
{
    Fields f;
    f.path = imagePath;
    f.port = failure.port;
    f.block = failure.block;
    f.byte = failure.lastByte;
    f.bytes = failure.imageBytes;
    f.header = failure.header;
    f.need = zq::kImageDataOffset + uint64_t(zq::kLengthPerWord) * failure.header;
    f.sent = failure.sent;
    for (unsigned i = 0; i < failure.gotCount && i < sizeof failure.got; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", failure.got[i]);
        f.got += hex;
    }
    const bool wrong = failure.gotCount > 0;
    if (failure.osError)
        f.os = OsErrorText(failure.osError);
    // Once the exchange has begun, a line that is gone is the cause, whatever
    // the tool was waiting for.
    if (failure.lineLost && failure.step >= FailStep::SynEcho && failure.step <= FailStep::FinalAck) {
        const bool inBlocks = failure.step == FailStep::BlockSilent || failure.step == FailStep::BlockRefused ||
                              failure.step == FailStep::BlockWrite;
        return Say(inBlocks ? CauseId::LineLostAtBlock : CauseId::LineLost, f);
    }
    switch (failure.step) {
    case FailStep::ImageOpen: return Say(FileCause(failure.fileError), f);
    case FailStep::ImageRefused:
        if (failure.refusal == ImageRefusal::TooShort && failure.imageBytes == 0)
            return Say(CauseId::ImageEmpty, f);
        return Say(RefusalCause(failure.refusal), f);
    case FailStep::ImageRead:
        return Say(failure.block > 0 ? CauseId::ImageReadAt : CauseId::ImageRead, f);
    case FailStep::NoPorts: return Say(CauseId::NoPorts);
    case FailStep::NoDevice: return DescribeDiscovery(probes);
    case FailStep::PortOpen: return Say(PortCause(failure.portError), f);
    case FailStep::SynEcho: return Say(wrong ? CauseId::SynEchoWrong : CauseId::SynEcho, f);
    case FailStep::DbwReady: return Say(wrong ? CauseId::DbwWrong : CauseId::DbwReady, f);
    case FailStep::HeaderEcho: return Say(wrong ? CauseId::HeaderWrong : CauseId::HeaderSilent, f);
    case FailStep::CountEcho: return Say(wrong ? CauseId::CountWrong : CauseId::CountSilent, f);
    case FailStep::ClrProgress: return Say(CauseId::ClrSilent);
    case FailStep::ClrReady: return Say(wrong ? CauseId::ClrReadyWrong : CauseId::ClrReady, f);
    case FailStep::BlockSilent: return Say(CauseId::BlockSilent, f);
    case FailStep::BlockRefused: return Say(CauseId::BlockRefused, f);
    case FailStep::BlockWrite:
        f.n = failure.wrote;
        return Say(CauseId::BlockWrite, f);
    case FailStep::FinalAck: return Say(failure.gotByte ? CauseId::FinalWrong : CauseId::FinalSilent, f);
    case FailStep::Cancelled: return Say(CauseId::Interrupted);
    case FailStep::None: break;
    }
    return Say(CauseId::Unknown);
}

std::string LatencyHint(const PortInfo& adapter, int latencyMs)
{
    if (latencyMs <= zq::kLatencyHintAboveMs)
        return {};
    std::string who = adapter.description;
    if (!adapter.hardwareId.empty())
        who += (who.empty() ? "" : ", ") + adapter.hardwareId;
    if (!adapter.serialNumber.empty())
        who += ", serial " + adapter.serialNumber;
    char text[1024];
    std::snprintf(text, sizeof text,
                  "hint: %s%s%s%s holds received bytes %d ms before passing them on (its latency timer), so every "
                  "block will wait for it: %s.",
                  adapter.name.c_str(), who.empty() ? "" : " (", who.c_str(), who.empty() ? "" : ")", latencyMs,
                  LatencyTimerFix(adapter).c_str());
    return text;
}

std::string SlowLineHint(double bytesPerS, int latencyMs)
{
    // Below this share of the line the time goes to the adapter, not the line.
    constexpr double kSlowShare = 0.70;
    if (latencyMs >= 0 || bytesPerS <= 0 || bytesPerS >= kSlowShare * zq::kPayloadCeilingBytesPerS)
        return {};
    char text[512];
    std::snprintf(text, sizeof text,
                  "hint: the data went at %.0f B/s, %.0f%% of the %.0f B/s the line carries: the adapter "
                  "holds received bytes before passing them on (an FTDI chip's latency timer is 16 ms by "
                  "default). On Linux the tool asks for low latency, which needs the driver's support; on "
                  "Windows set Device Manager > Port Settings > Advanced > Latency Timer to 1 ms.",
                  bytesPerS, 100 * bytesPerS / zq::kPayloadCeilingBytesPerS, zq::kPayloadCeilingBytesPerS);
    return text;
}

std::string HintAfterSuccess(const PortInfo& adapter, int latencyMs, double bytesPerS)
{
    const std::string hint = LatencyHint(adapter, latencyMs);
    return hint.empty() ? SlowLineHint(bytesPerS, latencyMs) : hint;
}

const char* StageWord(Stage stage)
{
    switch (stage) {
    case Stage::Searching: return "searching";
    case Stage::Found: return "found";
    case Stage::Handshake: return "handshake";
    case Stage::Header: return "header";
    case Stage::Count: return "count";
    case Stage::Clearing: return "clearing";
    case Stage::Sending: return "sending";
    case Stage::Closing: return "closing";
    }
    return "";
}

}  // namespace zq
