#include "cli/Trace.h"

#include <cstring>

#include "download/Causes.h"

namespace zq {

namespace {

const char kToDevice[] = "T>D";
const char kToTool[] = "D>T";
constexpr size_t kTokenSize = sizeof(Token::b);

// How many of the bytes, up to a token's length, begin a token.
size_t TokenPrefix(const uint8_t* bytes, size_t count)
{
    size_t longest = 0;
    for (const Token& t : kTokens) {
        size_t n = 0;
        while (n < count && n < kTokenSize && t.b[n] == bytes[n])
            ++n;
        longest = n > longest ? n : longest;
    }
    return longest;
}

const Token* WholeToken(const uint8_t* bytes, size_t count)
{
    if (count != kTokenSize)
        return nullptr;
    for (const Token& t : kTokens)
        if (std::memcmp(t.b, bytes, count) == 0)
            return &t;
    return nullptr;
}

} // namespace

CTrace::CTrace(std::FILE* out, const CSerialLink& link, ProgressSink* next)
    : out_(out), link_(link), next_(next), start_(Clock::now())
{
}

CTrace::~CTrace() { Flush(); }

// One write per line: a line is never torn by whatever else shares the
// terminal.
void CTrace::Line(Clock::time_point at, const char* direction, const std::string& what)
{
    const double ms = std::chrono::duration<double, std::milli>(at - start_).count();
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%10.3f ms ", ms);
    std::string text = stamp;
    if (direction) {
        text += direction;
        text += ' ';
    }
    text += what;
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), out_);
}

std::string CTrace::Hex(const uint8_t* bytes, size_t count)
{
    static const char kHex[] = "0123456789ABCDEF";
    constexpr size_t kPerLine = 32;
    std::string text;
    text.reserve(count * 3 + count / kPerLine * 18);
    for (size_t i = 0; i < count; ++i) {
        if (i)
            text += i % kPerLine == 0 ? "\n                  " : " ";
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 15];
    }
    return text;
}

std::string CTrace::Named(const uint8_t* bytes, size_t count)
{
    if (const Token* t = WholeToken(bytes, count))
        return t->name;
    const NamedByte* n = count == 1 ? FindNamedByte(bytes[0]) : nullptr;
    if (!n)
        return Hex(bytes, count);
    std::string text = n->name;
    if (n->showValue)
        text += " 0x" + Hex(bytes, 1);
    return text;
}

void CTrace::OnOpen(const std::string& name, uint32_t baud, LinkStatus result)
{
    Flush();
    std::string text = "open " + name + " at " + std::to_string(baud) + " bit/s: ";
    text += result == LINK_OK ? "ok" : DescribePortError(link_.LastOpenError());
    Line(Clock::now(), nullptr, text);
}

void CTrace::OnClose()
{
    Flush();
    Line(Clock::now(), nullptr, "close");
}

void CTrace::OnWrite(const uint8_t* bytes, size_t count)
{
    const Clock::time_point now = Clock::now();
    wroteSinceReport_ = true;
    if (count == 1 && blockHeld_) {
        // The Sending report before a block gives its number, and whether
        // it goes again after a refusal.
        blockHeld_ = false;
        char text[80];
        std::snprintf(text, sizeof text, "block %u: %u bytes, checksum 0x%02X%s", static_cast<unsigned>(stage_.done),
                      static_cast<unsigned>(kBlockSize), bytes[0],
                      stage_.refusal && stage_.resending ? " (again)" : "");
        Line(blockAt_, kToDevice, text);
        return;
    }
    if (count == 1) {
        held_.push_back({bytes[0], now});
        return;
    }
    Flush();
    if (count == kBlockSize) {
        blockHeld_ = true;
        blockAt_ = now;
        return;
    }
    Line(now, kToDevice, Named(bytes, count));
}

// The first count held bytes, each command on a line of its own; bytes that
// only begin one are in hex, together.
void CTrace::Release(size_t count)
{
    ReleaseBlock();
    uint8_t bytes[kTokenSize];
    size_t i = 0;
    while (i < count) {
        size_t n = 0;
        for (; n < kTokenSize && i + n < count; ++n)
            bytes[n] = held_[i + n].value;
        const size_t prefix = TokenPrefix(bytes, n);
        const size_t take = prefix ? prefix : 1;
        Line(held_[i].at, kToDevice, Named(bytes, take));
        i += take;
    }
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(count));
}

void CTrace::ReleaseBlock()
{
    if (!blockHeld_)
        return;
    blockHeld_ = false;
    char text[64];
    std::snprintf(text, sizeof text, "block %u: %u bytes, no checksum", static_cast<unsigned>(stage_.done),
                  static_cast<unsigned>(kBlockSize));
    Line(blockAt_, kToDevice, text);
}

void CTrace::OnRead(const uint8_t* bytes, size_t count)
{
    const Clock::time_point now = Clock::now();
    Flush();
    switch (stage_.stage) {
    case Stage::Header:
    case Stage::Count:
        // The word's echo, whatever its bytes look like.
        Line(now, kToTool, Hex(bytes, count));
        return;
    case Stage::Clearing:
        // Until the tool writes END, the device's progress bytes, which may
        // take any value but ACK's.
        if (!wroteSinceReport_) {
            const bool ack = count == 1 && bytes[0] == ACK;
            Line(now, kToTool, ack ? Named(bytes, count) : Hex(bytes, count));
            return;
        }
        break;
    default:
        break;
    }
    Line(now, kToTool, Named(bytes, count));
}

void CTrace::OnStage(const StageReport& report)
{
    // An attempt at a word is reported just after its two bytes went.
    const bool word = report.stage == Stage::Header || report.stage == Stage::Count;
    if (word && held_.size() >= 2) {
        const size_t first = held_.size() - 2;
        Release(first);
        const uint8_t lo = held_[0].value, hi = held_[1].value;
        const unsigned value = lo | hi << 8;
        char text[80];
        if (report.stage == Stage::Header)
            std::snprintf(text, sizeof text, "%02X %02X (header word 0x%04X)", lo, hi, value);
        else
            std::snprintf(text, sizeof text, "%02X %02X (block count %u)", lo, hi, value);
        Line(held_[0].at, kToDevice, text);
        held_.clear();
    } else {
        Flush();
    }
    stage_ = report;
    wroteSinceReport_ = false;
    if (next_)
        next_->OnStage(report);
}

void CTrace::SetRange(uint32_t maximum)
{
    if (next_)
        next_->SetRange(maximum);
}

void CTrace::SetPos(uint32_t position)
{
    if (next_)
        next_->SetPos(position);
}

void CTrace::OnAdapter(const PortInfo& port, int latencyMs)
{
    if (next_)
        next_->OnAdapter(port, latencyMs);
}

}  // namespace zq
