// A job's lot as a station counts it: from its record file, so that the
// count holds across restarts and a station that starts again does not write
// more than the lot. The windows' board and the command line count it here.
#pragma once

#include <string>

#include "release/Job.h"

namespace zq {

struct LotCount {
    unsigned units = 0;   // 0: no lot
    unsigned written = 0; // of this job's image, in the record

    bool Complete() const { return units && written >= units; }
    unsigned Left() const { return written < units ? units - written : 0; }
};
// Nothing is read without a lot or a record.
LotCount CountLot(const Job& job, const std::string& recordPath, const std::string& sha256);

}  // namespace zq
