// The yield of a record file: what a line's engineer asks of a shift without
// reading JSON. Figures only; the command line prints them, as text or as a
// page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

namespace zq {

struct YieldSlot {
    std::string name; // the record's slot label, else its port
    size_t written = 0, failed = 0, cancelled = 0;
    // failed of those that ended by themselves (cancelled ones did not); -1 with none
    double FailureRate() const;
};

struct YieldCause {
    std::string step;    // the record's step: the kind of failure
    std::string example; // the cause text most often seen with it
    size_t count = 0;
};

struct YieldBucket {
    int64_t start = 0; // unix seconds
    size_t written = 0, failed = 0, cancelled = 0;
};

struct YieldReport {
    size_t records = 0;    // lines that were records
    size_t unreadable = 0; // lines that were not (a torn last line)
    std::map<std::string, size_t> results; // "success", "fail", "cancelled", ...
    // A unit is a device told by its USB vendor, product and serial where
    // the record has a serial, else the record itself. Its first attempt that
    // was not cancelled decides the first pass.
    size_t units = 0, firstPass = 0, writtenAtLast = 0, unitsBySerial = 0;
    std::vector<YieldSlot> slots;   // by name
    std::vector<YieldCause> causes; // most frequent first
    int64_t firstStart = 0, lastEnd = 0; // unix seconds; 0 without times
    double unitsPerHour = -1;            // successes over that span; -1 when it is empty
    // Of successful downloads (a failure's duration says where it stopped).
    size_t timed = 0;
    double p50 = 0, p90 = 0, p95 = 0, maxSeconds = 0;
    int64_t bucketSeconds = 0;
    std::vector<YieldBucket> overTime;

    double FirstPassYield() const { return units ? static_cast<double>(firstPass) / units : -1; }
};

YieldReport ReadYieldReport(std::istream& records);


}  // namespace zq
