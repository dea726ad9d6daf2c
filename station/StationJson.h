// The station's events as JSON objects, one a line: what --json prints on
// stdout and what a served station streams, in the same words.
#pragma once

#include <string>

#include "download/DownloadHost.h"
#include "station/StationSession.h"

namespace zq {

std::string FoundJson(const std::string& port);
std::string ProgressJson(const std::string& port, const StageReport& report);
std::string HintJson(const std::string& port, const std::string& hint);
// The record itself, with its event added.
std::string ResultJson(const std::string& record);
std::string SummaryJson(const StationTotals& totals);
// A served station's pause, resume and stop: {"event":"state","state":...}.
std::string StateJson(const std::string& state);

}  // namespace zq
