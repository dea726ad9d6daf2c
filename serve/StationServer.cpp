#include "serve/StationServer.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <sys/stat.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "protocol/Protocol.h"
#include "record/Record.h"
#include "serve/BoundedServer.h"
#include "station/StationJson.h"
#include "platform/Format.h"

extern const unsigned char kStationPage[];
extern const size_t kStationPageSize;

namespace zq {

namespace {

// At most this many event streams, each holding a thread while it lasts;
// the rest of the threads answer everything else.
constexpr size_t kMaxStreams = 32;
// What a client holds of the server at once, by its address: connections
// (a browser keeps some six, a proxy in front of the station more), and
// requests being read or answered, streams aside. A request takes a thread
// from its first byte; the threads are the streams' and two addresses'
// shares, so that one address cannot take them all whatever its streams.
constexpr ConnectionBounds kConnectionBounds{kMaxStreams + 2 * 8, 512, 64, 8, std::chrono::milliseconds(5000)};
// Events a stream may fall behind by before it is dropped.
constexpr size_t kStreamQueue = 512;
// A quiet stream says it is alive this often, so that proxies keep it.
constexpr int kKeepAliveMs = 15000;
// At a stop, the streams' time to send what is left (the summary last)
// before the server goes; a client that stopped reading gets no longer.
constexpr int kStreamsEndMs = 2000;
constexpr auto kProgressEvery = std::chrono::milliseconds(100);
// A client that sends nothing of its request for this long is cut off,
// and so is one whose request, from its first byte, takes longer or is
// larger than kRequestBounds allow (a browser's is some 1 KiB).
constexpr time_t kReadTimeoutS = 5;
constexpr time_t kWriteTimeoutS = 5;
constexpr RequestBounds kRequestBounds{std::chrono::milliseconds(5000), 32 * 1024};
// Only pause and resume take a body, and they need none.
constexpr size_t kMaxBody = 1024;
// How often the board is drained while no one asks.
constexpr auto kDrainEvery = std::chrono::milliseconds(200);

const char* const kJson = "application/json";

std::string Dump(const nlohmann::json& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

// As long as the token, whatever the guess: the time taken tells nothing of
// how much of it was right.
bool SameToken(const std::string& given, const std::string& token)
{
    unsigned diff = given.size() != token.size() ? 1u : 0u;
    for (size_t i = 0; i < token.size(); ++i)
        diff |= unsigned(uint8_t(token[i]) ^ uint8_t(i < given.size() ? given[i] : 0));
    return diff == 0;
}

// The credentials of "Authorization: Bearer TOKEN": the scheme's name in
// any case (HTTP's schemes are), then one space or more.
bool BearerToken(const std::string& header, std::string& token)
{
    const std::string scheme = "bearer";
    if (header.size() <= scheme.size() || header[scheme.size()] != ' ')
        return false;
    for (size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(header[i])) != scheme[i])
            return false;
    const size_t from = header.find_first_not_of(' ', scheme.size());
    token = from == std::string::npos ? std::string() : header.substr(from);
    return true;
}

// Which file is at path and how it stands: another inode, size, or time
// of change is another state; empty without one.
std::string FileState(const std::string& path)
{
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return std::string();
    char text[160];
    std::snprintf(text, sizeof text, "%ju:%ju:%jd:%jd.%09ld:%jd.%09ld", uintmax_t(st.st_dev), uintmax_t(st.st_ino),
                  intmax_t(st.st_size), intmax_t(st.st_mtim.tv_sec), st.st_mtim.tv_nsec, intmax_t(st.st_ctim.tv_sec),
                  st.st_ctim.tv_nsec);
    return text;
}

nlohmann::json TileJson(const TileView& tile)
{
    nlohmann::json j = {{"port", tile.port.name},
                        {"label", tile.label},
                        {"state", TileStateName(tile.state)},
                        {"words", TileWords(tile.state)},
                        {"block", tile.progress.done},
                        {"blocks", tile.progress.blocks},
                        {"bytes_per_s", tile.progress.bytesPerS},
                        {"note", tile.note},
                        {"written", tile.written},
                        {"failed", tile.failed},
                        {"retryable", tile.Retryable()},
                        {"last_s", nullptr}};
    if (tile.ended)
        j["last_s"] = tile.lastSeconds;
    return j;
}

} // namespace

CStationServer::CStationServer(ServeSetup setup, SessionEvents& next)
    : setup_(std::move(setup)), next_(next), board_(nullptr), tally_(kBlockSize), hub_(kMaxStreams, kStreamQueue)
{
    board_.Mirror(setup_.job, setup_.image ? setup_.image->blocks : 0, setup_.lotWritten);
}

CStationServer::~CStationServer()
{
    hub_.End(kStreamsEndMs);
    if (server_)
        server_->Stop();
    if (listener_.joinable())
        listener_.join();
    {
        std::lock_guard<std::mutex> lock(drainMutex_);
        ending_ = true;
    }
    drainWake_.notify_all();
    if (drainer_.joinable())
        drainer_.join();
}

// The session's events, on the station's threads: the view first, as if
// nothing else listened.

void CStationServer::OnPort(const PortInfo& port, PortPhase phase)
{
    next_.OnPort(port, phase);
    board_.Events().OnPort(port, phase);
}

void CStationServer::OnFound(const std::string& port, const StationTotals& totals)
{
    next_.OnFound(port, totals);
    tally_.Progress(port, 0);
    board_.Events().OnFound(port, totals);
    hub_.Publish("found", FoundJson(port));
    TellStatus(&totals);
}

bool CStationServer::ProgressDue(const std::string& port, const StageReport& report)
{
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(progressMutex_);
    const auto it = progressSent_.find(port);
    if (it != progressSent_.end() && it->second.first == report.stage && now - it->second.second < kProgressEvery)
        return false;
    progressSent_[port] = {report.stage, now};
    return true;
}

void CStationServer::OnProgress(const std::string& port, const StageReport& report)
{
    next_.OnProgress(port, report);
    tally_.Progress(port, report.done);
    board_.Events().OnProgress(port, report);
    if (ProgressDue(port, report))
        hub_.Publish("progress", ProgressJson(port, report));
}

void CStationServer::OnHint(const std::string& port, const std::string& hint)
{
    next_.OnHint(port, hint);
    board_.Events().OnHint(port, hint);
    hub_.Publish("hint", HintJson(port, hint));
}

void CStationServer::OnEnded(const DeviceEnding& ending)
{
    next_.OnEnded(ending);
    tally_.Ended(ending.outcome);
    board_.Events().OnEnded(ending);
    {
        std::lock_guard<std::mutex> lock(progressMutex_);
        progressSent_.erase(ending.outcome.port);
    }
    hub_.Publish("result", ResultJson(ending.record));
    TellStatus(&ending.totals);
}

void CStationServer::TellStatus(const StationTotals* totals)
{
    std::lock_guard<std::mutex> lock(totalsMutex_);
    if (totals)
        totals_ = *totals;
    notice_.Status(ServiceStatus(totals_, session_ && session_->Paused()));
}

void CStationServer::Steer(StationOptions& options)
{
    // The tiles in the station's order, as the windows' board has them: the
    // ports as named, or the system's list each time the station reads it
    // (an adapter plugged in takes its place in the list, not the last).
    if (!options.ports.empty()) {
        std::vector<PortInfo> named;
        for (const std::string& name : options.ports)
            named.push_back(PortInfo{name});
        board_.StationListed(named);
    } else {
        options.portSource = board_.ListedHere(options.portSource);
    }
    if (!notice_.BeatMs())
        return;
    options.beatMs = notice_.BeatMs();
    options.beat = [this] { notice_.Beat(); };
}

void CStationServer::TellStopping()
{
    if (toldStopping_.exchange(true))
        return;
    notice_.Stopping();
    hub_.Publish("state", StateJson("stopping"));
}

// The station has ended: whatever ended it, it serves only until it exits.
void CStationServer::Summary(const StationTotals& totals)
{
    TellStopping();
    hub_.Publish("summary", SummaryJson(totals));
}

void CStationServer::OnForwarding(const std::string& text)
{
    next_.OnForwarding(text);
    board_.Events().OnForwarding(text);
}

size_t CStationServer::Pending() const
{
    if (setup_.pending)
        return setup_.pending();
    return session_ ? session_->ForwardPending() : 0;
}

void CStationServer::Drain()
{
    board_.Drain();
}

std::string CStationServer::State() const
{
    if (toldStopping_ || (setup_.stop && setup_.stop->load()))
        return "stopping";
    return session_ && session_->Paused() ? "paused" : "running";
}

std::string CStationServer::Status()
{
    nlohmann::json j;
    j["station"] = setup_.station;
    j["version"] = setup_.version;
    j["state"] = State();
    // Whether it takes commands at all: a page offers none to a station
    // started without a token rather than ask for one it cannot take.
    j["commands"] = !setup_.token.empty();
    // A channel's station writes the release in force, not the first.
    const std::shared_ptr<const StationRelease> release = session_ ? session_->Release() : nullptr;
    const ImageSnapshot* image = release ? &release->image : setup_.image;
    j["image"] = {{"path", image ? image->path : ""},
                  {"sha256", image ? image->sha256 : ""},
                  {"blocks", image ? image->blocks : 0}};
    std::lock_guard<std::mutex> lock(boardMutex_);
    Drain();
    const Job* job = board_.RunJob();
    j["job"] = nullptr;
    // Null for a job whose release was not checked, as in its records.
    const auto orNull = [](const std::string& text) { return text.empty() ? nlohmann::json() : nlohmann::json(text); };
    if (job)
        j["job"] = {{"name", job->name}, {"units", job->units}, {"written", board_.LotWritten()},
                    {"signed_by", orNull(setup_.signedBy)}, {"released_by", orNull(setup_.releasedBy)}};
    const StationTotals& t = board_.Totals();
    j["totals"] = {{"written", t.written}, {"failed", t.failed}, {"cancelled", t.cancelled},
                   {"in_flight", t.inFlight}, {"devices", t.devices}};
    j["forward"] = {{"pending", Pending()}};
    j["channel"] = nullptr;
    if (setup_.channel) {
        const ServedChannel c = setup_.channel();
        const auto when = [](int64_t t) { return t ? nlohmann::json(IsoUtc(t)) : nlohmann::json(); };
        j["channel"] = {{"url", c.url}, {"version", c.version ? nlohmann::json(c.version) : nlohmann::json()},
                        {"job", orNull(c.job)}, {"expires", when(c.expires)}, {"checked", when(c.checked)},
                        {"error", orNull(c.error)}};
    }
    j["alert"] = board_.Alert();
    j["ports"] = nlohmann::json::array();
    for (const std::string& name : board_.Order())
        if (const TileView* tile = board_.Find(name))
            j["ports"].push_back(TileJson(*tile));
    return Dump(j);
}

std::string CStationServer::Metrics()
{
    MetricsView view;
    view.station = setup_.station;
    view.state = State();
    view.recordsPending = Pending();
    if (setup_.channel) {
        const ServedChannel c = setup_.channel();
        view.channel = true;
        view.releaseVersion = c.version;
        view.releaseExpires = c.expires;
        view.channelConfirmed = c.confirmed;
    }
    {
        std::lock_guard<std::mutex> lock(boardMutex_);
        Drain();
        view.totals = board_.Totals();
        if (const Job* job = board_.RunJob()) {
            view.lotUnits = job->units;
            view.lotWritten = board_.LotWritten();
        }
        for (const std::string& name : board_.Order())
            if (const TileView* tile = board_.Find(name))
                ++view.ports[TileStateName(tile->state)];
    }
    return tally_.Text(view);
}

bool CStationServer::Allowed(const httplib::Request& request, httplib::Response& response) const
{
    if (setup_.token.empty()) {
        response.status = 403;
        response.set_content(Dump({{"error", "this station takes no commands: it was started without "
                                             "--serve-token-file"}}), kJson);
        return false;
    }
    std::string given;
    if (!BearerToken(request.get_header_value("Authorization"), given) || !SameToken(given, setup_.token)) {
        response.status = 401;
        response.set_header("WWW-Authenticate", "Bearer");
        response.set_content(Dump({{"error", "a bearer token is needed, and this one is not the station's"}}), kJson);
        return false;
    }
    return true;
}

void CStationServer::Command(const httplib::Request& request, httplib::Response& response, bool pause)
{
    if (!Allowed(request, response))
        return;
    session_->Pause(pause);
    const std::string state = State();
    hub_.Publish("state", StateJson(state));
    TellStatus(nullptr);
    response.set_content(Dump({{"state", state}}), kJson);
}

// POST /api/v1/retry?port=NAME: the unit held on that port is flashed again
// at its next beacon, as a tile's Retry does.
void CStationServer::Retry(const httplib::Request& request, httplib::Response& response)
{
    if (!Allowed(request, response))
        return;
    const std::string port = request.get_param_value("port");
    bool retried = false;
    {
        std::lock_guard<std::mutex> lock(boardMutex_);
        Drain();
        const TileView* tile = board_.Find(port);
        retried = tile && tile->Retryable() && !board_.Retry(port).tiles.empty();
    }
    if (!retried) {
        response.status = 409;
        response.set_content(Dump({{"error", "no unit waits for a retry on \"" + port + "\""}}), kJson);
        return;
    }
    response.set_content(Dump({{"retried", port}}), kJson);
}

void CStationServer::Route()
{
    httplib::Server& s = *server_;
    s.Get("/api/v1/station", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(Status(), kJson);
    });
    s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(Metrics(), "text/plain; version=0.0.4");
    });
    s.Post("/api/v1/pause", [this](const httplib::Request& req, httplib::Response& res) { Command(req, res, true); });
    s.Post("/api/v1/resume", [this](const httplib::Request& req, httplib::Response& res) { Command(req, res, false); });
    s.Post("/api/v1/retry", [this](const httplib::Request& req, httplib::Response& res) { Retry(req, res); });
    s.Get("/api/v1/events", [this](const httplib::Request&, httplib::Response& res) { Stream(res); });
    s.Get("/report", [this](const httplib::Request&, httplib::Response& res) { Report(res); });
    s.Get("/", [](const httplib::Request&, httplib::Response& res) {
        // Everything it needs is in it: nothing may come from elsewhere.
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; script-src 'unsafe-inline'; style-src 'unsafe-inline'");
        res.set_content(reinterpret_cast<const char*>(kStationPage), kStationPageSize, "text/html; charset=utf-8");
    });
    RouteRest();
}

// Nothing is served from the disk: a path is one of the routes or none.
void CStationServer::RouteRest()
{
    static const std::map<std::string, const char*> kAllowed = {
        {"/api/v1/station", "GET"}, {"/metrics", "GET"}, {"/api/v1/events", "GET"}, {"/report", "GET"}, {"/", "GET"},
        {"/api/v1/pause", "POST"}, {"/api/v1/resume", "POST"}, {"/api/v1/retry", "POST"}};
    const auto rest = [](const httplib::Request& req, httplib::Response& res) {
        const auto it = kAllowed.find(req.path);
        if (it == kAllowed.end()) {
            res.status = 404;
            res.set_content(Dump({{"error", "no such thing here"}}), kJson);
            return;
        }
        res.status = 405;
        res.set_header("Allow", it->second);
        res.set_content(Dump({{"error", std::string("only ") + it->second + " here"}}), kJson);
    };
    httplib::Server& s = *server_;
    s.Get(".*", rest);
    s.Post(".*", rest);
    s.Put(".*", rest);
    s.Patch(".*", rest);
    s.Delete(".*", rest);
    s.Options(".*", rest);
}

void CStationServer::Report(httplib::Response& response)
{
    // Made once a change of the file, not once a request: anyone may ask,
    // and each page reads the whole record. Made under the lock, so that
    // requests that come together wait for one page.
    std::lock_guard<std::mutex> lock(reportMutex_);
    const std::string madeOf = FileState(setup_.reportFile);
    if (madeOf.empty() || madeOf != reportMadeOf_) {
        reportMadeOf_.clear();
        if (!setup_.report || !setup_.report(reportPage_)) {
            response.status = 404;
            response.set_content(Dump({{"error", "this station keeps no record to report on (--log)"}}), kJson);
            return;
        }
        reportMadeOf_ = madeOf;
    }
    response.set_header("Cache-Control", "no-store");
    response.set_content(reportPage_, "text/html; charset=utf-8");
}

void CStationServer::Stream(httplib::Response& response)
{
    std::shared_ptr<CEventHub::Client> client = hub_.Join();
    if (!client) {
        response.status = 503;
        response.set_header("Retry-After", "5");
        response.set_content(Dump({{"error", "too many event streams"}}), kJson);
        return;
    }
    // It lasts as long as the client reads: counted among the streams, not
    // against its address's share of the threads.
    CBoundedServer::Lasting();
    response.set_header("Cache-Control", "no-store");
    // Where it stands first, so that a client that (re)connects is not
    // behind until the next change.
    const std::string hello = "event: state\ndata: " + StateJson(State()) + "\n\n";
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, client, hello, first = true](size_t, httplib::DataSink& sink) mutable {
            std::string out;
            if (first) {
                first = false;
                return sink.write(hello.data(), hello.size());
            }
            if (!hub_.Next(*client, kKeepAliveMs, out))
                return false;
            if (out.empty())
                out = ": alive\n\n";
            return sink.write(out.data(), out.size());
        },
        [this, client](bool) { hub_.Leave(client); });
}

bool CStationServer::Listen(CStationSession& session, std::string& why)
{
    session_ = &session;
    board_.SetRetry([this](const std::string& port) { return session_->Retry(port); });
    server_ = std::make_unique<CBoundedServer>(kRequestBounds, kConnectionBounds);
    server_->set_read_timeout(kReadTimeoutS, 0);
    server_->set_write_timeout(kWriteTimeoutS, 0);
    server_->set_payload_max_length(kMaxBody);
    Route();
    const int port = server_->Bind(setup_.host, setup_.port);
    if (port <= 0) {
        why = "cannot listen on " + setup_.host + ":" + std::to_string(setup_.port);
        return false;
    }
    port_ = uint16_t(port);
    // A path no route takes: a 404, which touches nothing of the station.
    server_->Warm("/-");
    listener_ = std::thread([this] { server_->listen_after_bind(); });
    // Bound, it answers: what connects now waits in the queue at worst.
    notice_.Ready(ServiceStatus(StationTotals(), false));
    drainer_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(drainMutex_);
        while (!drainWake_.wait_for(lock, kDrainEvery, [this] { return ending_; })) {
            if (setup_.stop && setup_.stop->load())
                TellStopping();
            std::lock_guard<std::mutex> board(boardMutex_);
            Drain();
        }
    });
    return true;
}

}  // namespace zq
