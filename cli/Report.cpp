#include "cli/Report.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <vector>

#include <nlohmann/json.hpp>

#include "record/Record.h"
#include "record/RecordSchema.h"
#include "record/YieldReport.h"
#include "platform/Format.h"

extern const unsigned char kChartJs[];
extern const size_t kChartJsSize;

namespace zq {


namespace {

std::string Format(const char* format, double value)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

std::string Percent(double share) { return share < 0 ? std::string("-") : Format("%.1f%%", 100 * share); }

std::string Seconds(double s) { return Format("%.1f s", s); }

std::string Share(size_t part, size_t whole)
{
    return whole ? Percent(static_cast<double>(part) / static_cast<double>(whole)) : std::string("-");
}

size_t Failures(const YieldReport& r)
{
    size_t n = 0;
    for (const YieldCause& c : r.causes)
        n += c.count;
    return n;
}

// The figures as rows of text, shared by the terminal and the page.
struct Tables {
    std::vector<std::pair<std::string, std::string>> summary;
    std::vector<std::vector<std::string>> slots, causes;
};

Tables MakeTables(const YieldReport& r)
{
    Tables t;
    std::string results;
    std::map<std::string, size_t> others = r.results;
    for (const char* known : {result::success, result::fail, result::cancelled})
        if (others.count(known)) {
            results += (results.empty() ? "" : ", ") + std::to_string(others[known]) + " " + known;
            others.erase(known);
        }
    for (const auto& entry : others)
        results += (results.empty() ? "" : ", ") + std::to_string(entry.second) + " " + entry.first;
    t.summary.push_back({"records", std::to_string(r.records) +
                                        (r.unreadable ? " (" + Counted(r.unreadable, "line") +
                                                        " not read: no JSON object)"
                                                      : "")});
    if (!r.overTime.empty()) // the records had times
        t.summary.push_back({"span", IsoUtc(r.firstStart) + " to " + IsoUtc(r.lastEnd)});
    t.summary.push_back({"results", results.empty() ? "-" : results});
    t.summary.push_back({"first-pass yield",
                         Percent(r.FirstPassYield()) + " (" + std::to_string(r.firstPass) + " of " +
                             Counted(r.units, "unit") + " written at their first attempt; " +
                             std::to_string(r.unitsBySerial) + " told apart by USB serial, the others by the station that flashed them)"});
    t.summary.push_back({"written in the end", std::to_string(r.writtenAtLast) + " of " +
                                                   Counted(r.units, "unit") + " (" + Share(r.writtenAtLast, r.units) + ")"});
    t.summary.push_back({"units per hour", r.unitsPerHour < 0 ? std::string("-")
                                                              : Format("%.1f", r.unitsPerHour) + " (written, over the span)"});
    t.summary.push_back({"duration (written)", r.timed ? "p50 " + Seconds(r.p50) + ", p90 " + Seconds(r.p90) + ", p95 " +
                                                             Seconds(r.p95) + ", max " + Seconds(r.maxSeconds) + " (" +
                                                             Counted(r.timed, "download") + ")"
                                                       : std::string("-")});
    t.slots.push_back({"PORT OR SLOT", "WRITTEN", "FAILED", "FAILURE RATE"});
    for (const YieldSlot& s : r.slots)
        t.slots.push_back({s.name, std::to_string(s.written), std::to_string(s.failed), Percent(s.FailureRate())});
    t.causes.push_back({"FAILURES", "SHARE", "STEP", "MOST OFTEN"});
    const size_t failures = Failures(r);
    for (size_t i = 0; i < r.causes.size() && i < 10; ++i) {
        const YieldCause& c = r.causes[i];
        t.causes.push_back({std::to_string(c.count), Share(c.count, failures), c.step, c.example});
    }
    return t;
}

void PrintTable(const std::vector<std::vector<std::string>>& rows)
{
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    for (const auto& row : rows) {
        std::string line = "  ";
        for (size_t c = 0; c < row.size(); ++c) {
            // Numbers to the right, names to the left.
            const bool number = &row != &rows[0] && !row[c].empty() && c + 1 < row.size() &&
                                row[c].find_first_not_of("0123456789.%-") == std::string::npos;
            const std::string pad(widths[c] - row[c].size(), ' ');
            line += number ? pad + row[c] : row[c] + (c + 1 < row.size() ? pad : std::string());
            if (c + 1 < row.size())
                line += "  ";
        }
        std::printf("%s\n", line.c_str());
    }
}

std::string Escape(const std::string& s)
{
    std::string out;
    for (const char c : s) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string HtmlTable(const std::vector<std::vector<std::string>>& rows)
{
    std::string html = "<table>";
    for (size_t r = 0; r < rows.size(); ++r) {
        html += "<tr>";
        for (const std::string& cell : rows[r])
            html += (r ? "<td>" : "<th>") + Escape(cell) + (r ? "</td>" : "</th>");
        html += "</tr>\n";
    }
    return html + "</table>\n";
}

std::string Page(const std::string& logPath, const YieldReport& r, const Tables& t)
{
    nlohmann::json data;
    for (const YieldBucket& b : r.overTime) {
        data["time"].push_back(IsoUtc(b.start).substr(0, 16).replace(10, 1, " "));
        data["written"].push_back(b.written);
        data["failed"].push_back(b.failed);
        data["cancelled"].push_back(b.cancelled);
    }
    for (const YieldSlot& s : r.slots) {
        data["slot"].push_back(s.name);
        data["slotFailed"].push_back(s.failed);
        data["slotWritten"].push_back(s.written);
    }
    for (const YieldCause& c : r.causes) {
        data["cause"].push_back(StepWords(c.step));
        data["causeCount"].push_back(c.count);
    }
    // Inside a script element "</" would end it.
    std::string json = data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    for (size_t at = 0; (at = json.find("</", at)) != std::string::npos; at += 3)
        json.replace(at, 2, "<\\/");

    std::string summary = "<table class=\"summary\">";
    for (const auto& row : t.summary)
        summary += "<tr><th>" + Escape(row.first) + "</th><td>" + Escape(row.second) + "</td></tr>\n";
    summary += "</table>\n";
    const std::string bucket = r.bucketSeconds >= 86400 ? std::to_string(r.bucketSeconds / 86400) + " d"
                               : r.bucketSeconds >= 3600 ? std::to_string(r.bucketSeconds / 3600) + " h"
                                                         : std::to_string(r.bucketSeconds / 60) + " min";
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>Yield of " + Escape(logPath) +
        "</title>\n<style>\nbody{font-family:sans-serif;margin:2em;color:#222}\n"
        "table{border-collapse:collapse;margin:0.5em 0 1.5em}\nth,td{border:1px solid #ccc;padding:0.25em "
        "0.6em;text-align:left}\nth{background:#f0f0f0}\n.summary th{width:12em}\n"
        ".charts{display:grid;grid-template-columns:1fr 1fr;gap:1.5em}\n.wide{grid-column:1 / span 2}\n"
        "canvas{max-height:320px}\n</style>\n</head><body>\n<h1>Yield of " + Escape(logPath) + "</h1>\n" + summary +
        "<div class=\"charts\">\n<div class=\"wide\"><h2>Results over time (per " + bucket +
        ")</h2><canvas id=\"time\"></canvas></div>\n"
        "<div><h2>Failures by port or slot</h2><canvas id=\"slots\"></canvas></div>\n"
        "<div><h2>Causes</h2><canvas id=\"causes\"></canvas></div>\n</div>\n<h2>Per port or slot</h2>\n" +
        HtmlTable(t.slots) + "<h2>Leading causes</h2>\n" + HtmlTable(t.causes) + "<script>\n";
    page.append(reinterpret_cast<const char*>(kChartJs), kChartJsSize);
    page += "\n</script>\n<script>\nconst data = " + json +
            ";\n"
            "const green = '#2e7d32', red = '#c62828', grey = '#9e9e9e';\n"
            "const stacked = {responsive: true, animation: false, scales: {x: {stacked: true}, y: {stacked: true, "
            "beginAtZero: true, ticks: {precision: 0}}}};\n"
            "new Chart(document.getElementById('time'), {type: 'bar', options: stacked, data: {labels: data.time || [], "
            "datasets: [\n"
            "  {label: 'success', data: data.written || [], backgroundColor: green},\n"
            "  {label: 'fail', data: data.failed || [], backgroundColor: red},\n"
            "  {label: 'cancelled', data: data.cancelled || [], backgroundColor: grey}]}});\n"
            "new Chart(document.getElementById('slots'), {type: 'bar', options: stacked, data: {labels: data.slot || [], "
            "datasets: [\n"
            "  {label: 'fail', data: data.slotFailed || [], backgroundColor: red},\n"
            "  {label: 'success', data: data.slotWritten || [], backgroundColor: green}]}});\n"
            "new Chart(document.getElementById('causes'), {type: 'bar', options: {responsive: true, animation: false, "
            "indexAxis: 'y', plugins: {legend: {display: false}}, scales: {x: {beginAtZero: true, ticks: {precision: "
            "0}}}}, data: {labels: data.cause || [], datasets: [{label: 'failures', data: data.causeCount || [], "
            "backgroundColor: red}]}});\n"
            "</script>\n</body></html>\n";
    return page;
}

} // namespace

bool YieldPage(const std::string& logPath, std::string& page)
{
    std::ifstream in(logPath, std::ios::binary);
    if (!in)
        return false;
    const YieldReport report = ReadYieldReport(in);
    page = Page(logPath, report, MakeTables(report));
    return true;
}

int PrintYieldReport(const std::string& logPath, const std::string& htmlPath)
{
    std::ifstream in(logPath, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "zerquill-flash: --report: cannot read %s\n", logPath.c_str());
        return 2;
    }
    const YieldReport report = ReadYieldReport(in);
    const Tables tables = MakeTables(report);
    std::printf("yield of %s\n", logPath.c_str());
    for (const auto& row : tables.summary)
        std::printf("  %-20s %s\n", (row.first + ":").c_str(), row.second.c_str());
    std::printf("\nper port or slot:\n");
    PrintTable(tables.slots);
    std::printf("\nleading causes:\n");
    if (report.causes.empty())
        std::printf("  none: no download failed\n");
    else
        PrintTable(tables.causes);
    if (htmlPath.empty())
        return 0;
    std::ofstream page(htmlPath, std::ios::binary | std::ios::trunc);
    page << Page(logPath, report, tables);
    page.close();
    if (!page) {
        std::fprintf(stderr, "zerquill-flash: --html: cannot write %s\n", htmlPath.c_str());
        return 2;
    }
    std::printf("\npage: %s\n", htmlPath.c_str());
    return 0;
}

}  // namespace zq
