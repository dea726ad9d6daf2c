#include "cli/ChannelFollow.h"
#include "platform/Format.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <system_error>

#include "channel/Metadata.h"
#include "cli/Channel.h"
#include "download/Causes.h"
#include "download/ExitStatus.h"

namespace zq {

namespace {

void SayToStderr(const std::string& text) { std::fprintf(stderr, "zerquill-flash: %s\n", text.c_str()); }

int64_t Seconds() { return static_cast<int64_t>(std::time(nullptr)); }

// The first trusted root: on a locked station only the administrator's; on
// a bench --channel-root, else the one this station reached before. -1 with
// root set; else the exit status, after saying why.
int FirstRoot(const FlashOptions& options, const TrustStore& store, const std::string& state, std::string& root)
{
    std::string error;
    if (store.Locked()) {
        if (!options.channel.root.empty()) {
            SayToStderr("--channel-root: this station trusts only the root its administrator installed (" +
                        std::string(kTrustStoreName) + ")");
            return kExitUsage;
        }
        if (store.channelRoots.empty()) {
            // Fail closed: a store that cannot be read gives no root, and
            // a root the operator left in the state folder is not one.
            SayToStderr("the channel " + options.channel.url + " cannot be confirmed: this station has no root " +
                        "from its administrator (" +
                        (store.unreadable.empty() ? std::string(kTrustStoreName) : store.unreadable) + ")");
            return kExitChannel;
        }
        root = store.channelRoots.front();
        return -1;
    }
    const std::string path = options.channel.root.empty() ? state + "/root.json" : options.channel.root;
    if (ReadChannelRoot(path, root, error))
        return -1;
    SayToStderr(options.channel.root.empty() ? "--channel needs --channel-root ROOT.json the first time"
                                             : "--channel-root: " + error);
    return kExitUsage;
}

} // namespace

std::shared_ptr<const StationRelease> StationReleaseOf(const ChannelRelease& release, const std::string& url)
{
    auto taken = std::make_shared<StationRelease>();
    taken->image = release.opened.image;
    taken->tags.job = release.opened.job.name;
    taken->tags.station = release.opened.job.station;
    taken->tags.releaseChannel = url;
    taken->tags.releaseVersion = release.targetsVersion;
    taken->expires = release.expires;
    return taken;
}

int PrepareChannelRun(FlashOptions& options, const TrustStore& store, JobRun& run)
{
    const ChannelFollow& follow = options.channel;
    const std::string state = follow.state.empty() ? DefaultChannelState(follow.url) : follow.state;
    std::string root;
    const int refused = FirstRoot(options, store, state, root);
    if (refused >= 0)
        return refused;
    run.channel = std::make_shared<CChannelClient>(MakeChannelFetcher(follow.url), root, state);
    run.channelUrl = follow.url;
    run.channelEvery = follow.everySeconds;
    run.channel->Refresh();
    const ChannelStatus s = run.channel->Status();
    if (!ChannelConfirmed(s)) {
        // Nothing is opened: the download does not start.
        std::fprintf(stderr, "%s\nthe channel %s cannot be confirmed: %s\n", kNoticeFail, follow.url.c_str(),
                     DescribeChannelError(s.lastError).c_str());
        return kExitChannel;
    }
    if (s.lastError)
        SayToStderr("the channel " + follow.url + " cannot be reached (" + DescribeChannelError(s.lastError) +
                    "); the release verified before stays in force until " + IsoUtc(s.release->expires));
    const OpenedJob& opened = s.release->opened;
    run.hasJob = true;
    run.job = opened.job;
    run.snapshot = opened.image;
    run.tags.job = opened.job.name;
    run.tags.station = opened.job.station;
    run.tags.releaseChannel = follow.url;
    run.tags.releaseVersion = s.release->targetsVersion;
    if (options.port.empty() && options.ports.empty())
        options.ports = run.job.Ports();
    // The record file is the station's own (--log): a job's relative one
    // would land in the channel's state folder.
    options.image = run.snapshot.path;
    std::printf("release %llu of %s: job %s, image sha256 %s\n",
                static_cast<unsigned long long>(s.release->targetsVersion), follow.url.c_str(),
                opened.job.name.c_str(), opened.image.sha256.c_str());
    return -1;
}

CChannelFollower::CChannelFollower(const JobRun& run, CStationSession& session, Tell say, Tell warn)
    : run_(run), session_(session), say_(std::move(say)), warn_(std::move(warn)), since_(Seconds())
{
    const ChannelStatus s = run_.channel->Status();
    if (s.release) {
        version_ = s.release->targetsVersion;
        sha256_ = s.release->opened.image.sha256;
        session_.SetRelease(StationReleaseOf(*s.release, run_.channelUrl));
    }
    if (s.confirmed)
        since_ = s.confirmed;
}

CChannelFollower::~CChannelFollower()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

bool CChannelFollower::Start(std::string& why)
{
    try {
        thread_ = std::thread([this] { Loop(); });
    } catch (const std::system_error&) {
        why = "no thread to be had for following the channel";
        return false;
    }
    return true;
}

void CChannelFollower::Loop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::seconds(run_.channelEvery), [this] { return ending_; })) {
        lock.unlock();
        run_.channel->Refresh();
        Apply(run_.channel->Status());
        lock.lock();
    }
}

void CChannelFollower::Apply(const ChannelStatus& s)
{
    const std::string& url = run_.channelUrl;
    if (!s.lastError) {
        since_ = s.confirmed;
        if (!told_.empty())
            warn_("the channel " + url + " is confirmed again");
        told_.clear();
    }
    // The release in force is handed over whenever it changed, or went.
    const uint64_t version = s.release ? s.release->targetsVersion : 0;
    const std::string sha256 = s.release ? s.release->opened.image.sha256 : std::string();
    if (version != version_ || sha256 != sha256_) {
        session_.SetRelease(s.release ? StationReleaseOf(*s.release, url) : nullptr);
        if (s.release)
            say_("release " + std::to_string(version) + " of " + url + ": job " + s.release->opened.job.name +
                 ", image sha256 " + sha256 + ", for the next device");
        version_ = version;
        sha256_ = sha256;
    }
    if (!s.lastError)
        return;
    const std::string words =
        s.release ? "the channel " + url + " cannot be confirmed (" + DescribeChannelError(s.lastError) +
                        "); release " + std::to_string(version) + " stays in force until " +
                        IsoUtc(s.release->expires)
                  : "no new download starts: the channel " + url + " could not be confirmed since " +
                        IsoUtc(since_) + " (" + DescribeChannelError(s.lastError) + ")";
    if (words != told_)
        warn_(words);
    told_ = words;
}

}  // namespace zq
