#include "platform/Format.h"

#include <cstdarg>
#include <cstdio>

namespace zq {

std::string Format(const char* format, ...)
{
    // A cause with a long path in it outgrows any fixed buffer: measured
    // first, then written whole.
    char small[256];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        return std::string();
    }
    if (size_t(length) < sizeof small) {
        va_end(again);
        return std::string(small, size_t(length));
    }
    std::string out(size_t(length) + 1, '\0');
    std::vsnprintf(&out[0], out.size(), format, again);
    va_end(again);
    out.resize(size_t(length));
    return out;
}

std::string Counted(unsigned long long n, const std::string& one, const std::string& many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many.empty() ? one + "s" : many);
}

}  // namespace zq
