#include "channel/TrustedStore.h"
#include "platform/Format.h"

#include <algorithm>
#include <cstdio>

#include "channel/StateFile.h"
#include "platform/Sha256.h"

namespace zq {

namespace {

const char kRootFile[] = "root.json";
const char kTimestampFile[] = "timestamp.json";
const char kSnapshotFile[] = "snapshot.json";
const char kTargetsFile[] = "targets.json";

std::string Below(const char* what, uint64_t version, uint64_t trusted)
{
    return std::string(what) + " version " + std::to_string(version) + " is below the trusted " +
           std::to_string(trusted);
}

// A root must carry the threshold of its own root keys.
bool SelfSigned(const std::string& bytes, RootMetadata& root, ChannelError& error)
{
    return ParseRoot(bytes, root, error) && VerifyRole(root, "root", root.meta, error);
}

} // namespace

bool MatchesNamed(const std::string& what, const std::string& bytes, const MetaFile& named, ChannelError& error)
{
    if (named.length && bytes.size() != named.length)
        return Refuse(error, ChannelFault::Length,
                      what + " has " + std::to_string(bytes.size()) + " bytes, " + std::to_string(named.length) +
                          " are named");
    if (!named.sha256.empty() &&
        Sha256Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) != named.sha256)
        return Refuse(error, ChannelFault::Hash, what + " is not the file named (its SHA-256 differs)");
    return true;
}

CTrustedStore::CTrustedStore(std::string state, int64_t now) : state_(std::move(state)), now_(now) {}

bool CTrustedStore::Persist(const char* name, const std::string& bytes, ChannelError& error)
{
    std::string why;
    if (!WriteFileAtomically(state_ + "/" + name, bytes, why))
        return Refuse(error, ChannelFault::State, why);
    return true;
}

void CTrustedStore::Drop(const char* name)
{
    std::remove((state_ + "/" + name).c_str());
}

bool CTrustedStore::Expired(const SignedMetadata& meta, ChannelError& error) const
{
    if (now_ < meta.expires)
        return false;
    Refuse(error, ChannelFault::Expired,
           meta.type + " version " + std::to_string(meta.version) + " expired at " + IsoUtc(meta.expires));
    return true;
}

int64_t CTrustedStore::Expires() const
{
    int64_t earliest = root_.meta.expires;
    for (const SignedMetadata* m : {timestamp_ ? &timestamp_->meta : nullptr, snapshot_ ? &snapshot_->meta : nullptr,
                                    targets_ ? &targets_->meta : nullptr})
        if (m)
            earliest = std::min(earliest, m->expires);
    return earliest;
}

bool CTrustedStore::LoadRoot(const std::string& initialRoot, ChannelError& error)
{
    // 5.2: the trusted root is the one kept, or the one installed; of two,
    // the later (an administrator may install a newer root than the chain
    // reached). Either must be signed by its own root keys.
    RootMetadata kept, installed;
    std::string keptBytes;
    ChannelError ignored, refused;
    const bool hasKept = ReadWholeFile(state_ + "/" + kRootFile, keptBytes) && SelfSigned(keptBytes, kept, ignored);
    const bool hasInstalled = SelfSigned(initialRoot, installed, refused);
    if (!hasKept && !hasInstalled) {
        error = refused;
        return false;
    }
    const bool useKept = hasKept && (!hasInstalled || kept.meta.version >= installed.meta.version);
    root_ = useKept ? kept : installed;
    // The installed root is kept too: a later run without it starts from it.
    if (!useKept && !Persist(kRootFile, initialRoot, error))
        return false;
    firstRoot_ = root_;
    return true;
}

bool CTrustedStore::UpdateRoot(const std::string& bytes, ChannelError& error)
{
    RootMetadata next;
    if (!ParseRoot(bytes, next, error))
        return false;
    // 5.3.3: check for an arbitrary software attack: the new root is signed
    // by the threshold of the trusted root's root keys ...
    if (!VerifyRole(root_, "root", next.meta, error))
        return false;
    // ... and by the threshold of its own.
    if (!VerifyRole(next, "root", next.meta, error))
        return false;
    // 5.3.4: check for a rollback attack: the new root's version is exactly
    // the trusted one's plus one.
    if (next.meta.version != root_.meta.version + 1)
        return Refuse(error, ChannelFault::Rollback,
                      "root version " + std::to_string(next.meta.version) + " is not the next after " +
                          std::to_string(root_.meta.version));
    // 5.3.5: its expiry is not checked yet: a later root may follow.
    // 5.3.7: persist the new root; 5.3.6: it is the trusted root.
    if (!Persist(kRootFile, bytes, error))
        return false;
    root_ = next;
    return true;
}

bool CTrustedStore::FinishRoot(ChannelError& error)
{
    // 5.3.10: check for a freeze attack: the final root has not expired.
    if (Expired(root_.meta, error))
        return false;
    // 5.3.11: where the timestamp's or the snapshot's keys were rotated, the
    // trusted timestamp and snapshot are deleted: a key that signed a
    // version far ahead must not keep the new keys' files out forever.
    const auto same = [this](const char* role) {
        return firstRoot_.roles.at(role).keyids == root_.roles.at(role).keyids;
    };
    if (!same("timestamp") || !same("snapshot")) {
        Drop(kTimestampFile);
        Drop(kSnapshotFile);
    }
    // 5.3.12: consistent snapshots are what this client fetches.
    if (!root_.consistent)
        return Refuse(error, ChannelFault::Malformed, "root: the channel does not use consistent snapshots");
    return true;
}

void CTrustedStore::LoadKept()
{
    std::string bytes;
    ChannelError ignored;
    TimestampMetadata t;
    if (ReadWholeFile(state_ + "/" + kTimestampFile, bytes) && ParseTimestamp(bytes, t, ignored) &&
        VerifyRole(root_, "timestamp", t.meta, ignored))
        timestamp_ = t;
    SnapshotMetadata s;
    if (ReadWholeFile(state_ + "/" + kSnapshotFile, bytes) && ParseSnapshot(bytes, s, ignored) &&
        VerifyRole(root_, "snapshot", s.meta, ignored)) {
        snapshot_ = s;
        snapshotBytes_ = bytes;
    }
    TargetsMetadata g;
    if (ReadWholeFile(state_ + "/" + kTargetsFile, bytes) && ParseTargets(bytes, g, ignored) &&
        VerifyRole(root_, "targets", g.meta, ignored)) {
        targets_ = g;
        targetsBytes_ = bytes;
    }
}

bool CTrustedStore::UpdateTimestamp(const std::string& bytes, ChannelError& error)
{
    TimestampMetadata next;
    if (!ParseTimestamp(bytes, next, error))
        return false;
    // 5.4.2: check for an arbitrary software attack: signed by the
    // threshold of the timestamp keys.
    if (!VerifyRole(root_, "timestamp", next.meta, error))
        return false;
    if (timestamp_) {
        // 5.4.3.1: check for a rollback attack: the timestamp's version does
        // not go back ...
        if (next.meta.version < timestamp_->meta.version)
            return Refuse(error, ChannelFault::Rollback,
                          Below("timestamp", next.meta.version, timestamp_->meta.version));
        // ... 5.4.3.2: nor the snapshot version it names.
        if (next.snapshot.version < timestamp_->snapshot.version)
            return Refuse(error, ChannelFault::Rollback,
                          Below("snapshot named by the timestamp", next.snapshot.version,
                                timestamp_->snapshot.version));
        // The same version again: nothing new, the trusted one stays.
        if (next.meta.version == timestamp_->meta.version)
            return !Expired(timestamp_->meta, error);
    }
    // 5.4.4: check for a freeze attack: the new timestamp has not expired.
    if (Expired(next.meta, error))
        return false;
    // 5.4.5: persist the timestamp, now that every check passed.
    if (!Persist(kTimestampFile, bytes, error))
        return false;
    timestamp_ = next;
    return true;
}

bool CTrustedStore::UpdateSnapshot(const std::string& bytes, ChannelError& error)
{
    if (!timestamp_)
        return Refuse(error, ChannelFault::Malformed, "snapshot before a timestamp");
    // 5.5.2: the snapshot is the one the timestamp names: its length and hash.
    if (!MatchesNamed("snapshot", bytes, timestamp_->snapshot, error))
        return false;
    SnapshotMetadata next;
    if (!ParseSnapshot(bytes, next, error))
        return false;
    // 5.5.3: check for an arbitrary software attack: signed by the threshold
    // of the snapshot keys.
    if (!VerifyRole(root_, "snapshot", next.meta, error))
        return false;
    // 5.5.4: check against the timestamp: the version it names.
    if (next.meta.version != timestamp_->snapshot.version)
        return Refuse(error, ChannelFault::Rollback,
                      "snapshot version " + std::to_string(next.meta.version) + " is not the " +
                          std::to_string(timestamp_->snapshot.version) + " the timestamp names");
    // 5.5.5: check for a rollback attack: no targets file the trusted
    // snapshot lists goes back, or goes.
    if (snapshot_)
        for (const auto& [name, trusted] : snapshot_->files) {
            const auto now = next.files.find(name);
            if (now == next.files.end())
                return Refuse(error, ChannelFault::Rollback, "the snapshot no longer lists " + name);
            if (now->second.version < trusted.version)
                return Refuse(error, ChannelFault::Rollback, Below(name.c_str(), now->second.version, trusted.version));
        }
    // 5.5.6: check for a freeze attack: the snapshot has not expired.
    if (Expired(next.meta, error))
        return false;
    // 5.5.7: persist the snapshot.
    if (bytes != snapshotBytes_ && !Persist(kSnapshotFile, bytes, error))
        return false;
    snapshot_ = next;
    snapshotBytes_ = bytes;
    return true;
}

bool CTrustedStore::UpdateTargets(const std::string& bytes, ChannelError& error)
{
    if (!snapshot_)
        return Refuse(error, ChannelFault::Malformed, "targets before a snapshot");
    const MetaFile& named = snapshot_->files.at("targets.json");
    // 5.6.2: the targets file is the one the snapshot names: its length and
    // hash, where it gives them.
    if (!MatchesNamed("targets", bytes, named, error))
        return false;
    TargetsMetadata next;
    if (!ParseTargets(bytes, next, error))
        return false;
    // 5.6.3: check for an arbitrary software attack: signed by the threshold
    // of the targets keys (the release key).
    if (!VerifyRole(root_, "targets", next.meta, error))
        return false;
    // 5.6.4: check against the snapshot: the version it names.
    if (next.meta.version != named.version)
        return Refuse(error, ChannelFault::Rollback,
                      "targets version " + std::to_string(next.meta.version) + " is not the " +
                          std::to_string(named.version) + " the snapshot names");
    // 5.6.5: check for a freeze attack: the targets have not expired.
    if (Expired(next.meta, error))
        return false;
    // 5.6.6: persist the targets.
    if (bytes != targetsBytes_ && !Persist(kTargetsFile, bytes, error))
        return false;
    targets_ = next;
    targetsBytes_ = bytes;
    return true;
}

}  // namespace zq
