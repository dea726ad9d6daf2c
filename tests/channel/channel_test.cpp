// A release channel end to end at the level of its parts: the writer's
// folder followed by the client, from a folder and over HTTP, and each of
// TUF's attacks where it breaks. tuf-js, both ways, is in interop.sh.
#include <gtest/gtest.h>

#include <httplib.h>

#include <atomic>
#include <ctime>
#include <thread>

#include "channel/ChannelClient.h"
#include "channel/ChannelLimits.h"
#include "channel/ChannelWriter.h"
#include "channel/StateFile.h"
#include "platform/Sha256.h"
#include "release/Job.h"
#include "tests/TempDir.h"
#include "tests/WaitFor.h"

namespace zq {

namespace {

const int64_t kDay = 86400;

PrivateKey NewKey(const TempDir& dir, const std::string& name)
{
    const std::string path = dir.file(name + ".pem");
    EXPECT_EQ(std::system(("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + path +
                           " 2>/dev/null").c_str()), 0);
    PrivateKey key;
    std::string error;
    EXPECT_TRUE(ReadPrivateKeyFile(path, key, error)) << error;
    return key;
}

std::string Read(const std::string& path)
{
    std::string bytes;
    ReadWholeFile(path, bytes);
    return bytes;
}

// The channel's folder over HTTP; answer may answer a path otherwise.
class CServedFolder {
public:
    using Answer = std::function<bool(const std::string& path, httplib::Response& res)>;
    CServedFolder(const std::string& folder, Answer answer) : answer_(std::move(answer))
    {
        server_.Get(".*", [this, folder](const httplib::Request& req, httplib::Response& res) {
            std::string bytes;
            if (answer_ && answer_(req.path, res))
                return;
            if (ReadWholeFile(folder + req.path, bytes))
                res.set_content(bytes, "application/octet-stream");
            else
                res.status = 404;
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        WaitFor([this] { return server_.is_running(); }, 5000);
    }
    ~CServedFolder()
    {
        server_.stop();
        thread_.join();
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    Answer answer_;
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
};

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = NewKey(keys_, "root");
        release_ = NewKey(keys_, "release");
        online_ = NewKey(keys_, "online");
        std::string error;
        ASSERT_TRUE(InitChannel(repo_, {root_}, PublicHalf(release_, ""), PublicHalf(online_, ""),
                                Now() + 365 * kDay, error)) << error;
        ASSERT_TRUE(Publish(1)) << error_;
    }

    static int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

    // A job and its image (seeded), published to the channel.
    bool Publish(uint32_t seed, const std::string& repo = std::string())
    {
        const std::vector<uint8_t> image = MakeImage(65536 + 16 * 4 + 128 * 4, 4, seed);
        WriteFile(keys_.file("DB.bin"), image);
        const std::string job = keys_.file("lot.zqjob");
        std::ofstream(job) << JobText("lot" + std::to_string(seed), "DB.bin",
                                      Sha256Hex(image.data(), image.size()), 0, "");
        return PublishJob(repo.empty() ? repo_ : repo, job, release_, online_, Now() + 30 * kDay, Now() + kDay,
                          error_);
    }

    // A client of where, trusting the channel's first root.
    std::unique_ptr<CChannelClient> Client(const std::string& where)
    {
        return std::make_unique<CChannelClient>(MakeChannelFetcher(where), Read(repo_ + "/1.root.json"), state_);
    }

    // A refresh of a client of where, and its status.
    ChannelStatus Follow(const std::string& where)
    {
        auto client = Client(where);
        client->Refresh();
        return client->Status();
    }

    void Copy(const std::string& from, const std::string& to)
    {
        ASSERT_EQ(std::system(("cp -r '" + from + "' '" + to + "'").c_str()), 0);
    }

    TempDir keys_, work_;
    std::string repo_ = work_.file("repo"), state_ = work_.file("state");
    PrivateKey root_, release_, online_;
    std::string error_;
};

TEST_F(ChannelTest, FollowsTheReleaseFromAFolderAndOverHttpAndReusesWhatItKept)
{
    ChannelStatus s = Follow(repo_);
    ASSERT_FALSE(s.lastError) << DescribeChannelError(s.lastError);
    ASSERT_TRUE(s.release);
    EXPECT_EQ(s.release->opened.job.name, "lot1");
    EXPECT_EQ(s.release->targetsVersion, 1u);
    EXPECT_EQ(s.release->opened.image.sha256, s.release->opened.job.sha256);
    ASSERT_TRUE(Publish(2)) << error_;
    CServedFolder served(repo_, nullptr);
    s = Follow(served.Url());
    ASSERT_FALSE(s.lastError) << DescribeChannelError(s.lastError);
    EXPECT_EQ(s.release->opened.job.name, "lot2");
    EXPECT_EQ(s.release->targetsVersion, 2u);
    // The kept targets serve when the channel's are gone.
    ASSERT_EQ(std::system(("rm -r '" + repo_ + "/targets'").c_str()), 0);
    s = Follow(repo_);
    EXPECT_FALSE(s.lastError) << DescribeChannelError(s.lastError);
}

TEST_F(ChannelTest, AnOlderRepositoryServedAfterANewerOneIsARollbackAndTheNewerReleaseStays)
{
    Copy(repo_, work_.file("old"));
    ASSERT_TRUE(Publish(2)) << error_;
    ASSERT_FALSE(Follow(repo_).lastError);
    const ChannelStatus s = Follow(work_.file("old"));
    EXPECT_EQ(s.lastError.fault, ChannelFault::Rollback) << DescribeChannelError(s.lastError);
    EXPECT_TRUE(s.lastError.releaseKept);
    ASSERT_TRUE(s.release);
    EXPECT_EQ(s.release->targetsVersion, 2u);
}

TEST_F(ChannelTest, ATimestampThatTakesTheSnapshotBackIsRefusedAndNeverWritten)
{
    Copy(repo_, work_.file("old"));
    ASSERT_TRUE(Publish(2)) << error_;
    ASSERT_FALSE(Follow(repo_).lastError);
    const std::string kept = Read(state_ + "/timestamp.json");
    // The old channel's timestamp, two versions up, names snapshot 1 again.
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(RefreshTimestamp(work_.file("old"), online_, Now() + kDay, error_)) << error_;
    const ChannelStatus s = Follow(work_.file("old"));
    EXPECT_EQ(s.lastError.fault, ChannelFault::Rollback) << DescribeChannelError(s.lastError);
    EXPECT_EQ(Read(state_ + "/timestamp.json"), kept);
}

TEST_F(ChannelTest, AnExpiredTimestampIsAFreezeAndIsNotKept)
{
    ASSERT_FALSE(Follow(repo_).lastError);
    const std::string kept = Read(state_ + "/timestamp.json");
    ASSERT_TRUE(RefreshTimestamp(repo_, online_, Now() - 60, error_)) << error_;
    const ChannelStatus s = Follow(repo_);
    EXPECT_EQ(s.lastError.fault, ChannelFault::Expired) << DescribeChannelError(s.lastError);
    EXPECT_EQ(Read(state_ + "/timestamp.json"), kept);
}

TEST_F(ChannelTest, AnImageOfOtherBytesIsRefusedAndNotKept)
{
    const ChannelStatus first = Follow(repo_);
    ASSERT_TRUE(first.release);
    // The same length, other bytes, where the channel names the image.
    const std::string named = repo_ + "/targets/" + first.release->opened.job.sha256 + ".DB.bin";
    std::string bytes = Read(named);
    bytes[65540] ^= 1;
    std::ofstream(named, std::ios::binary) << bytes;
    ASSERT_EQ(std::remove((state_ + "/targets/DB.bin").c_str()), 0);
    const ChannelStatus s = Follow(repo_);
    EXPECT_EQ(s.lastError.fault, ChannelFault::Hash) << DescribeChannelError(s.lastError);
    EXPECT_FALSE(std::ifstream(state_ + "/targets/DB.bin"));
}

TEST_F(ChannelTest, AJobWhosePinIsNotItsImageIsRefused)
{
    const std::string job = JobText("lot9", "DB.bin", std::string(64, 'a'), 0, "");
    ASSERT_TRUE(PublishTargets(repo_, {{kReleaseTarget, job}, {"DB.bin", Read(keys_.file("DB.bin"))}}, release_,
                               online_, Now() + kDay, Now() + kDay, error_)) << error_;
    const ChannelStatus s = Follow(repo_);
    EXPECT_EQ(s.lastError.fault, ChannelFault::Hash) << DescribeChannelError(s.lastError);
}

TEST_F(ChannelTest, AServerSendingEndlessDataIsCutOff)
{
    CServedFolder served(repo_, [](const std::string& path, httplib::Response& res) {
        if (path != "/timestamp.json")
            return false;
        res.set_chunked_content_provider("application/json", [](size_t, httplib::DataSink& sink) {
            static const std::string junk(4096, ' ');
            return sink.write(junk.data(), junk.size());
        });
        return true;
    });
    const ChannelStatus s = Follow(served.Url());
    EXPECT_EQ(s.lastError.fault, ChannelFault::Length) << DescribeChannelError(s.lastError);
}

TEST_F(ChannelTest, AConnectionCutInTheImageLeavesNothingAndTheNextTryTakesItWhole)
{
    std::atomic<int> cuts{1};
    CServedFolder served(repo_, [this, &cuts](const std::string& path, httplib::Response& res) {
        if (path.find(".DB.bin") == std::string::npos || cuts-- <= 0)
            return false;
        const std::string bytes = Read(repo_ + path);
        res.set_content_provider(bytes.size(), "application/octet-stream",
                                 [bytes](size_t, size_t, httplib::DataSink& sink) {
                                     sink.write(bytes.data(), bytes.size() / 2);
                                     return false;
                                 });
        return true;
    });
    auto client = Client(served.Url());
    EXPECT_FALSE(client->Refresh());
    EXPECT_EQ(client->Status().lastError.fault, ChannelFault::Unreachable);
    EXPECT_FALSE(client->Status().release);
    EXPECT_FALSE(std::ifstream(state_ + "/targets/DB.bin"));
    EXPECT_TRUE(client->Refresh()) << DescribeChannelError(client->Status().lastError);
    EXPECT_EQ(client->Status().release->opened.image.bytes->size(), Read(keys_.file("DB.bin")).size());
}

TEST_F(ChannelTest, AForeignRootTrustsNothingOfTheChannel)
{
    const std::string foreign = work_.file("foreign");
    const PrivateKey other = NewKey(keys_, "other");
    ASSERT_TRUE(InitChannel(foreign, {other}, PublicHalf(other, ""), PublicHalf(other, ""), Now() + kDay, error_));
    CChannelClient client(MakeChannelFetcher(repo_), Read(foreign + "/root.json"), state_);
    EXPECT_FALSE(client.Refresh());
    EXPECT_EQ(client.Status().lastError.fault, ChannelFault::Signature)
        << DescribeChannelError(client.Status().lastError);
}

TEST_F(ChannelTest, ARotatedReleaseKeyIsTakenAndTheOldOneRefused)
{
    ASSERT_FALSE(Follow(repo_).lastError);
    const PrivateKey newRoot = NewKey(keys_, "root2");
    PrivateKey release2 = NewKey(keys_, "release2");
    const PublicKey pub2 = PublicHalf(release2, "");
    ASSERT_TRUE(RotateRoot(repo_, root_, newRoot, &pub2, nullptr, Now() + kDay, error_)) << error_;
    std::swap(release_, release2);
    ASSERT_TRUE(Publish(2)) << error_;
    ChannelStatus s = Follow(repo_);
    ASSERT_FALSE(s.lastError) << DescribeChannelError(s.lastError);
    EXPECT_EQ(s.release->opened.job.name, "lot2");
    // The old release key still signs where root 1 is read as the current one.
    const std::string forged = work_.file("forged");
    Copy(repo_, forged);
    std::swap(release_, release2);
    ASSERT_EQ(std::system(("cp " + forged + "/1.root.json " + forged + "/root.json").c_str()), 0);
    ASSERT_TRUE(Publish(3, forged)) << error_;
    ASSERT_EQ(std::system(("cp " + forged + "/2.root.json " + forged + "/root.json").c_str()), 0);
    s = Follow(forged);
    EXPECT_EQ(s.lastError.fault, ChannelFault::Signature) << DescribeChannelError(s.lastError);
}

TEST_F(ChannelTest, ARootThatSkipsAVersionIsRefused)
{
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(RotateRoot(repo_, root_, root_, nullptr, nullptr, Now() + kDay, error_)) << error_;
    ASSERT_EQ(std::rename((repo_ + "/3.root.json").c_str(), (repo_ + "/2.root.json").c_str()), 0);
    const ChannelStatus s = Follow(repo_);
    EXPECT_EQ(s.lastError.fault, ChannelFault::Rollback) << DescribeChannelError(s.lastError);
}

} // namespace

}  // namespace zq
