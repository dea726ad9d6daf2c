#include "download/Causes.h"

#include "platform/OsError.h"
#include "link/Latency.h"
#include "link/PortAccess.h"

#include <cstdio>

namespace zq {

namespace {

// The words of each cause, one function each. They format what they are
// given and look nothing up: what the system says (its error text, who may
// open a port) is asked before, by DescribeFailure and DescribeDiscovery.
namespace words {

std::string Num(uint64_t n) { return std::to_string(n); }

std::string Hex(const char* format, unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Byte(uint8_t b) { return Hex("0x%02X", b); }
std::string Word(uint32_t w) { return Hex("0x%04X", w); }
std::string Attempts() { return Num(kWordAttempts) + " attempts"; }

// The image.
std::string FileNotFound(const std::string& path) { return "image not found: " + path; }
std::string FileDenied(const std::string& path) { return "permission denied on the image " + path; }
std::string FileBusy(const std::string& path) { return "the image " + path + " is in use by another program"; }
std::string FileNotRegular(const std::string& path) { return "the image " + path + " is not a regular file"; }
std::string FileIo(const std::string& path, const std::string& os)
{
    return "the image " + path + " could not be opened: " + os;
}
std::string ImageEmpty(const std::string& path) { return "image refused: " + path + " is empty (0 bytes)"; }
std::string ImageTooShort(uint64_t bytes, uint32_t header)
{
    const uint64_t need = kImageDataOffset + uint64_t(kLengthPerWord) * header;
    return "image refused: " + Num(bytes) + " bytes, header word " + Num(header) + " needs at least " + Num(need);
}
std::string ImageBadMagic() { return "image refused: wrong magic (bytes 2 to 5 must be SDDB)"; }
std::string ImageTooLarge(uint64_t bytes) { return "image refused: " + Num(bytes) + " bytes, 4 GiB or larger"; }
std::string ImageTooManyBlocks(uint64_t bytes)
{
    return "image refused: " + Num(bytes) + " bytes make more than " + Num(kImageMaxBlocks) + " blocks";
}
std::string ImageRead() { return "the image could not be read whole (read error, or the file changed)"; }
std::string ImageReadAt(uint32_t block)
{
    return "the image could not be read at block " + Num(block) + " (read error, or the file shrank)";
}

// Finding the device.
std::string NoPorts() { return "no serial port found"; }
std::string NoAnswerOne(const std::string& port) { return "no device answered on " + port; }
std::string NoAnswerMany(size_t n, const std::string& ports)
{
    return "no device answered on " + Num(n) + " ports (" + ports + ")";
}
std::string NoneOpened(size_t n, const std::string& ports)
{
    return "none of the " + Num(n) + " ports could be opened: " + ports;
}
std::string AlsoUnopened(const std::string& ports) { return "; could not open " + ports; }
std::string AlsoNoise(const std::string& ports)
{
    return "; " + ports + " sent bytes but no beacon (another device, or the wrong speed?)";
}
// advice: what PortAccessAdvice said, possibly nothing.
std::string Advice(const std::string& advice) { return advice.empty() ? std::string() : ": " + advice; }
std::string AlsoDenied(const std::string& port, const std::string& advice)
{
    return "; permission denied on " + port + Advice(advice);
}
std::string PortRefused(PortError e, const std::string& port, const std::string& os, const std::string& advice)
{
    switch (e) {
    case PortError::Busy: return "port " + port + " is busy (another program has it open)";
    case PortError::AccessDenied: return "permission denied on " + port + Advice(advice);
    case PortError::NotFound: return "port " + port + " not found";
    case PortError::NotSerial: return port + " is not a serial port";
    case PortError::BadName: return "\"" + port + "\" is not a valid port name";
    case PortError::BadSpeed: return "port " + port + " cannot be set to the line's speed";
    case PortError::Io:
    case PortError::None: break;
    }
    return "port " + port + " could not be opened: " + os;
}
std::string PortWord(PortError e)
{
    switch (e) {
    case PortError::Busy: return "busy";
    case PortError::AccessDenied: return "permission denied";
    case PortError::NotFound: return "not found";
    case PortError::NotSerial: return "not a serial port";
    case PortError::BadName: return "not a valid name";
    case PortError::BadSpeed: return "speed not supported";
    case PortError::Io:
    case PortError::None: break;
    }
    return "I/O error";
}

// The exchange. got: the bytes as they came, in hex.
std::string SynEcho() { return "device did not echo SYN"; }
std::string SynEchoWrong(const std::string& got) { return "device echoed SYN as " + got; }
std::string DbwReady() { return "device did not answer DBW with RDY"; }
std::string DbwWrong(const std::string& got) { return "device answered DBW with " + got + " instead of RDY"; }
std::string HeaderSilent() { return "device did not echo the header word (" + Attempts() + ")"; }
std::string HeaderWrong(uint32_t sent, const std::string& got)
{
    return "device echoed the header word " + Word(sent) + " as " + got + " (" + Attempts() + ")";
}
std::string CountSilent() { return "device did not echo the block count (" + Attempts() + ")"; }
std::string CountWrong(uint32_t sent, const std::string& got)
{
    return "device echoed the block count " + Word(sent) + " as " + got + " (" + Attempts() + ")";
}
std::string ClrSilent()
{
    char seconds[16];
    std::snprintf(seconds, sizeof seconds, "%g", kProgressMs / 1000.0);
    return std::string("device went silent while clearing (nothing for ") + seconds + " s)";
}
std::string ClrReady() { return "device did not answer END with RDY after clearing"; }
std::string ClrReadyWrong(const std::string& got)
{
    return "device answered END with " + got + " instead of RDY after clearing";
}
std::string BlockSilent(uint32_t block) { return "device stopped answering at block " + Num(block); }
std::string BlockRefused(uint32_t block, uint8_t byte)
{
    return "block " + Num(block) + " refused " + Num(kBlockRefusals) + " times in a row (device answered " +
           Byte(byte) + ")";
}
std::string BlockWrite(const std::string& port, uint32_t wrote, uint32_t block)
{
    return "the line to " + port + " took only " + Num(wrote) + " of the " + Num(kBlockSize + 1) +
           " bytes of block " + Num(block);
}
std::string FinalSilent() { return "device did not acknowledge the closing END"; }
std::string FinalWrong(uint8_t byte) { return "device answered the closing END with " + Byte(byte) + " instead of ACK"; }
std::string LineLost() { return "the device or its adapter was disconnected"; }
std::string LineLostAtBlock(uint32_t block) { return "the device or its adapter was disconnected at block " + Num(block); }
std::string Interrupted() { return "interrupted"; }
std::string Unknown() { return "download failed"; }
// std::thread's error is errno-like on every system, not what OsErrorText
// reads on Windows: the words say what a refused thread means instead.
std::string NoThread(const std::string& port)
{
    return "no thread could be had for the download on " + port +
           " (the system's limit on threads or processes, or its memory)";
}

} // namespace words

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

std::string OsWords(int osError) { return osError ? OsErrorText(osError) : "I/O error"; }

// Who may open a port is asked of the system only for a port refused for
// lack of permission.
std::string AdviceFor(PortError error, const std::string& port)
{
    return error == PortError::AccessDenied ? PortAccessAdvice(port) : std::string();
}

// After a list of ports that would not open, the fix for the first that was
// refused for lack of permission: the others most likely share its group.
std::string DeniedAdvice(const ProbeResult* denied)
{
    return denied ? words::AlsoDenied(denied->port, PortAccessAdvice(denied->port)) : std::string();
}

std::string NoPortHeard(const std::vector<std::string>& unopened, const ProbeResult* firstUnopened,
                        const ProbeResult* firstDenied)
{
    if (!firstUnopened)
        return words::NoPorts();
    if (unopened.size() == 1) {
        const ProbeResult& p = *firstUnopened;
        return words::PortRefused(p.openError, p.port, OsWords(p.osError), AdviceFor(p.openError, p.port));
    }
    return words::NoneOpened(unopened.size(), JoinNames(unopened)) + DeniedAdvice(firstDenied);
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
            unopened.push_back(p.port + " (" + words::PortWord(p.openError) + ")");
            continue;
        }
        silent.push_back(p.port);
        if (p.bytesHeard > 0)
            noisy.push_back(p.port);
    }
    if (silent.empty())
        return NoPortHeard(unopened, firstUnopened, firstDenied);
    std::string text = silent.size() == 1 ? words::NoAnswerOne(silent[0])
                                          : words::NoAnswerMany(silent.size(), JoinNames(silent));
    if (!noisy.empty())
        text += words::AlsoNoise(JoinNames(noisy));
    if (!unopened.empty())
        text += words::AlsoUnopened(JoinNames(unopened)) + DeniedAdvice(firstDenied);
    return text;
}

std::string FileWords(const DownloadFailure& f, const std::string& path)
{
    switch (f.fileError) {
    case FileError::NotFound: return words::FileNotFound(path);
    case FileError::AccessDenied: return words::FileDenied(path);
    case FileError::Busy: return words::FileBusy(path);
    case FileError::NotRegular: return words::FileNotRegular(path);
    case FileError::Io:
    case FileError::None: break;
    }
    return words::FileIo(path, OsWords(f.osError));
}

std::string RefusalWords(const DownloadFailure& f, const std::string& path)
{
    switch (f.refusal) {
    case ImageRefusal::TooShort:
        return f.imageBytes == 0 ? words::ImageEmpty(path) : words::ImageTooShort(f.imageBytes, f.header);
    case ImageRefusal::BadMagic: return words::ImageBadMagic();
    case ImageRefusal::TooLarge: return words::ImageTooLarge(f.imageBytes);
    case ImageRefusal::TooManyBlocks: return words::ImageTooManyBlocks(f.imageBytes);
    case ImageRefusal::ReadError:
    case ImageRefusal::None: break;
    }
    return words::ImageRead();
}

std::string GotHex(const DownloadFailure& f)
{
    std::string got;
    for (unsigned i = 0; i < f.gotCount && i < sizeof f.got; ++i)
        got += words::Hex(i ? " %02X" : "%02X", f.got[i]);
    return got;
}

// The exchange's steps, once the device was found.
std::string ExchangeWords(const DownloadFailure& f)
{
    const bool wrong = f.gotCount > 0;
    const std::string got = GotHex(f);
    switch (f.step) {
    case FailStep::SynEcho: return wrong ? words::SynEchoWrong(got) : words::SynEcho();
    case FailStep::DbwReady: return wrong ? words::DbwWrong(got) : words::DbwReady();
    case FailStep::HeaderEcho: return wrong ? words::HeaderWrong(f.sent, got) : words::HeaderSilent();
    case FailStep::CountEcho: return wrong ? words::CountWrong(f.sent, got) : words::CountSilent();
    case FailStep::ClrProgress: return words::ClrSilent();
    case FailStep::ClrReady: return wrong ? words::ClrReadyWrong(got) : words::ClrReady();
    case FailStep::BlockSilent: return words::BlockSilent(f.block);
    case FailStep::BlockRefused: return words::BlockRefused(f.block, f.lastByte);
    case FailStep::BlockWrite: return words::BlockWrite(f.port, f.wrote, f.block);
    case FailStep::FinalAck: return f.gotByte ? words::FinalWrong(f.lastByte) : words::FinalSilent();
    default: break;
    }
    return words::Unknown();
}

} // namespace

std::string DescribePortError(PortError error) { return words::PortWord(error); }

std::string DescribePortRefusal(const std::string& port, PortError error)
{
    return words::PortRefused(error, port, OsWords(0), AdviceFor(error, port));
}

std::string NoListenerText(const std::string& port)
{
    return "no thread could be had to listen on " + port + " (the system's limit on threads or processes, or its "
           "memory)";
}

std::string ImageRefusalFix(const DownloadFailure& failure)
{
    std::string fix;
    switch (failure.refusal) {
    case ImageRefusal::TooShort:
        fix = failure.imageBytes == 0 ? "copy the image again" :
              "the file ends before the data its header word announces: copy it again whole, or make it again";
        break;
    case ImageRefusal::BadMagic: fix = "this is not a database image: give the image made for the device"; break;
    case ImageRefusal::TooLarge:
    case ImageRefusal::TooManyBlocks: fix = "the device takes at most " + words::Num(kImageMaxBlocks) +
                                            " blocks: make the image again, smaller"; break;
    case ImageRefusal::ReadError:
    case ImageRefusal::None: fix = "check the disk, and that nothing writes the image meanwhile"; break;
    }
    return "nothing was sent to the device; " + fix;
}

std::string DescribeFailure(const DownloadFailure& failure, const std::vector<ProbeResult>& probes,
                            const std::string& imagePath)
{
    // Once the exchange has begun, a line that is gone is the cause, whatever
    // the tool was waiting for.
    if (failure.lineLost && failure.step >= FailStep::SynEcho && failure.step <= FailStep::FinalAck) {
        const bool inBlocks = failure.step == FailStep::BlockSilent || failure.step == FailStep::BlockRefused ||
                              failure.step == FailStep::BlockWrite;
        return inBlocks ? words::LineLostAtBlock(failure.block) : words::LineLost();
    }
    switch (failure.step) {
    case FailStep::ImageOpen: return FileWords(failure, imagePath);
    case FailStep::ImageRefused: return RefusalWords(failure, imagePath);
    case FailStep::ImageRead: return failure.block > 0 ? words::ImageReadAt(failure.block) : words::ImageRead();
    case FailStep::NoPorts: return words::NoPorts();
    case FailStep::NoDevice: return DescribeDiscovery(probes);
    case FailStep::PortOpen:
        return words::PortRefused(failure.portError, failure.port, OsWords(failure.osError),
                                  AdviceFor(failure.portError, failure.port));
    case FailStep::NoThread: return words::NoThread(failure.port);
    case FailStep::Cancelled: return words::Interrupted();
    case FailStep::None: return words::Unknown();
    default: return ExchangeWords(failure);
    }
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
                  "block will wait for it: %s",
                  adapter.name.c_str(), who.empty() ? "" : " (", who.c_str(), who.empty() ? "" : ")", latencyMs,
                  LatencyTimerFix(adapter).c_str());
    return text;
}

std::string SlowLineHint(const PortInfo& adapter, double bytesPerS, int latencyMs)
{
    // Below this share of the line the time goes to the adapter, not the line.
    constexpr double kSlowShare = 0.70;
    if (latencyMs >= 0 || bytesPerS <= 0 || bytesPerS >= kSlowShare * zq::kPayloadCeilingBytesPerS)
        return {};
    char text[512];
    std::snprintf(text, sizeof text,
                  "hint: the data went at %.0f B/s, %.0f%% of the %.0f B/s the line carries: the adapter "
                  "holds received bytes before passing them on (an FTDI chip's latency timer is 16 ms by "
                  "default). ",
                  bytesPerS, 100 * bytesPerS / zq::kPayloadCeilingBytesPerS, zq::kPayloadCeilingBytesPerS);
    return text + UnreadLatencyFix(adapter);
}

std::string HintAfterSuccess(const PortInfo& adapter, int latencyMs, double bytesPerS)
{
    const std::string hint = LatencyHint(adapter, latencyMs);
    return hint.empty() ? SlowLineHint(adapter, bytesPerS, latencyMs) : hint;
}

std::string SlowAdapterNote(const std::string& port)
{
    return "slow adapter: " + SetLatencyCommandNamed(port, 1);
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
