#include "station/StationJson.h"

#include <ctime>

#include <nlohmann/json.hpp>

#include "record/Record.h"
#include "record/RecordSchema.h"
#include "platform/Format.h"

namespace zq {

namespace {

// What each line is: its "event", and the words it takes.
namespace jsonEvent {
constexpr char key[] = "event";
constexpr char found[] = "found";
constexpr char progress[] = "progress";
constexpr char hint[] = "hint";
constexpr char result[] = "result";
constexpr char summary[] = "summary";
constexpr char state[] = "state";
} // namespace jsonEvent

std::string Dump(const nlohmann::json& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

} // namespace

std::string FoundJson(const std::string& port)
{
    return Dump({{jsonEvent::key, jsonEvent::found}, {key::time, IsoUtc(std::time(nullptr))}, {key::port, port}});
}

std::string ProgressJson(const std::string& port, const StageReport& report)
{
    return Dump({{jsonEvent::key, jsonEvent::progress},
                 {key::port, port},
                 {"phase", StageWord(report.stage)},
                 {"block", report.done},
                 {"blocks", report.blocks},
                 {"refused", report.refused}});
}

std::string HintJson(const std::string& port, const std::string& hint)
{
    return Dump({{jsonEvent::key, jsonEvent::hint}, {key::port, port}, {"text", hint}});
}

std::string ResultJson(const std::string& record)
{
    nlohmann::json event = nlohmann::json::parse(record);
    event[jsonEvent::key] = jsonEvent::result;
    return Dump(event);
}

std::string SummaryJson(const StationTotals& totals)
{
    return Dump({{jsonEvent::key, jsonEvent::summary},
                 {"devices", totals.devices},
                 {"downloads", totals.Downloads()},
                 {"written", totals.written},
                 {"failed", totals.failed},
                 {"cancelled", totals.cancelled},
                 {"unrecorded", totals.unrecorded}});
}

std::string StateJson(const std::string& state)
{
    return Dump({{jsonEvent::key, jsonEvent::state}, {"state", state}});
}

}  // namespace zq
