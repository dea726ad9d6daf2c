#include "release/Job.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

namespace zq {

namespace fs = std::filesystem;

namespace {

using Json = nlohmann::json;

std::string Resolve(const std::string& value, const std::string& folder)
{
    const fs::path p(value);
    return p.is_absolute() || folder.empty() ? value : (fs::path(folder) / p).lexically_normal().string();
}

// A word of the file in a refusal, quoted as JSON writes it: a newline or an
// ESC in a key or a label reaches the terminal as \n or \u001b, never as
// itself, so no file can forge a line of the tool's output or drive the
// terminal.
std::string Quoted(const std::string& word)
{
    return Json(word).dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool Text(const Json& object, const char* key, bool required, std::string& out, std::string& error)
{
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        if (required)
            error = std::string("\"") + key + "\" is missing";
        return !required;
    }
    if (!it->is_string() || it->get<std::string>().empty()) {
        error = std::string("\"") + key + "\" must be a non-empty string";
        return false;
    }
    out = it->get<std::string>();
    return true;
}

bool IsSha256(std::string& hex)
{
    if (hex.size() != 64)
        return false;
    for (char& c : hex) {
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

bool Slots(const Json& value, std::vector<JobSlot>& slots, std::string& error)
{
    if (!value.is_array()) {
        error = "\"slots\" must be a list of {\"port\", \"label\"}";
        return false;
    }
    std::set<std::string> ports, labels;
    for (size_t i = 0; i < value.size(); ++i) {
        const Json& s = value[i];
        const std::string where = "slot " + std::to_string(i + 1) + ": ";
        if (!s.is_object()) {
            error = where + "must be an object {\"port\", \"label\"}";
            return false;
        }
        for (const auto& member : s.items())
            if (member.key() != "port" && member.key() != "label") {
                error = where + "unknown key " + Quoted(member.key());
                return false;
            }
        JobSlot slot;
        if (!Text(s, "port", true, slot.port, error) || !Text(s, "label", false, slot.label, error)) {
            error = where + error;
            return false;
        }
        // One port is one slot, and a label must tell its slot from the others.
        if (!ports.insert(slot.port).second) {
            error = where + "port " + Quoted(slot.port) + " is already another slot's";
            return false;
        }
        if (!slot.label.empty() && !labels.insert(slot.label).second) {
            error = where + "label " + Quoted(slot.label) + " is already another slot's";
            return false;
        }
        slots.push_back(slot);
    }
    return true;
}

} // namespace

std::vector<std::string> Job::Ports() const
{
    std::vector<std::string> ports;
    for (const JobSlot& s : fixture)
        ports.push_back(s.port);
    return ports;
}

std::string SlotLabel(const std::vector<JobSlot>& fixture, const std::string& port)
{
    for (const JobSlot& s : fixture)
        if (s.port == port)
            return s.label;
    return std::string();
}

bool ParseJob(const std::string& text, const std::string& folder, Job& job, std::string& error)
{
    job = Job();
    Json j;
    try {
        j = Json::parse(text);
    } catch (const Json::exception& e) {
        // "[json.exception.parse_error.101] parse error at line 3, column 5: ...";
        // a number beyond a double ("units": 1e400) is out_of_range.406, not
        // a parse error, and must not end the program either.
        const std::string what = e.what();
        const size_t at = what.find("] ");
        error = "not JSON: " + (at == std::string::npos ? what : what.substr(at + 2));
        return false;
    }
    if (!j.is_object()) {
        error = "a job is one JSON object";
        return false;
    }
    // A misspelt key would silently drop what it was meant to fix (a lot's
    // size, the slots): every key must be one the station knows.
    static const std::set<std::string> kKeys = {"job",  "image", "sha256", "units", "station",
                                                "log",  "slots", "forward", "signer"};
    for (const auto& member : j.items())
        if (!kKeys.count(member.key())) {
            error = "unknown key " + Quoted(member.key());
            return false;
        }
    if (!Text(j, "job", true, job.name, error) || !Text(j, "image", true, job.image, error) ||
        !Text(j, "sha256", true, job.sha256, error) || !Text(j, "station", false, job.station, error) ||
        !Text(j, "log", false, job.log, error) || !Text(j, "signer", false, job.signer, error))
        return false;
    if (!IsSha256(job.sha256)) {
        error = "\"sha256\" must be 64 hex digits";
        return false;
    }
    if (j.contains("units") && !j["units"].is_null()) {
        const Json& u = j["units"];
        if (!u.is_number_integer() || u.get<int64_t>() < 1 || u.get<int64_t>() > 100000000) {
            error = "\"units\" must be a whole number of units, 1 or more";
            return false;
        }
        job.units = static_cast<unsigned>(u.get<int64_t>());
    }
    if (j.contains("slots") && !j["slots"].is_null() && !Slots(j["slots"], job.fixture, error))
        return false;
    if (j.contains("forward") && !j["forward"].is_null()) {
        const Json& f = j["forward"];
        if (!f.is_object()) {
            error = "\"forward\" must be an object {\"url\", \"token_file\"}";
            return false;
        }
        for (const auto& member : f.items())
            if (member.key() != "url" && member.key() != "token_file") {
                error = "forward: unknown key " + Quoted(member.key());
                return false;
            }
        if (!Text(f, "url", true, job.forward.url, error) ||
            !Text(f, "token_file", false, job.forward.tokenFile, error)) {
            error = "forward: " + error;
            return false;
        }
        job.forwards = true;
        if (!job.forward.tokenFile.empty())
            job.forward.tokenFile = Resolve(job.forward.tokenFile, folder);
    }
    job.image = Resolve(job.image, folder);
    if (!job.log.empty())
        job.log = Resolve(job.log, folder);
    return true;
}

bool ReadJob(const std::string& path, Job& job, std::vector<uint8_t>& bytes, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::error_code ec;
        error = path + (fs::exists(path, ec) ? ": cannot be read" : ": not found");
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    if (in.bad()) {
        error = path + ": cannot be read";
        return false;
    }
    bytes.assign(text.begin(), text.end());
    if (!ParseJob(text, fs::path(path).parent_path().string(), job, error)) {
        error = path + ": " + error;
        return false;
    }
    job.path = path;
    return true;
}

std::string JobText(const std::string& name, const std::string& image, const std::string& sha256,
                    unsigned units, const std::string& signer)
{
    // Keys in the order a person reads them, not nlohmann's sorted order.
    nlohmann::ordered_json j;
    j["job"] = name;
    j["image"] = image;
    j["sha256"] = sha256;
    if (units)
        j["units"] = units;
    if (!signer.empty())
        j["signer"] = signer;
    return j.dump(2) + "\n";
}

std::string PathFromFileFolder(const std::string& path, const std::string& from)
{
    std::error_code ec;
    const fs::path target = fs::absolute(path, ec);
    const fs::path folder = fs::absolute(from, ec).parent_path();
    const fs::path relative = target.lexically_relative(folder);
    if (ec || relative.empty())
        return fs::path(path).generic_string();
    return relative.generic_string();
}

}  // namespace zq
