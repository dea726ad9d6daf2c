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

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

} // namespace

std::string IsoUtc(int64_t seconds)
{
    const int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    const int64_t rest = seconds - days * 86400;
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(y), m, d,
                  static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60),
                  static_cast<unsigned>(rest % 60));
    return text;
}

bool ParseIsoUtc(const std::string& text, int64_t& seconds)
{
    unsigned y, mo, d, h, mi, s;
    char z = 0;
    int used = 0;
    if (text.size() != 20 || std::sscanf(text.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u%c%n", &y, &mo, &d, &h, &mi, &s, &z,
                                         &used) != 7 || z != 'Z' || used != 20)
        return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        return false;
    seconds = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
    return true;
}

}  // namespace zq
