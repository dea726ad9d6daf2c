#include "cli/Trace.h"

#include <cstring>

#include "download/Causes.h"

namespace zq {


namespace {

const char kToDevice[] = "T>D";
const char kToTool[] = "D>T";
constexpr size_t kTokenSize = sizeof(Token::b);

bool StartsToken(const uint8_t* bytes, size_t count)
{
    for (const Token& t : kTokens)
        if (std::memcmp(t.b, bytes, count) == 0)
            return true;
    return false;
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

bool Is(const Token& token, const Token& which) { return std::memcmp(token.b, which.b, kTokenSize) == 0; }

} // namespace

CTrace::CTrace(std::FILE* out, const CSerialLink& link) : out_(out), link_(link), start_(Clock::now()) {}

CTrace::~CTrace() { Release(); }

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
    Release();
    block_ = 0;
    blockAnswerDue_ = blockAgain_ = false;
    word_ = 0;
    wordSent_ = echoHeard_ = false;
    clearing_ = false;
    std::string text = "open " + name + " at " + std::to_string(baud) + " bit/s: ";
    text += result == LINK_OK ? "ok" : DescribePortError(link_.LastOpenError());
    Line(Clock::now(), nullptr, text);
}

void CTrace::OnClose()
{
    Release();
    Line(Clock::now(), nullptr, "close");
}

void CTrace::OnWrite(const uint8_t* bytes, size_t count)
{
    const Clock::time_point now = Clock::now();
    if (count == 1) {
        WriteOne(bytes[0], now);
        return;
    }
    Release();
    if (count == kBlockSize) {
        blockHeld_ = true;
        blockAt_ = now;
        return;
    }
    Line(now, kToDevice, Named(bytes, count));
}

void CTrace::WriteOne(uint8_t b, Clock::time_point now)
{
    char text[80];
    if (blockHeld_) {
        blockHeld_ = false;
        blockAnswerDue_ = true;
        std::snprintf(text, sizeof text, "block %u: %u bytes, checksum 0x%02X%s", static_cast<unsigned>(block_),
                      static_cast<unsigned>(kBlockSize), b, blockAgain_ ? " (again)" : "");
        Line(blockAt_, kToDevice, text);
        return;
    }
    if (word_) {
        if (wordSent_ && echoHeard_) {
            // An echo came, so the tool answers it before sending again.
            Release();
            wordSent_ = echoHeard_ = false;
            if (b == ACK)
                word_ = word_ == 1 ? 2 : 0;
            Line(now, kToDevice, Named(&b, 1));
            return;
        }
        if (heldCount_ == 0) {
            Hold(b, now);
            return;
        }
        const unsigned value = held_[0] | b << 8;
        if (word_ == 1)
            std::snprintf(text, sizeof text, "%02X %02X (header word 0x%04X)", held_[0], b, value);
        else
            std::snprintf(text, sizeof text, "%02X %02X (block count %u)", held_[0], b, value);
        heldCount_ = 0;
        wordSent_ = true;
        echoHeard_ = false;
        Line(heldAt_, kToDevice, text);
        return;
    }
    held_[heldCount_] = b;
    if (StartsToken(held_, heldCount_ + 1)) {
        Hold(b, now);
        if (const Token* t = WholeToken(held_, heldCount_)) {
            heldCount_ = 0;
            word_ = Is(*t, kDbw) ? 1 : 0;
            clearing_ = Is(*t, kClr);
            Line(heldAt_, kToDevice, t->name);
        }
        return;
    }
    Release(); // the bytes held were no command after all
    if (StartsToken(&b, 1))
        Hold(b, now);
    else
        Line(now, kToDevice, Named(&b, 1));
}

void CTrace::Hold(uint8_t b, Clock::time_point now)
{
    if (heldCount_ == 0)
        heldAt_ = now;
    held_[heldCount_++] = b;
}

void CTrace::Release()
{
    if (blockHeld_) {
        blockHeld_ = false;
        char text[64];
        std::snprintf(text, sizeof text, "block %u: %u bytes, no checksum", static_cast<unsigned>(block_),
                      static_cast<unsigned>(kBlockSize));
        Line(blockAt_, kToDevice, text);
    }
    if (heldCount_) {
        Line(heldAt_, kToDevice, Hex(held_, heldCount_));
        heldCount_ = 0;
    }
}

void CTrace::OnRead(const uint8_t* bytes, size_t count)
{
    const Clock::time_point now = Clock::now();
    Release();
    if (wordSent_) {
        // An echo: the word's bytes, whatever they look like.
        echoHeard_ = true;
        Line(now, kToTool, Hex(bytes, count));
        return;
    }
    if (clearing_) {
        // The device's progress bytes may take any value but ACK's.
        const bool ack = count == 1 && bytes[0] == ACK;
        clearing_ = !ack;
        Line(now, kToTool, ack ? Named(bytes, count) : Hex(bytes, count));
        return;
    }
    if (blockAnswerDue_) {
        blockAnswerDue_ = false;
        blockAgain_ = bytes[0] != ACK;
        if (!blockAgain_)
            ++block_;
    }
    Line(now, kToTool, Named(bytes, count));
}

}  // namespace zq
