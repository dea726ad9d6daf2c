#include "station/RecordPlace.h"

#include <filesystem>
#include <system_error>

namespace zq {

const char* const kStationRecordName = "zerquill-station.jsonl";

std::string RecordBeside(const std::string& source)
{
    if (source.empty())
        return std::string();
    // Whole, so that the status line tells where the records go whatever
    // folder the program was started in.
    std::error_code ec;
    std::filesystem::path whole = std::filesystem::absolute(source, ec);
    if (ec)
        whole = source;
    return (whole.lexically_normal().parent_path() / kStationRecordName).string();
}

}  // namespace zq
