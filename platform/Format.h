// printf into a std::string, for lines the programs print and the
// simulator's traces.
#pragma once

#include <cstdint>
#include <string>

namespace zq {

// mingw's printf checks default to the old C runtime's, which knows no %zu;
// the stdio the build links (mingw's own) does.
#if defined(__MINGW_PRINTF_FORMAT)
__attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#elif defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string Format(const char* format, ...);

// "1 session", "3 sessions", "0 sessions": a count with its noun agreeing.
// many: the plural where it is not one + "s" ("1 entry", "2 entries").
std::string Counted(unsigned long long n, const std::string& one, const std::string& many = std::string());

// Seconds since 1970 as UTC "2026-12-07T09:53:00Z", the one form of a time
// in the records and the release channel's metadata, and back: exactly that
// form, nothing before or after it.
std::string IsoUtc(int64_t unixSeconds);
bool ParseIsoUtc(const std::string& text, int64_t& unixSeconds);

}  // namespace zq
