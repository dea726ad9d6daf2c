#include "cli/InterruptMark.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace zq {

namespace {

// The temporary folder GetTempPath gives is the user's own (under the
// profile, writable by the user and the administrators alone), so no other
// user's mark and no planted link can be there.
std::filesystem::path Mark()
{
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
    return ec ? std::filesystem::path() : dir / "zerquill-flash.interrupted";
}

} // namespace

bool WriteInterruptMark(const std::string& text)
{
    const std::filesystem::path mark = Mark();
    if (mark.empty())
        return false;
    std::ofstream out(mark, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

bool ReadInterruptMark(std::string& text, std::chrono::seconds& age)
{
    const std::filesystem::path mark = Mark();
    std::error_code ec;
    if (mark.empty() || !std::filesystem::is_regular_file(mark, ec))
        return false;
    const auto written = std::filesystem::last_write_time(mark, ec);
    if (ec)
        return false;
    age = std::chrono::duration_cast<std::chrono::seconds>(std::filesystem::file_time_type::clock::now() - written);
    std::ifstream in(mark, std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return static_cast<bool>(in) || in.eof();
}

void RemoveInterruptMark()
{
    const std::filesystem::path mark = Mark();
    std::error_code ec;
    if (!mark.empty())
        std::filesystem::remove(mark, ec);
}

}  // namespace zq
