// A download, --all or --watch that runs the release in force on a channel
// (--channel URL): the job and its image come from the channel, checked by
// it and by the job's pin; a station refreshes beside its downloads and
// hands each new release to the next device.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "channel/ChannelClient.h"
#include "cli/Jobs.h"
#include "cli/Options.h"
#include "release/Release.h"
#include "station/StationSession.h"

namespace zq {

// Refreshes the channel once and fills run (and the options the job sets:
// ports, log, image) from its release in force; -1 to go on. Else the exit
// status, after saying why: 7 when the channel cannot be confirmed, 64 for
// a root that cannot be had.
int PrepareChannelRun(FlashOptions& options, const TrustStore& store, JobRun& run);

// The release a session's downloads take, with what their records say of it.
std::shared_ptr<const StationRelease> StationReleaseOf(const ChannelRelease& release, const std::string& url);

// Beside a running station: a refresh every run.channelEvery seconds, and
// after each the release in force handed to the session, or none once the
// last one verified has expired. say and warn tell stdout and stderr.
class CChannelFollower {
public:
    using Tell = std::function<void(const std::string&)>;
    CChannelFollower(const JobRun& run, CStationSession& session, Tell say, Tell warn);
    ~CChannelFollower();
    CChannelFollower(const CChannelFollower&) = delete;
    CChannelFollower& operator=(const CChannelFollower&) = delete;

    // false, with why, when no thread could be had.
    bool Start(std::string& why);

private:
    void Loop();
    void Apply(const ChannelStatus& status);

    const JobRun& run_;
    CStationSession& session_;
    Tell say_, warn_;
    uint64_t version_ = 0;     // of the release handed over; 0: none
    std::string sha256_;       // its image's
    std::string told_;         // the last failure told, so that each is told once
    int64_t since_ = 0;        // when the channel was last confirmed, or the station began
    std::mutex mutex_;
    std::condition_variable wake_;
    bool ending_ = false;
    std::thread thread_;
};

}  // namespace zq
