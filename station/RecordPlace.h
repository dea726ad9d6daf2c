// Where a station keeps its record when the operator named none and the job
// names none: beside the file it writes, in the system's own way of naming
// a folder.
#pragma once

#include <string>

namespace zq {

extern const char* const kStationRecordName; // "zerquill-station.jsonl"

// kStationRecordName in source's folder (source: a job or an image). With no
// source, beside the program where the system can tell its folder, else
// empty.
std::string RecordBeside(const std::string& source);

}  // namespace zq
