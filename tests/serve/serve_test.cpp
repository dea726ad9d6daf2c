// zerquill-flash --watch --serve as a line runs it: the real program against
// the device simulator on ptys, asked and steered over HTTP.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <algorithm>
#include <string>
#include <thread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "devsim/DevSim.h"
#include "devsim/SimRig.h"
#include "tests/cli/Receiver.h"
#include "tests/Process.h"
#include "tests/TempDir.h"
#include "tests/TestImage.h"
#include "tests/WaitFor.h"

namespace zq {

using namespace devsim;

namespace {

using json = nlohmann::json;

constexpr unsigned kBlocks = 64;
const char* const kServing = "serving the station on http://127.0.0.1:";

DevSimOptions Sim(DevSimOptions options = DevSimOptions())
{
    // A device plugged in and waiting, however long the test takes to ask.
    options.silenceMs = 10000;
    return options;
}

// The station started with its server; Port() once it says where it listens.
class Served {
public:
    explicit Served(std::vector<std::string> args)
    {
        args.insert(args.begin(), ZQ_FLASH_EXE);
        process_ = std::make_unique<Process>(args);
        if (!process_->Pump(10000, "/\n", true))
            return;
        const std::string& err = process_->sofar().err;
        const size_t at = err.find(kServing);
        if (at != std::string::npos)
            port_ = std::stoi(err.substr(at + std::strlen(kServing)));
    }
    int Port() const { return port_; }
    Process& process() { return *process_; }

    httplib::Result Get(const std::string& path) const
    {
        httplib::Client client("127.0.0.1", port_);
        client.set_read_timeout(5, 0);
        return client.Get(path.c_str());
    }
    httplib::Result Post(const std::string& path, const std::string& token = std::string(),
                         const std::string& scheme = "Bearer ") const
    {
        httplib::Client client("127.0.0.1", port_);
        httplib::Headers headers;
        if (!token.empty())
            headers.emplace("Authorization", scheme + token);
        return client.Post(path.c_str(), headers, "", "text/plain");
    }
    json Status() const
    {
        const auto r = Get("/api/v1/station");
        return r && r->status == 200 ? json::parse(r->body) : json();
    }
    // Ends the station as Ctrl-C does.
    Outcome Stop()
    {
        ::kill(process_->pid(), SIGINT);
        return process_->Finish(10000);
    }

private:
    std::unique_ptr<Process> process_;
    int port_ = 0;
};

// What the client library of Prometheus reads in a scrape, by family name
// (a counter's without its _total).
std::map<std::string, json> ParseMetrics(const std::string& text, const TempDir& dir)
{
    const std::string path = dir.file("scrape.txt");
    std::ofstream(path) << text;
    std::map<std::string, json> families;
    FILE* p = ::popen(("/usr/bin/python3 " ZQ_PARSE_METRICS " '" + path + "'").c_str(), "r");
    if (!p)
        return families;
    char line[65536];
    while (std::fgets(line, sizeof line, p)) {
        const json family = json::parse(line);
        families[family["name"].get<std::string>()] = family;
    }
    EXPECT_EQ(::pclose(p), 0) << "the parser refused the scrape:\n" << text;
    return families;
}

double Sample(const json& family, const std::string& name, const json& labels = json::object())
{
    for (const json& s : family["samples"])
        if (s[0] == name && s[1] == labels)
            return s[2].get<double>();
    ADD_FAILURE() << "no sample " << name << labels.dump() << " in " << family.dump();
    return -1;
}

// A client of its own over a plain socket: one that sends what it likes and
// reads when it likes.
class RawClient {
public:
    explicit RawClient(int port, int receiveBuffer = 0)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    }
    ~RawClient() { ::close(fd_); }
    bool Send(const std::string& bytes) { return connected_ && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) > 0; }
    // Reads until needle arrives or the server closes (false: neither within ms).
    bool ReadUntil(const std::string& needle, int ms)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (needle.empty() || got_.find(needle) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0)
                return false;
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                closed_ = true;
                return needle.empty();
            }
            got_.append(buf, size_t(n));
        }
        return true;
    }
    const std::string& Got() const { return got_; }
    bool Closed() const { return closed_; }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    std::string got_;
};

// The events of a stream, in order: {kind, data}.
std::vector<std::pair<std::string, json>> Events(const std::string& stream)
{
    std::vector<std::pair<std::string, json>> events;
    std::string kind;
    size_t at = 0;
    for (size_t end; (end = stream.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = stream.substr(at, end - at);
        if (line.compare(0, 7, "event: ") == 0)
            kind = line.substr(7);
        else if (line.compare(0, 6, "data: ") == 0)
            events.emplace_back(kind, json::parse(line.substr(6)));
    }
    return events;
}

class ServeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        image = MakeImage(65536 + 128 * kBlocks, 8 * kBlocks, 3);
        imagePath = dir.file("DB.bin");
        WriteFile(imagePath, image);
    }
    TempDir dir;
    std::vector<uint8_t> image;
    std::string imagePath;
};

} // namespace

// The status follows a download from the first block to its end with the
// board's words, the metrics agree through Prometheus' own parser, and
// without a token the station takes no commands.
TEST_F(ServeTest, StatusAndMetricsFollowAWholeDownload)
{
    DevSimOptions paced;
    paced.pace = true;
    CSimRig rig(Sim(paced));
    Served s({"--watch", "--json", "--image", imagePath, "--ports", rig.Path(), "--log", dir.file("rec.jsonl"),
              "--serve", "0"});
    ASSERT_NE(s.Port(), 0) << s.process().sofar().err;

    bool sawFlashing = false;
    json status;
    ASSERT_TRUE(WaitFor([&] {
        status = s.Status();
        const json& tile = status["ports"][0];
        if (tile.is_object() && tile["state"] == "flashing" && tile["block"] > 0 && tile["block"] < kBlocks &&
            status["totals"]["in_flight"] == 1)
            sawFlashing = true;
        return status["totals"]["written"] == 1;
    }, 20000)) << status.dump();
    EXPECT_TRUE(sawFlashing) << "no status showed the download in flight";
    EXPECT_EQ(CompareWithImage(rig.Wait(5000), image), "");

    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(status["station"], host);
    EXPECT_EQ(status["version"], ZQ_VERSION);
    EXPECT_EQ(status["state"], "running");
    EXPECT_EQ(status["image"]["path"], imagePath);
    EXPECT_EQ(status["image"]["blocks"], kBlocks);
    EXPECT_EQ(status["image"]["sha256"].get<std::string>().size(), 64u);
    EXPECT_TRUE(status["job"].is_null());
    EXPECT_EQ(status["totals"], json({{"written", 1}, {"failed", 0}, {"cancelled", 0}, {"in_flight", 0}, {"devices", 1}}));
    EXPECT_EQ(status["forward"]["pending"], 0);
    EXPECT_EQ(status["alert"], "");
    ASSERT_EQ(status["ports"].size(), 1u);
    const json& tile = status["ports"][0];
    EXPECT_EQ(tile["port"], rig.Path());
    EXPECT_EQ(tile["state"], "success");
    EXPECT_EQ(tile["words"], "Success Download!");
    EXPECT_EQ(tile["block"], kBlocks);
    EXPECT_EQ(tile["blocks"], kBlocks);
    EXPECT_EQ(tile["written"], 1);
    EXPECT_EQ(tile["failed"], 0);
    EXPECT_GT(tile["last_s"].get<double>(), 0);

    const auto scrape = s.Get("/metrics");
    ASSERT_TRUE(scrape);
    EXPECT_EQ(scrape->get_header_value("Content-Type"), "text/plain; version=0.0.4");
    auto families = ParseMetrics(scrape->body, dir);
    EXPECT_EQ(families["zerquill_downloads"]["type"], "counter");
    EXPECT_EQ(Sample(families["zerquill_downloads"], "zerquill_downloads_total", {{"result", "success"}}), 1);
    EXPECT_EQ(Sample(families["zerquill_downloads"], "zerquill_downloads_total", {{"result", "fail"}}), 0);
    EXPECT_EQ(Sample(families["zerquill_downloads_in_flight"], "zerquill_downloads_in_flight"), 0);
    const json& duration = families["zerquill_download_duration_seconds"];
    EXPECT_EQ(duration["type"], "histogram");
    EXPECT_EQ(Sample(duration, "zerquill_download_duration_seconds_count"), 1);
    EXPECT_EQ(Sample(duration, "zerquill_download_duration_seconds_bucket", {{"le", "+Inf"}}), 1);
    EXPECT_NEAR(Sample(duration, "zerquill_download_duration_seconds_sum"), tile["last_s"].get<double>(), 1e-6);
    EXPECT_EQ(Sample(families["zerquill_bytes_sent"], "zerquill_bytes_sent_total"), 128.0 * kBlocks);
    EXPECT_EQ(Sample(families["zerquill_records_pending"], "zerquill_records_pending"), 0);
    EXPECT_EQ(Sample(families["zerquill_ports"], "zerquill_ports", {{"state", "success"}}), 1);
    EXPECT_EQ(Sample(families["zerquill_ports"], "zerquill_ports", {{"state", "listening"}}), 0);
    EXPECT_EQ(Sample(families["zerquill_up"], "zerquill_up", {{"station", host}}), 1);
    EXPECT_EQ(Sample(families["zerquill_station_state"], "zerquill_station_state", {{"state", "running"}}), 1);
    EXPECT_EQ(families.count("zerquill_lot_units"), 0u) << "a lot without a job";

    // The yield page is the one --report --html makes of the same record.
    const auto page = s.Get("/report");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    Process report({ZQ_FLASH_EXE, "--report", dir.file("rec.jsonl"), "--html", dir.file("yield.html")});
    ASSERT_EQ(report.Finish(10000).status, 0);
    std::ifstream made(dir.file("yield.html"), std::ios::binary);
    EXPECT_EQ(page->body, std::string(std::istreambuf_iterator<char>(made), {}));
    // Asked again of the same record, it is not read again; once the
    // record grows, the page is made of it as it is.
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(::inotify_add_watch(watch, dir.file("rec.jsonl").c_str(), IN_OPEN), 0);
    for (int i = 0; i < 3; ++i) {
        const auto again = s.Get("/report");
        ASSERT_TRUE(again);
        EXPECT_EQ(again->body, page->body);
    }
    char opened[4096];
    EXPECT_LT(::read(watch, opened, sizeof opened), 0) << "the record was read again, unchanged";
    ::close(watch);
    std::string line;
    std::getline(std::ifstream(dir.file("rec.jsonl")), line);
    std::ofstream(dir.file("rec.jsonl"), std::ios::app) << line << "\n";
    const auto grown = s.Get("/report");
    ASSERT_TRUE(grown);
    ASSERT_EQ(Process({ZQ_FLASH_EXE, "--report", dir.file("rec.jsonl"), "--html", dir.file("yield2.html")})
                  .Finish(10000).status, 0);
    std::ifstream made2(dir.file("yield2.html"), std::ios::binary);
    EXPECT_EQ(grown->body, std::string(std::istreambuf_iterator<char>(made2), {}));
    EXPECT_NE(grown->body, page->body);

    // The live page is the program's own: nothing from elsewhere.
    const auto live = s.Get("/");
    ASSERT_TRUE(live);
    EXPECT_EQ(live->status, 200);
    EXPECT_NE(live->body.find("new EventSource(\"/api/v1/events\")"), std::string::npos);
    EXPECT_NE(live->body.find("sessionStorage"), std::string::npos);
    for (const char* outside : {"http://", "https://", "//cdn", "src=\"", "@import", "url("})
        EXPECT_EQ(live->body.find(outside), std::string::npos) << outside;

    // Control is off without a token file.
    const auto refused = s.Post("/api/v1/pause", "anything");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 403);
    EXPECT_EQ(s.Status()["state"], "running");
    EXPECT_EQ(s.Stop().status, 130);
}

// Pause needs the station's token; paused, a device that arrives is not
// answered; resumed, it is flashed whole. The token is never shown.
TEST_F(ServeTest, PausedByTokenANewDeviceWaitsUntilResumed)
{
    const std::string token = "line7-a9f3c1d2e8b4";
    std::ofstream(dir.file("token")) << token << "\n";
    ASSERT_EQ(::chmod(dir.file("token").c_str(), 0640), 0);
    CSimRig first(Sim());
    // The second slot's adapter is plugged in only once the line is paused.
    const std::string slot2 = dir.file("slot2");
    Served s({"--watch", "--json", "--image", imagePath, "--ports", first.Path() + "," + slot2, "--log",
              dir.file("rec.jsonl"), "--serve", "127.0.0.1:0", "--serve-token-file", dir.file("token")});
    ASSERT_NE(s.Port(), 0) << s.process().sofar().err;
    ASSERT_TRUE(WaitFor([&] { return s.Status()["totals"]["written"] == 1; }, 15000)) << s.Status().dump();

    for (const std::string& wrong : {std::string(), std::string("line7-a9f3c1d2e8b5"), token + "x"}) {
        const auto r = s.Post("/api/v1/pause", wrong);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 401) << "token '" << wrong << "'";
    }
    EXPECT_EQ(s.Status()["state"], "running");
    // The scheme's name in any case, as HTTP's are.
    const auto paused = s.Post("/api/v1/pause", token, "bEARER  ");
    ASSERT_TRUE(paused);
    EXPECT_EQ(paused->status, 200);
    EXPECT_EQ(json::parse(paused->body)["state"], "paused");
    EXPECT_EQ(s.Status()["state"], "paused");
    const auto scrape = s.Get("/metrics");
    ASSERT_TRUE(scrape);
    const json state = ParseMetrics(scrape->body, dir)["zerquill_station_state"];
    EXPECT_EQ(Sample(state, "zerquill_station_state", {{"state", "paused"}}), 1);
    EXPECT_EQ(Sample(state, "zerquill_station_state", {{"state", "running"}}), 0);

    CSimRig later(Sim());
    ASSERT_EQ(::symlink(later.Path().c_str(), slot2.c_str()), 0);
    // It opens the new port, told by its tile, and hears its beacons all
    // this while: a device answered at its first beacon would be in flight.
    const auto listening = [&] {
        const json status = s.Status();
        for (const json& tile : status["ports"])
            if (tile["port"] == slot2)
                return tile["state"] == "listening";
        return false;
    };
    ASSERT_TRUE(WaitFor(listening, 15000)) << s.Status().dump();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    json status = s.Status();
    EXPECT_EQ(status["totals"]["written"], 1);
    EXPECT_EQ(status["totals"]["in_flight"], 0) << "a device was answered while the line was paused";

    const auto resumed = s.Post("/api/v1/resume", token);
    ASSERT_TRUE(resumed);
    EXPECT_EQ(resumed->status, 200);
    EXPECT_EQ(s.Status()["state"], "running");
    ASSERT_TRUE(WaitFor([&] { return s.Status()["totals"]["written"] == 2; }, 15000)) << s.Status().dump();
    EXPECT_EQ(CompareWithImage(later.Wait(5000), image), "");
    const Outcome r = s.Stop();
    EXPECT_EQ(r.status, 130);
    EXPECT_EQ(r.out.find(token), std::string::npos);
    EXPECT_EQ(r.err.find(token), std::string::npos);
    EXPECT_NE(r.err.find(dir.file("token") + " can be read by others (mode 0640): chmod 600"), std::string::npos)
        << r.err;
}

// A unit that failed is held on its tile; the API retries it with the token,
// as the tile's button does, and its record is the same unit's attempt 2.
TEST_F(ServeTest, AHeldUnitIsRetriedThroughTheApi)
{
    const std::string token = "line7-retry";
    std::ofstream(dir.file("token")) << token << "\n";
    ASSERT_EQ(::chmod(dir.file("token").c_str(), 0600), 0);
    DevSimOptions refusing = Sim();
    refusing.refusals = {{0, 5}};
    refusing.silenceMs = 200;
    CSimRig rig(refusing);
    Served s({"--watch", "--image", imagePath, "--ports", rig.Path(), "--log", dir.file("rec.jsonl"), "--serve",
              "127.0.0.1:0", "--serve-token-file", dir.file("token")});
    ASSERT_NE(s.Port(), 0) << s.process().sofar().err;
    ASSERT_TRUE(WaitFor([&] { return s.Status()["ports"][0]["retryable"] == true; }, 15000)) << s.Status().dump();
    rig.Wait(5000);
    rig.Start(); // it restarts and beacons, held
    const auto elsewhere = s.Post("/api/v1/retry?port=/dev/none", token);
    ASSERT_TRUE(elsewhere);
    EXPECT_EQ(elsewhere->status, 409);
    const auto retried = s.Post("/api/v1/retry?port=" + rig.Path(), token);
    ASSERT_TRUE(retried);
    EXPECT_EQ(retried->status, 200) << retried->body;
    ASSERT_TRUE(WaitFor([&] { return s.Status()["totals"]["failed"] == 2; }, 15000)) << s.Status().dump();
    EXPECT_EQ(s.Status()["totals"]["devices"], 1);
    s.Stop();
    std::ifstream in(dir.file("rec.jsonl"));
    std::vector<json> records;
    for (std::string line; std::getline(in, line);)
        records.push_back(json::parse(line));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1]["unit"], records[0]["unit"]);
    EXPECT_EQ(records[1]["attempt"], 2);
}

// The command line forwards beside the session: what its forwarder has yet
// to deliver, and what it tells of the receiver, are the served station's
// too, in the status, the metrics and the board's alert.
TEST_F(ServeTest, RecordsWaitingForADownReceiverShowUntilItTakesThem)
{
    CReceiver receiver;
    receiver.Stop();
    CSimRig rig(Sim());
    Served s({"--watch", "--json", "--image", imagePath, "--ports", rig.Path(), "--log", dir.file("rec.jsonl"),
              "--forward", receiver.Url(), "--serve", "0"});
    ASSERT_NE(s.Port(), 0) << s.process().sofar().err;
    json status;
    ASSERT_TRUE(WaitFor([&] {
        status = s.Status();
        return status["totals"]["written"] == 1 && status["forward"]["pending"] == 1;
    }, 15000)) << status.dump();
    ASSERT_TRUE(WaitFor([&] {
        status = s.Status();
        return status["alert"].get<std::string>().find("forward: no answer from " + receiver.Url()) == 0;
    }, 10000)) << status.dump();
    const auto down = s.Get("/metrics");
    ASSERT_TRUE(down);
    EXPECT_EQ(Sample(ParseMetrics(down->body, dir)["zerquill_records_pending"], "zerquill_records_pending"), 1);

    receiver.Restart();
    ASSERT_TRUE(WaitFor([&] {
        status = s.Status();
        // The forwarder tells the board once it has delivered: the alert
        // may follow the count by a moment.
        return status["forward"]["pending"] == 0 && receiver.Unique() == 1 &&
               status["alert"] == "forward: the receiver takes records again";
    }, 40000)) << status.dump();
    const auto up = s.Get("/metrics");
    ASSERT_TRUE(up);
    EXPECT_EQ(Sample(ParseMetrics(up->body, dir)["zerquill_records_pending"], "zerquill_records_pending"), 0);
    EXPECT_EQ(s.Stop().status, 130);
}

// A released job's station: the status names the lot, who released it and
// what the record held when the run began, the tiles carry the slots'
// labels, and the metrics count the lot as the board does.
TEST_F(ServeTest, AJobsLotIsToldAcrossRestartsWithItsSlotsAndWhoReleasedIt)
{
    const std::string d = dir.path() + "/", job = d + "lot9.zqjob";
    ASSERT_EQ(Process({"/bin/sh", "-c", "cd " + d + " && openssl genpkey -algorithm EC -pkeyopt "
                       "ec_paramgen_curve:P-256 -out eng.pem 2>/dev/null && chmod 600 eng.pem && "
                       "openssl pkey -in eng.pem -pubout -out eng.pub"}).Finish(10000).status, 0);
    const Outcome der = Process({"/bin/sh", "-c", "openssl pkey -pubin -in " + d + "eng.pub -outform DER | sha256sum"})
                            .Finish(10000);
    const std::string fingerprint = der.out.substr(0, 64);
    ASSERT_EQ(Process({ZQ_FLASH_EXE, "--make-job", job, "-i", imagePath, "--name", "lot9", "--units", "3"})
                  .Finish(10000).status, 0);
    CSimRig one(Sim()), two(Sim());
    json text = json::parse(std::ifstream(job));
    text["log"] = "lot9.jsonl";
    text["slots"] = {{{"port", one.Path()}, {"label", "slot 1"}}, {{"port", two.Path()}, {"label", "slot 2"}}};
    std::ofstream(job) << text.dump();
    {
        // The same job unsigned, run without --trust: nobody released it.
        json open = text;
        open.erase("slots");
        open["log"] = "open.jsonl";
        std::ofstream(d + "open.zqjob") << open.dump();
        Served s({"--job", d + "open.zqjob", "--watch", "--ports", d + "nothing", "--serve", "0"});
        ASSERT_NE(s.Port(), 0) << s.process().sofar().err;
        EXPECT_EQ(s.Status()["job"], json({{"name", "lot9"}, {"units", 3}, {"written", 0}, {"signed_by", nullptr},
                                           {"released_by", nullptr}}));
        EXPECT_EQ(s.Stop().status, 130);
    }
    ASSERT_EQ(Process({ZQ_FLASH_EXE, "--sign-job", job, "--key", d + "eng.pem"}).Finish(10000).status, 0);

    // Both slots are written in the first run; the second begins where the
    // record left the lot.
    for (const unsigned before : {0u, 2u}) {
        Served s({"--job", job, "--trust", d + "eng.pub", "--watch", "--json", "--serve", "0"});
        ASSERT_NE(s.Port(), 0) << s.process().sofar().err;
        json status = s.Status();
        EXPECT_EQ(status["job"], json({{"name", "lot9"}, {"units", 3}, {"written", before},
                                       {"signed_by", fingerprint},
                                       {"released_by", "eng (" + fingerprint.substr(0, 16) + "...)"}}))
            << "as the run began";
        std::map<std::string, std::string> labels;
        for (const json& tile : status["ports"])
            labels[tile["port"]] = tile["label"];
        EXPECT_EQ(labels, (std::map<std::string, std::string>{{one.Path(), "slot 1"}, {two.Path(), "slot 2"}}));
        if (!before) {
            EXPECT_TRUE(WaitFor([&] {
                status = s.Status();
                return status["totals"]["written"] == 2;
            }, 20000)) << status.dump();
        }
        EXPECT_EQ(status["job"]["written"], 2);
        const auto scrape = s.Get("/metrics");
        ASSERT_TRUE(scrape);
        auto families = ParseMetrics(scrape->body, dir);
        EXPECT_EQ(Sample(families["zerquill_lot_written"], "zerquill_lot_written"), 2);
        EXPECT_EQ(Sample(families["zerquill_lot_units"], "zerquill_lot_units"), 3);
        EXPECT_EQ(s.Stop().status, 130);
    }
}

// A station following a channel tells its release and the last refresh
// that confirmed it, in the status and to a scrape.
TEST_F(ServeTest, TheChannelsReleaseAndLastConfirmationAreServed)
{
    const std::string d = dir.path() + "/";
    ASSERT_EQ(Process({"/bin/sh", "-c", "cd " + d + " && for k in root release online; do openssl genpkey "
                       "-algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out $k.pem 2>/dev/null && openssl pkey "
                       "-in $k.pem -pubout -out $k.pub; done"}).Finish(10000).status, 0);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--channel-init", d + "repo", "--root-key", d + "root.pem", "--release-key",
                                   d + "release.pub", "--online-key", d + "online.pub"},
          {"--make-job", d + "lot.zqjob", "-i", imagePath, "--name", "lot"},
          {"--publish", d + "repo", "--job", d + "lot.zqjob", "--release-key", d + "release.pem", "--online-key",
           d + "online.pem"}}) {
        std::vector<std::string> run = {ZQ_FLASH_EXE};
        run.insert(run.end(), args.begin(), args.end());
        ASSERT_EQ(Process(run).Finish(10000).status, 0);
    }
    Served s({"--channel", d + "repo", "--channel-root", d + "repo/1.root.json", "--channel-state", d + "state",
              "--watch", "--channel-every", "1", "--ports", d + "nothing", "--serve", "0"});
    ASSERT_NE(s.Port(), 0) << s.process().sofar().err;
    const json channel = s.Status()["channel"];
    const uint32_t firstBlocks = s.Status()["image"]["blocks"];
    EXPECT_EQ(channel["url"], d + "repo");
    EXPECT_EQ(channel["version"], 1);
    EXPECT_EQ(channel["job"], "lot");
    EXPECT_TRUE(channel["error"].is_null()) << channel;
    EXPECT_TRUE(channel["expires"].is_string() && channel["checked"].is_string()) << channel;
    auto families = ParseMetrics(s.Get("/metrics")->body, dir);
    EXPECT_EQ(Sample(families["zerquill_release_version"], "zerquill_release_version"), 1);
    EXPECT_GT(Sample(families["zerquill_channel_last_success_timestamp_seconds"],
                     "zerquill_channel_last_success_timestamp_seconds"), 1.7e9);
    EXPECT_GT(Sample(families["zerquill_release_expires_timestamp_seconds"],
                     "zerquill_release_expires_timestamp_seconds"), 1.7e9);
    // A new release: the status tells the image the next device gets.
    WriteFile(d + "v2.bin", MakeImage(65536 + 128 * (firstBlocks + 3), firstBlocks + 3, 8));
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--make-job", d + "v2.zqjob", "-i", d + "v2.bin", "--name", "v2"},
          {"--publish", d + "repo", "--job", d + "v2.zqjob", "--release-key", d + "release.pem", "--online-key",
           d + "online.pem"}}) {
        std::vector<std::string> run = {ZQ_FLASH_EXE};
        run.insert(run.end(), args.begin(), args.end());
        ASSERT_EQ(Process(run).Finish(10000).status, 0);
    }
    EXPECT_TRUE(WaitFor([&] { return s.Status()["channel"]["version"] == 2; }, 10000)) << s.Status().dump();
    EXPECT_EQ(s.Status()["image"]["blocks"], firstBlocks + 3) << "the status names the first release's image";
    EXPECT_EQ(s.Stop().status, 130);
}

// The stream tells the whole download as --json tells it on stdout, the
// state as it changes, and the summary as the station stops.
TEST_F(ServeTest, TheEventStreamTellsAWholeDownloadAsJsonDoes)
{
    DevSimOptions paced;
    paced.pace = true;
    const std::string slot = dir.file("slot1");
    Served s({"--watch", "--json", "--image", imagePath, "--ports", slot, "--serve", "0"});
    ASSERT_NE(s.Port(), 0) << s.process().sofar().err;
    RawClient stream(s.Port());
    ASSERT_TRUE(stream.Send("GET /api/v1/events HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(stream.ReadUntil("\"state\":\"running\"", 5000)) << stream.Got();
    EXPECT_NE(stream.Got().find("Content-Type: text/event-stream"), std::string::npos) << stream.Got();
    // Plugged in once the stream is open.
    CSimRig rig(Sim(paced));
    ASSERT_EQ(::symlink(rig.Path().c_str(), slot.c_str()), 0);
    ASSERT_TRUE(stream.ReadUntil("event: result", 20000)) << stream.Got();
    EXPECT_EQ(CompareWithImage(rig.Wait(5000), image), "");
    const Outcome r = s.Stop();
    EXPECT_TRUE(stream.ReadUntil("", 5000)) << "the stream did not end with the station";

    const auto events = Events(stream.Got());
    std::vector<json> printed;
    for (const std::string& line : [&] {
             std::vector<std::string> lines;
             std::string l;
             for (std::istringstream in(r.out); std::getline(in, l);)
                 lines.push_back(l);
             return lines;
         }())
        printed.push_back(json::parse(line));
    std::map<std::string, json> last;
    std::vector<std::string> states;
    unsigned progress = 0;
    for (const auto& [kind, data] : events) {
        EXPECT_EQ(data["event"], kind);
        last[kind] = data;
        progress += kind == "progress";
        if (kind == "state")
            states.push_back(data["state"]);
    }
    EXPECT_EQ(states, std::vector<std::string>({"running", "stopping"}));
    for (const char* kind : {"found", "result", "summary"}) {
        const auto same = std::find_if(printed.begin(), printed.end(), [&](const json& j) { return j["event"] == kind; });
        ASSERT_NE(same, printed.end()) << kind;
        EXPECT_EQ(last[kind], *same) << kind;
    }
    EXPECT_EQ(last["result"]["result"], "success");
    EXPECT_EQ(last["summary"]["written"], 1);
    // At most ten a second, beside one at each new stage.
    const double seconds = last["result"]["duration_s"].get<double>();
    EXPECT_GT(progress, 2u);
    EXPECT_LE(progress, unsigned(seconds * 10) + 12) << "over " << seconds << " s";
}

// Clients that never finish their request, send garbage or stop reading
// hold up neither the download nor anyone else; the slow one is cut off,
// and streams beyond 32 are turned away.
TEST_F(ServeTest, BadClientsHoldUpNeitherTheDownloadNorOtherClients)
{
    const std::string slot = dir.file("slot1");
    Served s({"--watch", "--json", "--image", imagePath, "--ports", slot, "--serve", "0"});
    ASSERT_NE(s.Port(), 0) << s.process().sofar().err;
    RawClient slow(s.Port());
    ASSERT_TRUE(slow.Send("GET /api/v1/sta"));
    RawClient garbage(s.Port());
    ASSERT_TRUE(garbage.Send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) + std::string(20000, 'A') + "\r\n\r\n"));
    RawClient huge(s.Port());
    ASSERT_TRUE(huge.Send("GET /api/v1/station HTTP/1.1\r\nX-Fill: " + std::string(20000, 'x') + "\r\n\r\n"));
    // Each header short enough, but as many as it likes.
    RawClient many(s.Port());
    std::string headers = "GET /api/v1/station HTTP/1.1\r\n";
    for (int i = 0; i < 200; ++i)
        headers += "X-Fill-" + std::to_string(i) + ": " + std::string(500, 'x') + "\r\n";
    ASSERT_TRUE(many.Send(headers + "\r\n"));
    // A byte of its headers every 200 ms, never slow enough for one read to
    // time out: cut off once the request has taken too long as a whole.
    std::chrono::milliseconds trickledFor{0};
    std::thread trickler([&, port = s.Port()] {
        RawClient trickle(port);
        const auto from = std::chrono::steady_clock::now();
        bool open = trickle.Send("GET /api/v1/station HTTP/1.1\r\nX-Slow: ");
        while (open && std::chrono::steady_clock::now() - from < std::chrono::seconds(20)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            open = trickle.Send("x") && !trickle.ReadUntil("", 1);
        }
        trickledFor = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - from);
    });
    // Joined on every way out: an ASSERT below returns early.
    struct Joined {
        std::thread& thread;
        ~Joined()
        {
            if (thread.joinable())
                thread.join();
        }
    } joined{trickler};
    std::vector<std::unique_ptr<RawClient>> streams;
    for (int i = 0; i < 32; ++i) {
        // Tiny buffers, never read: stalled readers.
        // One at a time: the listener takes a burst of connections only as
        // deep as its backlog (5), and that is not what this is about.
        streams.push_back(std::make_unique<RawClient>(s.Port(), 1024));
        ASSERT_TRUE(streams.back()->Send("GET /api/v1/events HTTP/1.1\r\nHost: x\r\n\r\n")) << i;
        ASSERT_TRUE(streams.back()->ReadUntil("event: state", 5000)) << i << streams.back()->Got();
    }
    RawClient turnedAway(s.Port());
    ASSERT_TRUE(turnedAway.Send("GET /api/v1/events HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_TRUE(turnedAway.ReadUntil("HTTP/1.1 503", 5000)) << turnedAway.Got();

    CSimRig rig(Sim());
    ASSERT_EQ(::symlink(rig.Path().c_str(), slot.c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return s.Status()["totals"]["written"] == 1; }, 15000)) << s.Status().dump();
    EXPECT_EQ(CompareWithImage(rig.Wait(5000), image), "");
    EXPECT_TRUE(huge.ReadUntil("", 5000));
    EXPECT_EQ(huge.Got().compare(0, 12, "HTTP/1.1 431") == 0 || huge.Got().compare(0, 12, "HTTP/1.1 400") == 0 ||
                  huge.Got().empty(), true) << huge.Got().substr(0, 200);
    EXPECT_EQ(huge.Got().find("\"station\""), std::string::npos) << "an oversized request was answered";
    EXPECT_TRUE(slow.ReadUntil("", 9000)) << "a client that never finished its request was not cut off";
    EXPECT_TRUE(slow.Closed());
    EXPECT_TRUE(garbage.ReadUntil("", 9000));
    EXPECT_TRUE(many.ReadUntil("", 5000));
    EXPECT_EQ(many.Got().find("\"station\""), std::string::npos) << "200 headers of 500 bytes were taken";
    trickler.join();
    EXPECT_LT(trickledFor.count(), 9000) << "a client that trickled its headers was not cut off";

    // Two requests in one write (pipelined): the second is answered at
    // once, not left in the buffer while the connection waits for more.
    RawClient pipelined(s.Port());
    ASSERT_TRUE(pipelined.Send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"
                               "GET /api/v1/station HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
    EXPECT_TRUE(pipelined.ReadUntil("\"station\"", 2000)) << pipelined.Got().substr(0, 300);

    // Only the routes: no file of the disk by its path, no other method.
    for (const char* path : {"/etc/passwd", "/../../../../etc/passwd", "/DB.bin", "/api/v1/station/x"}) {
        const auto r = s.Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 404) << path;
        EXPECT_EQ(r->body.find("root:"), std::string::npos) << path;
    }
    const auto postMetrics = s.Post("/metrics");
    ASSERT_TRUE(postMetrics);
    EXPECT_EQ(postMetrics->status, 405);
    EXPECT_EQ(postMetrics->get_header_value("Allow"), "GET");
    const auto getPause = s.Get("/api/v1/pause");
    ASSERT_TRUE(getPause);
    EXPECT_EQ(getPause->status, 405);
    EXPECT_EQ(s.Stop().status, 130);
}

// A connection from address (127.x.y.z) to port that never sends a byte;
// -1 when it is not made within ms.
int IdleConnection(int port, const std::string& address, int ms)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &from.sin_addr);
    to.sin_port = htons(uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
         (errno != EINPROGRESS || ::poll(&p, 1, ms) != 1 ||
          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A thousand connections that send nothing, from the scrape's own address
// and from ten more, with the station under systemd's soft limit of 1,024 open files:
// the scrape and the pause are answered at once, the event stream and the
// download go on, and every idle connection is dropped within its 5 s.
TEST_F(ServeTest, AThousandIdleConnectionsStarveNeitherTheAnswersNorTheDownload)
{
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    if (own.rlim_max < 1200)
        GTEST_SKIP() << "the test needs 1,200 open files; its hard limit is " << own.rlim_max;
    own.rlim_cur = std::max<rlim_t>(own.rlim_cur, std::min<rlim_t>(own.rlim_max, 4096));
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);
    const std::string token = "line3-5be0a7";
    std::ofstream(dir.file("token")) << token << "\n";
    ASSERT_EQ(::chmod(dir.file("token").c_str(), 0600), 0);
    DevSimOptions paced;
    paced.pace = true;
    const std::string slot = dir.file("slot1");
    Served s({"--watch", "--image", imagePath, "--ports", slot, "--serve", "127.0.0.1:0", "--serve-token-file",
              dir.file("token")});
    ASSERT_NE(s.Port(), 0) << s.process().sofar().err;
    const rlimit station{1024, 1024};
    ASSERT_EQ(::prlimit(s.process().pid(), RLIMIT_NOFILE, &station, nullptr), 0);
    RawClient stream(s.Port());
    ASSERT_TRUE(stream.Send("GET /api/v1/events HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(stream.ReadUntil("\"state\":\"running\"", 5000)) << stream.Got();
    CSimRig rig(Sim(paced));
    ASSERT_EQ(::symlink(rig.Path().c_str(), slot.c_str()), 0);
    ASSERT_TRUE(stream.ReadUntil("event: found", 10000)) << stream.Got();

    // 40 each from 127.0.0.3 to 127.0.0.12, then 600 from 127.0.0.1, the
    // address the scrape and the pause come from: it holds its share, short
    // of everyone's.
    std::vector<int> idle;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int i = 0; i < 1000 && std::chrono::steady_clock::now() < until; ++i) {
        const int fd = IdleConnection(s.Port(), "127.0.0." + std::to_string(i >= 400 ? 1 : 3 + i / 40), 200);
        if (fd >= 0)
            idle.push_back(fd);
    }
    const auto answered = [&](const char* what, const std::function<httplib::Result(httplib::Client&)>& ask) {
        httplib::Client client("127.0.0.1", s.Port());
        client.set_connection_timeout(2, 0);
        client.set_read_timeout(2, 0);
        const auto from = std::chrono::steady_clock::now();
        const auto r = ask(client);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - from);
        EXPECT_TRUE(r && r->status == 200) << what << ": " << (r ? std::to_string(r->status) : httplib::to_string(r.error()));
        EXPECT_LT(took.count(), 2000) << what;
    };
    const httplib::Headers bearer = {{"Authorization", "Bearer " + token}};
    answered("/metrics", [](httplib::Client& c) { return c.Get("/metrics"); });
    answered("pause", [&](httplib::Client& c) { return c.Post("/api/v1/pause", bearer, "", "text/plain"); });
    answered("resume", [&](httplib::Client& c) { return c.Post("/api/v1/resume", bearer, "", "text/plain"); });
    EXPECT_EQ(idle.size(), 1000u) << "connections were not taken";

    ASSERT_TRUE(stream.ReadUntil("event: result", 20000)) << stream.Got().substr(0, 400);
    EXPECT_EQ(CompareWithImage(rig.Wait(5000), image), "");
    EXPECT_TRUE(WaitFor([&] {
        return std::all_of(idle.begin(), idle.end(), [](int fd) {
            char byte;
            return ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        });
    }, 8000)) << "an idle connection was held past its 5 s";
    for (const int fd : idle)
        ::close(fd);
    EXPECT_EQ(s.Stop().status, 130);
}

// Under a service manager (Type=notify): ready once it answers, its totals
// as they change, the watchdog beaten from the station's loop at half the
// interval, and stopping at the end; each as one datagram to $NOTIFY_SOCKET.
TEST_F(ServeTest, TheServiceManagerHearsReadyStatusWatchdogAndStopping)
{
    const std::string socketPath = dir.file("notify");
    const int manager = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    std::strncpy(at.sun_path, socketPath.c_str(), sizeof at.sun_path - 1);
    ASSERT_EQ(::bind(manager, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::string>> heard;
    const auto hear = [&](int ms) {
        pollfd p{manager, POLLIN, 0};
        while (::poll(&p, 1, ms) > 0) {
            char datagram[4096];
            const ssize_t n = ::recv(manager, datagram, sizeof datagram, 0);
            if (n > 0)
                heard.emplace_back(std::chrono::steady_clock::now(), std::string(datagram, size_t(n)));
            ms = 0;
        }
    };

    CSimRig rig(Sim());
    ::setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
    ::setenv("WATCHDOG_USEC", "400000", 1);
    Served s({"--watch", "--image", imagePath, "--ports", rig.Path(), "--serve", "0"});
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ASSERT_NE(s.Port(), 0) << s.process().sofar().err;
    ASSERT_TRUE(WaitFor([&] { return s.Status()["totals"]["written"] == 1; }, 15000));
    hear(0); // what came while the download ran
    const auto from = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - from < std::chrono::milliseconds(1500))
        hear(20);
    const auto to = std::chrono::steady_clock::now();
    s.Stop();
    hear(500);
    ::close(manager);

    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.front().second, "READY=1\nSTATUS=0 written, 0 failed, 0 in flight");
    EXPECT_EQ(heard.back().second, "STOPPING=1");
    unsigned beats = 0;
    bool written = false;
    std::chrono::steady_clock::time_point last = from;
    std::chrono::milliseconds widest{0};
    for (const auto& [when, message] : heard) {
        if (message == "WATCHDOG=1" && when >= from && when <= to) {
            ++beats;
            widest = std::max(widest, std::chrono::duration_cast<std::chrono::milliseconds>(when - last));
            last = when;
        }
        written = written || message == "STATUS=1 written, 0 failed, 0 in flight";
    }
    EXPECT_TRUE(written);
    // What the manager needs: no 400 ms without a beat. A beat every 200 ms
    // leaves a loaded machine 200 ms of lateness; a count would not.
    widest = std::max(widest, std::chrono::duration_cast<std::chrono::milliseconds>(to - last));
    EXPECT_LT(widest.count(), 400) << beats << " beats";
    // Nor beaten at every wake of the loop: 1.5 s at one beat every 200 ms.
    const double seconds = std::chrono::duration<double>(to - from).count();
    EXPECT_LE(beats, unsigned(seconds / 0.2) + 2) << "over " << seconds << " s";
}

// Served beyond this machine, the station needs a token: without one it
// ends with 64 before it opens anything, and says what is missing.
TEST_F(ServeTest, ARemoteBindWithoutATokenIsRefusedBeforeAnythingIsOpened)
{
    CSimRig rig(Sim());
    const std::string log = dir.file("rec.jsonl");
    // Only a loopback literal is this machine's own: a name that begins
    // like one is looked up wherever the resolver says.
    for (const char* host : {"0.0.0.0:0", "192.0.2.7:8080", "[::]:0", "127.example.net:0", "127.0.0.1.example.net:0",
                             "0177.0.0.1:0"}) {
        Process p({ZQ_FLASH_EXE, "--watch", "--image", imagePath, "--ports", rig.Path(), "--log", log, "--serve", host});
        const Outcome r = p.Finish(10000);
        EXPECT_EQ(r.status, 64) << host << ": " << r.err;
        EXPECT_NE(r.err.find("--serve-token-file"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("serving the station"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::ifstream(log).good()) << "the record was opened";
    EXPECT_FALSE(rig.Finish().sawBeaconReply) << "the device was answered";
}

}  // namespace zq
