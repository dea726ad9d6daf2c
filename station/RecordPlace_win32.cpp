#include "station/RecordPlace.h"

#include "image/ModulePath.h"

namespace zq {

const char* const kStationRecordName = "zerquill-station.jsonl";

std::string RecordBeside(const std::string& source)
{
    // FolderOf walks the system's code page: a double-byte name's trail byte
    // is never taken for a backslash.
    return FolderOf(source.empty() ? ExecutablePath() : source) + "\\" + kStationRecordName;
}

}  // namespace zq
