#include "record/YieldReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include <nlohmann/json.hpp>

#include "platform/Format.h"
#include "record/RecordSchema.h"

namespace zq {

namespace {

std::string Text(const nlohmann::json& record, const char* key)
{
    const auto it = record.find(key);
    return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// Nearest rank: the smallest value with at least p of them at or below it.
double Percentile(const std::vector<double>& sorted, double p)
{
    const size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::max<size_t>(rank, 1) - 1];
}

} // namespace

double YieldSlot::FailureRate() const
{
    const size_t ended = written + failed;
    return ended ? static_cast<double>(failed) / static_cast<double>(ended) : -1;
}

namespace {

struct Timed {
    int64_t start;
    std::string result;
};

void FillCauses(YieldReport& report, const std::map<std::string, size_t>& causeCounts,
                const std::map<std::string, std::map<std::string, size_t>>& causeTexts)
{
    for (const auto& entry : causeCounts) {
        YieldCause cause;
        cause.step = entry.first;
        cause.count = entry.second;
        size_t most = 0;
        for (const auto& text : causeTexts.at(entry.first))
            if (text.second > most) {
                most = text.second;
                cause.example = text.first;
            }
        report.causes.push_back(cause);
    }
    std::stable_sort(report.causes.begin(), report.causes.end(),
                     [](const YieldCause& a, const YieldCause& b) { return a.count > b.count; });
}

void FillDurations(YieldReport& report, std::vector<double>& durations)
{
    std::sort(durations.begin(), durations.end());
    report.timed = durations.size();
    if (!durations.empty()) {
        report.p50 = Percentile(durations, 0.50);
        report.p90 = Percentile(durations, 0.90);
        report.p95 = Percentile(durations, 0.95);
        report.maxSeconds = durations.back();
    }
}

// Buckets a chart can show side by side: the finest of these giving at
// most 48 of them over the span.
void FillOverTime(YieldReport& report, const std::vector<Timed>& times)
{
    if (!times.empty()) {
        const int64_t span = report.lastEnd - report.firstStart;
        for (const int64_t size : {60, 300, 900, 3600, 4 * 3600, 86400, 7 * 86400}) {
            report.bucketSeconds = size;
            if (span / size < 48)
                break;
        }
        // Floored, for a time before 1970 too: every record's bucket is at or after it.
        const int64_t origin =
            report.firstStart - (report.firstStart % report.bucketSeconds + report.bucketSeconds) % report.bucketSeconds;
        for (const Timed& t : times) {
            const size_t index = static_cast<size_t>((t.start - origin) / report.bucketSeconds);
            if (report.overTime.size() <= index)
                for (size_t i = report.overTime.size(); i <= index; ++i)
                    report.overTime.push_back({origin + static_cast<int64_t>(i) * report.bucketSeconds, 0, 0, 0});
            YieldBucket& b = report.overTime[index];
            if (t.result == result::success)
                ++b.written;
            else if (t.result == result::cancelled)
                ++b.cancelled;
            else
                ++b.failed;
        }
    }
}

// What the records add up to, before the figures are worked out from it.
struct Tally {
    std::map<std::string, YieldSlot> slots;
    std::map<std::string, std::map<std::string, size_t>> causeTexts; // step -> text -> count
    std::map<std::string, size_t> causeCounts;
    std::map<std::string, bool> firstAttempt; // unit -> written at its first attempt
    std::set<std::string> writtenUnits;
    std::vector<double> durations;
    std::vector<Timed> times;
};

// The unit a record is of: its USB device where it has a serial, else the
// station's id of it (the same on a retry), else the record itself.
std::string UnitOf(const nlohmann::json& record, size_t line)
{
    const auto usb = record.find(key::usb);
    if (usb != record.end() && usb->is_object() && !Text(*usb, key::usbSerial).empty())
        return Text(*usb, key::usbVendorId) + ":" + Text(*usb, key::usbProductId) + ":" + Text(*usb, key::usbSerial);
    if (!Text(record, key::unit).empty())
        return "unit " + Text(record, key::unit);
    return "record " + std::to_string(line);
}

void TallyRecord(const nlohmann::json& record, size_t line, YieldReport& report, Tally& tally)
{
    ++report.records;
    const std::string outcome = Text(record, key::result);
    ++report.results[outcome.empty() ? "unknown" : outcome];
    const bool success = outcome == result::success, cancelled = outcome == result::cancelled;

    std::string slot = Text(record, key::slot);
    if (slot.empty())
        slot = Text(record, key::port);
    YieldSlot& s = tally.slots[slot];
    s.name = slot;
    if (success)
        ++s.written;
    else if (cancelled)
        ++s.cancelled;
    else
        ++s.failed;

    if (!success && !cancelled) {
        const std::string step = Text(record, key::step).empty() ? "unknown" : Text(record, key::step);
        ++tally.causeCounts[step];
        ++tally.causeTexts[step][Text(record, key::cause)];
    }

    const std::string unit = UnitOf(record, line);
    const bool bySerial = unit.rfind("record ", 0) != 0 && unit.rfind("unit ", 0) != 0;
    if (!cancelled && tally.firstAttempt.emplace(unit, success).second && bySerial)
        ++report.unitsBySerial;
    if (success)
        tally.writtenUnits.insert(unit);

    const auto seconds = record.find(key::durationS);
    const double duration = seconds != record.end() && seconds->is_number() ? seconds->get<double>() : 0;
    if (success && seconds != record.end() && seconds->is_number())
        tally.durations.push_back(duration);
    int64_t start = 0;
    if (ParseIsoUtc(Text(record, key::time), start)) {
        // A clock that was never set writes 1970: a time like any other,
        // not "no time yet".
        const int64_t end = start + static_cast<int64_t>(std::llround(duration));
        report.firstStart = tally.times.empty() ? start : std::min(report.firstStart, start);
        report.lastEnd = tally.times.empty() ? end : std::max(report.lastEnd, end);
        tally.times.push_back({start, outcome});
    }
}

} // namespace

YieldReport ReadYieldReport(std::istream& in)
{
    YieldReport report;
    Tally tally;
    size_t line = 0;
    for (std::string text; std::getline(in, text);) {
        ++line;
        if (text.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        const nlohmann::json record = nlohmann::json::parse(text, nullptr, false);
        if (record.is_discarded() || !record.is_object())
            ++report.unreadable;
        else
            TallyRecord(record, line, report, tally);
    }

    report.units = tally.firstAttempt.size();
    for (const auto& unit : tally.firstAttempt)
        report.firstPass += unit.second ? 1 : 0;
    for (const std::string& unit : tally.writtenUnits)
        report.writtenAtLast += tally.firstAttempt.count(unit);
    for (auto& entry : tally.slots)
        report.slots.push_back(entry.second);
    FillCauses(report, tally.causeCounts, tally.causeTexts);

    const size_t written = report.results.count(result::success) ? report.results.at(result::success) : 0;
    if (report.lastEnd > report.firstStart)
        report.unitsPerHour = static_cast<double>(written) * 3600.0 /
                              static_cast<double>(report.lastEnd - report.firstStart);

    FillDurations(report, tally.durations);
    FillOverTime(report, tally.times);
    return report;
}

}  // namespace zq
