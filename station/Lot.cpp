#include "station/Lot.h"

#include "record/Record.h"

namespace zq {

LotCount CountLot(const Job& job, const std::string& recordPath, const std::string& sha256)
{
    LotCount lot;
    lot.units = job.units;
    if (lot.units && !recordPath.empty())
        lot.written = CountLotWritten(recordPath, job.name, sha256);
    return lot;
}

}  // namespace zq
