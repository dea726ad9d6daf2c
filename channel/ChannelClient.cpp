#include "channel/ChannelClient.h"

#include <ctime>
#include <filesystem>

#include "channel/ChannelLimits.h"
#include "channel/StateFile.h"
#include "channel/TrustedStore.h"

namespace zq {

const char* const kReleaseTarget = "release.zqjob";

namespace {

// Roots a refresh follows at most: a chain without end is a channel's fault.
constexpr unsigned kMaxRootRotations = 256;

// A target is kept in the state folder under its own name: a name with a
// folder in it, or a dot-dot, could reach outside.
bool PlainName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\:") == std::string::npos;
}

} // namespace

CChannelClient::CChannelClient(std::unique_ptr<IChannelFetcher> fetcher, std::string initialRoot,
                               std::string stateFolder)
    : fetcher_(std::move(fetcher)), initialRoot_(std::move(initialRoot)), state_(std::move(stateFolder))
{
}

CChannelClient::~CChannelClient() = default;

ChannelStatus CChannelClient::Status() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

bool CChannelClient::Refresh()
{
    std::lock_guard<std::mutex> one(refreshing_);
    // 5.1: the reference time, fixed once for the whole refresh.
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    CTrustedStore store(state_, now);
    ChannelError error;
    auto release = std::make_shared<ChannelRelease>();
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(state_) / "targets", ec);
    const bool confirmed = !ec ? Run(store, error) && TakeRelease(store, true, *release, error)
                               : Refuse(error, ChannelFault::State, state_ + ": " + ec.message());
    std::shared_ptr<const ChannelRelease> inForce;
    if (confirmed) {
        inForce = release;
    } else {
        // A release confirmed before stays in force until its metadata expire.
        inForce = Status().release;
        if (!inForce || inForce->expires <= now)
            inForce = KeptRelease(now);
        error.releaseKept = inForce != nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    status_.release = inForce;
    status_.lastError = confirmed ? ChannelError() : error;
    status_.checked = now;
    if (confirmed)
        status_.confirmed = now;
    return confirmed;
}

bool CChannelClient::FetchMetadata(const std::string& name, size_t maxLength, std::string& bytes,
                                   ChannelError& error)
{
    std::string why;
    switch (fetcher_->Fetch(name, maxLength, bytes, why)) {
    case FetchResult::Ok: return true;
    case FetchResult::TooLong: return Refuse(error, ChannelFault::Length, why);
    case FetchResult::NotFound:
    case FetchResult::Failed: break;
    }
    return Refuse(error, ChannelFault::Unreachable, why);
}

bool CChannelClient::UpdateRoots(CTrustedStore& store, ChannelError& error)
{
    // 5.2: the trusted root.
    if (!store.LoadRoot(initialRoot_, error))
        return false;
    // 5.3.1-5.3.8: N+1.root.json, until there is none.
    for (unsigned i = 0; i < kMaxRootRotations; ++i) {
        const std::string name = std::to_string(store.Root().meta.version + 1) + ".root.json";
        std::string bytes, why;
        const FetchResult got = fetcher_->Fetch(name, kChannelRootMaxBytes, bytes, why);
        // 5.3.2: none: the trusted root is the final one.
        if (got == FetchResult::NotFound)
            return store.FinishRoot(error);
        if (got == FetchResult::TooLong)
            return Refuse(error, ChannelFault::Length, why);
        if (got == FetchResult::Failed)
            return Refuse(error, ChannelFault::Unreachable, why);
        if (!store.UpdateRoot(bytes, error))
            return false;
    }
    return Refuse(error, ChannelFault::Malformed, "more than 256 roots in one refresh");
}

bool CChannelClient::Run(CTrustedStore& store, ChannelError& error)
{
    if (!UpdateRoots(store, error))
        return false;
    store.LoadKept();
    // 5.4.1: timestamp.json, of at most its fixed upper bound.
    std::string bytes;
    if (!FetchMetadata("timestamp.json", kChannelTimestampMaxBytes, bytes, error) ||
        !store.UpdateTimestamp(bytes, error))
        return false;
    // 5.5.1: N.snapshot.json, as long as the timestamp says; the trusted one
    // again where the timestamp names its version (checked all the same).
    const MetaFile& snap = store.Timestamp()->snapshot;
    if (store.Snapshot() && store.Snapshot()->meta.version == snap.version)
        bytes = store.SnapshotBytes();
    else if (!FetchMetadata(std::to_string(snap.version) + ".snapshot.json",
                            snap.length ? snap.length : kChannelMetadataMaxBytes, bytes, error))
        return false;
    if (!store.UpdateSnapshot(bytes, error))
        return false;
    // 5.6.1: N.targets.json, likewise.
    const MetaFile& targets = store.Snapshot()->files.at("targets.json");
    if (store.Targets() && store.Targets()->meta.version == targets.version)
        bytes = store.TargetsBytes();
    else if (!FetchMetadata(std::to_string(targets.version) + ".targets.json",
                            targets.length ? targets.length : kChannelMetadataMaxBytes, bytes, error))
        return false;
    return store.UpdateTargets(bytes, error);
}

bool CChannelClient::TakeTarget(const CTrustedStore& store, const std::string& name, bool fetch,
                                ChannelError& error)
{
    const auto named = store.Targets()->targets.find(name);
    if (named == store.Targets()->targets.end())
        return Refuse(error, ChannelFault::Malformed, "the channel lists no target " + name);
    const MetaFile& file = named->second;
    if (!PlainName(name) || !file.length || file.sha256.size() != 64)
        return Refuse(error, ChannelFault::Malformed, "target " + name + " has no plain name, length and sha256");
    // A target kept from before is used again while it is the one named.
    const std::string cached = state_ + "/targets/" + name;
    std::string bytes;
    ChannelError stale;
    if (ReadWholeFile(cached, bytes) && MatchesNamed(name, bytes, file, stale))
        return true;
    if (!fetch)
        return Refuse(error, ChannelFault::Unreachable, name + " is not kept");
    // 5.7: the target by its hash (consistent snapshots), of at most the
    // length named, and kept only once its length and hash are the ones named.
    if (!FetchMetadata("targets/" + file.sha256 + "." + name, file.length, bytes, error) ||
        !MatchesNamed(name, bytes, file, error))
        return false;
    std::string why;
    if (!WriteFileAtomically(cached, bytes, why))
        return Refuse(error, ChannelFault::State, why);
    return true;
}

bool CChannelClient::TakeRelease(const CTrustedStore& store, bool fetch, ChannelRelease& release,
                                 ChannelError& error)
{
    if (!TakeTarget(store, kReleaseTarget, fetch, error))
        return false;
    // The job names its image by the target's name.
    std::string text, why;
    Job named;
    if (!ReadWholeFile(state_ + "/targets/" + kReleaseTarget, text) || !ParseJob(text, std::string(), named, why))
        return Refuse(error, ChannelFault::Malformed, std::string(kReleaseTarget) + ": " + why);
    if (!TakeTarget(store, named.image, fetch, error))
        return false;
    // Read as every released job is: the image beside it, held to its pin.
    const JobRefusal refusal = OpenReleasedJob(state_ + "/targets/" + kReleaseTarget, ReleaseKeys(), release.opened);
    if (refusal.step == JobRefusal::Step::NotPinned)
        return Refuse(error, ChannelFault::Hash, "the image " + named.image + " is not the one the job pins");
    if (refusal)
        return Refuse(error, ChannelFault::Malformed, "the release's image cannot be used: " + named.image);
    release.targetsVersion = store.Targets()->meta.version;
    release.expires = store.Expires();
    return true;
}

std::shared_ptr<const ChannelRelease> CChannelClient::KeptRelease(int64_t now)
{
    // What the state folder holds, checked as a refresh checks it but with
    // nothing fetched: a station started while its channel is away still
    // has the release it had, until that expires.
    CTrustedStore store(state_, now);
    ChannelError error;
    if (!store.LoadRoot(initialRoot_, error) || !store.FinishRoot(error))
        return nullptr;
    store.LoadKept();
    const auto& t = store.Timestamp();
    const auto& s = store.Snapshot();
    const auto& g = store.Targets();
    if (!t || !s || !g || s->meta.version != t->snapshot.version ||
        g->meta.version != s->files.at("targets.json").version || store.Expires() <= now)
        return nullptr;
    auto release = std::make_shared<ChannelRelease>();
    if (!TakeRelease(store, false, *release, error))
        return nullptr;
    return release;
}

bool ReadChannelRoot(const std::string& path, std::string& bytes, std::string& error)
{
    if (ReadWholeFile(path, bytes))
        return true;
    error = path + ": cannot be read";
    return false;
}

const char* FaultWord(ChannelFault fault)
{
    switch (fault) {
    case ChannelFault::None: return "";
    case ChannelFault::Rollback: return "rollback";
    case ChannelFault::Expired: return "expired";
    case ChannelFault::Signature: return "signature";
    case ChannelFault::Hash: return "hash";
    case ChannelFault::Length: return "length";
    case ChannelFault::Unreachable: return "unreachable";
    case ChannelFault::Malformed: return "malformed";
    case ChannelFault::State: return "state";
    }
    return "";
}

std::string DescribeChannelError(const ChannelError& error)
{
    return std::string(FaultWord(error.fault)) + ": " + error.text;
}

}  // namespace zq
