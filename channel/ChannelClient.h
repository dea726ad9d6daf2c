// A station's view of one release channel: each refresh runs TUF's client
// workflow against the channel's place and the state kept from the last
// one, and ends with the release in force: release.zqjob, a job in today's
// format, and the image it names, each checked by the channel's length and
// hash and the image by the job's own pin. Refresh and Status may be called
// from any thread; Status only copies what the last refresh left.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "channel/ChannelError.h"
#include "channel/Fetcher.h"
#include "release/OpenedJob.h"

namespace zq {

class CTrustedStore;

struct ChannelRelease {
    OpenedJob opened;            // the job (its image in the state folder) and the image's bytes
    uint64_t targetsVersion = 0; // the version of the targets that list it
    int64_t expires = 0;         // the earliest expiry of the metadata that confirm it
};

struct ChannelStatus {
    std::shared_ptr<const ChannelRelease> release; // null: no release in force
    ChannelError lastError; // of the last refresh; none when it succeeded
    int64_t checked = 0;    // when the last refresh ended (seconds since 1970)
    int64_t confirmed = 0;  // when a refresh last succeeded; 0: never
};

class CChannelClient {
public:
    // initialRoot: the first trusted root's bytes (the administrator's, or a
    // bench's --channel-root); stateFolder: where the trusted metadata and
    // the cached release live.
    CChannelClient(std::unique_ptr<IChannelFetcher> fetcher, std::string initialRoot, std::string stateFolder);
    ~CChannelClient();

    // One run of the workflow; false when the channel could not be
    // confirmed (Status().lastError says why, and whether a release verified
    // earlier is still in force).
    bool Refresh();
    ChannelStatus Status() const;

private:
    bool Run(CTrustedStore& store, ChannelError& error);
    bool UpdateRoots(CTrustedStore& store, ChannelError& error);
    bool FetchMetadata(const std::string& name, size_t maxLength, std::string& bytes, ChannelError& error);
    bool TakeRelease(const CTrustedStore& store, bool fetch, ChannelRelease& release, ChannelError& error);
    bool TakeTarget(const CTrustedStore& store, const std::string& name, bool fetch, ChannelError& error);
    std::shared_ptr<const ChannelRelease> KeptRelease(int64_t now);

    std::unique_ptr<IChannelFetcher> fetcher_;
    std::string initialRoot_;
    std::string state_;
    std::mutex refreshing_; // one refresh at a time
    mutable std::mutex mutex_;
    ChannelStatus status_;
};

// The bytes of a file (a --channel-root, an installed root); false with why.
bool ReadChannelRoot(const std::string& path, std::string& bytes, std::string& error);

}  // namespace zq
