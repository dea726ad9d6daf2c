// zerquill-flash --watch --serve as a line runs it: the real program against
// the device simulator on ptys, asked and steered over HTTP.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <unistd.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "devsim/DevSim.h"
#include "devsim/SimRig.h"
#include "tests/Process.h"
#include "tests/TempDir.h"
#include "tests/TestImage.h"

namespace zq {

using namespace devsim;

namespace {

using json = nlohmann::json;

constexpr unsigned kBlocks = 64;
const char* const kServing = "serving the station on http://127.0.0.1:";

bool WaitFor(const std::function<bool()>& done, int ms)
{
    for (int waited = 0; waited < ms; waited += 20) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

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
    httplib::Result Post(const std::string& path, const std::string& token = std::string()) const
    {
        httplib::Client client("127.0.0.1", port_);
        httplib::Headers headers;
        if (!token.empty())
            headers.emplace("Authorization", "Bearer " + token);
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
    EXPECT_EQ(status["totals"], json({{"written", 1}, {"failed", 0}, {"cancelled", 0}, {"in_flight", 0}}));
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
    EXPECT_EQ(Sample(families["zerquill_downloads"], "zerquill_downloads_total", {{"result", "failed"}}), 0);
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
    EXPECT_EQ(families.count("zerquill_lot_units"), 0u) << "a lot without a job";

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
    const auto paused = s.Post("/api/v1/pause", token);
    ASSERT_TRUE(paused);
    EXPECT_EQ(paused->status, 200);
    EXPECT_EQ(json::parse(paused->body)["state"], "paused");
    EXPECT_EQ(s.Status()["state"], "paused");

    CSimRig later(Sim());
    ASSERT_EQ(::symlink(later.Path().c_str(), slot2.c_str()), 0);
    // It opens the new port and hears its beacons all this while.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
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
}

// Served beyond this machine, the station needs a token: without one it
// ends with 64 before it opens anything, and says what is missing.
TEST_F(ServeTest, ARemoteBindWithoutATokenIsRefusedBeforeAnythingIsOpened)
{
    CSimRig rig(Sim());
    const std::string log = dir.file("rec.jsonl");
    for (const char* host : {"0.0.0.0:0", "192.0.2.7:8080", "[::]:0"}) {
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
