#include "serve/StationServer.h"

#include <chrono>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "protocol/Protocol.h"

namespace zq {

namespace {

// Threads that answer requests; a client holds one only while it is served.
constexpr size_t kAnswerThreads = 8;
// A client that sends its request slower than this per read is cut off.
constexpr time_t kReadTimeoutS = 5;
constexpr time_t kWriteTimeoutS = 5;
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
                        {"last_s", nullptr}};
    if (tile.ended)
        j["last_s"] = tile.lastSeconds;
    return j;
}

} // namespace

CStationServer::CStationServer(ServeSetup setup, SessionEvents& next)
    : setup_(std::move(setup)), next_(next), board_(nullptr), tally_(kBlockSize)
{
    board_.Mirror(setup_.job, setup_.image ? setup_.image->blocks : 0, setup_.lotWritten);
}

CStationServer::~CStationServer()
{
    if (server_)
        server_->stop();
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
}

void CStationServer::OnProgress(const std::string& port, const StageReport& report)
{
    next_.OnProgress(port, report);
    tally_.Progress(port, report.done);
    board_.Events().OnProgress(port, report);
}

void CStationServer::OnHint(const std::string& port, const std::string& hint)
{
    next_.OnHint(port, hint);
    board_.Events().OnHint(port, hint);
}

void CStationServer::OnEnded(const DeviceEnding& ending)
{
    next_.OnEnded(ending);
    tally_.Ended(ending.outcome);
    board_.Events().OnEnded(ending);
}

void CStationServer::OnForwarding(const std::string& text)
{
    next_.OnForwarding(text);
    board_.Events().OnForwarding(text);
}

void CStationServer::Drain()
{
    board_.Drain();
}

std::string CStationServer::State() const
{
    if (setup_.stop && setup_.stop->load())
        return "stopping";
    return session_ && session_->Paused() ? "paused" : "running";
}

std::string CStationServer::Status()
{
    nlohmann::json j;
    j["station"] = setup_.station;
    j["version"] = setup_.version;
    j["state"] = State();
    const ImageSnapshot* image = setup_.image;
    j["image"] = {{"path", image ? image->path : ""},
                  {"sha256", image ? image->sha256 : ""},
                  {"blocks", image ? image->blocks : 0}};
    std::lock_guard<std::mutex> lock(boardMutex_);
    Drain();
    const Job* job = board_.RunJob();
    j["job"] = nullptr;
    if (job)
        j["job"] = {{"name", job->name}, {"units", job->units}, {"written", board_.LotWritten()},
                    {"signed_by", setup_.signedBy}};
    const StationTotals& t = board_.Totals();
    j["totals"] = {{"written", t.written}, {"failed", t.failed}, {"cancelled", t.cancelled},
                   {"in_flight", t.inFlight}};
    j["forward"] = {{"pending", session_ ? session_->ForwardPending() : 0}};
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
    view.recordsPending = session_ ? session_->ForwardPending() : 0;
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

void CStationServer::Command(const httplib::Request& request, httplib::Response& response, bool pause)
{
    if (setup_.token.empty()) {
        response.status = 403;
        response.set_content(Dump({{"error", "this station takes no commands: it was started without "
                                             "--serve-token-file"}}), kJson);
        return;
    }
    const std::string bearer = "Bearer ";
    const std::string given = request.get_header_value("Authorization");
    if (given.compare(0, bearer.size(), bearer) != 0 || !SameToken(given.substr(bearer.size()), setup_.token)) {
        response.status = 401;
        response.set_header("WWW-Authenticate", "Bearer");
        response.set_content(Dump({{"error", "a bearer token is needed, and this one is not the station's"}}), kJson);
        return;
    }
    session_->Pause(pause);
    response.set_content(Dump({{"state", State()}}), kJson);
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
}

bool CStationServer::Listen(CStationSession& session, std::string& why)
{
    session_ = &session;
    server_ = std::make_unique<httplib::Server>();
    server_->new_task_queue = [] { return new httplib::ThreadPool(kAnswerThreads); };
    server_->set_read_timeout(kReadTimeoutS, 0);
    server_->set_write_timeout(kWriteTimeoutS, 0);
    server_->set_payload_max_length(kMaxBody);
    Route();
    const int port = setup_.port ? (server_->bind_to_port(setup_.host, setup_.port) ? setup_.port : -1)
                                 : server_->bind_to_any_port(setup_.host);
    if (port <= 0) {
        why = "cannot listen on " + setup_.host + ":" + std::to_string(setup_.port);
        return false;
    }
    port_ = uint16_t(port);
    listener_ = std::thread([this] { server_->listen_after_bind(); });
    drainer_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(drainMutex_);
        while (!drainWake_.wait_for(lock, kDrainEvery, [this] { return ending_; })) {
            std::lock_guard<std::mutex> board(boardMutex_);
            Drain();
        }
    });
    return true;
}

}  // namespace zq
