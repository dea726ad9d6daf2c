#include "Trace.h"

#include "Causes.h"

CTrace::CTrace(std::FILE* out, const CSerialLink& link)
    : out_(out), link_(link), start_(std::chrono::steady_clock::now())
{
}

std::string CTrace::Stamp() const
{
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%10.3f", ms);
    return buf;
}

void CTrace::OnOpen(const std::string& name, uint32_t baud, LinkStatus result)
{
    std::string text = Stamp() + " open " + name + " at " + std::to_string(baud) + " bit/s: ";
    text += result == LINK_OK ? "ok" : DescribePortError(link_.LastOpenError());
    std::fprintf(out_, "%s\n", text.c_str());
}

void CTrace::OnClose()
{
    std::fprintf(out_, "%s close\n", Stamp().c_str());
}

void CTrace::OnWrite(const uint8_t* bytes, size_t count) { Bytes("T>D", bytes, count); }

void CTrace::OnRead(const uint8_t* bytes, size_t count) { Bytes("D>T", bytes, count); }

// One write per event: a block of 128 bytes goes out as one piece, not as
// 128 small writes interleaved with whatever else shares the terminal.
void CTrace::Bytes(const char* direction, const uint8_t* bytes, size_t count)
{
    static const char kHex[] = "0123456789ABCDEF";
    constexpr size_t kPerLine = 32;
    std::string text = Stamp() + " " + direction;
    for (size_t i = 0; i < count; ++i) {
        if (i && i % kPerLine == 0)
            text += "\n              ";
        text += ' ';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 15];
    }
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), out_);
}
