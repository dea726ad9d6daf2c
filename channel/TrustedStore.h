// The metadata a station trusts, one update function per role, in the order
// of TUF's client workflow. Each verifies a new file against what is trusted
// already and only then keeps it, in memory and in the state folder: a
// refused file is never written, and trust comes from the state persisted,
// never from what is being fetched.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "channel/Metadata.h"

namespace zq {

class CTrustedStore {
public:
    // state: the folder the trusted files are kept in; now: the reference
    // time of this refresh, fixed once (5.1).
    CTrustedStore(std::string state, int64_t now);

    // 5.2: the root kept in the state folder, else initialRoot (the
    // administrator's, or the bench's --channel-root). Its signatures are
    // its own; its expiry is checked after the chain.
    bool LoadRoot(const std::string& initialRoot, ChannelError& error);
    // 5.3: one N+1.root.json.
    bool UpdateRoot(const std::string& bytes, ChannelError& error);
    // 5.3, after the last root: its expiry, and what a rotation retires.
    bool FinishRoot(ChannelError& error);
    // The timestamp, snapshot and targets trusted before, read back as the
    // floor no version may go below. Those the root no longer verifies are
    // dropped.
    void LoadKept();

    bool UpdateTimestamp(const std::string& bytes, ChannelError& error); // 5.4
    bool UpdateSnapshot(const std::string& bytes, ChannelError& error);  // 5.5
    bool UpdateTargets(const std::string& bytes, ChannelError& error);   // 5.6

    const RootMetadata& Root() const { return root_; }
    const std::optional<TimestampMetadata>& Timestamp() const { return timestamp_; }
    const std::optional<SnapshotMetadata>& Snapshot() const { return snapshot_; }
    const std::optional<TargetsMetadata>& Targets() const { return targets_; }
    // The bytes of the trusted snapshot and targets, for a refresh that
    // finds them named again.
    const std::string& SnapshotBytes() const { return snapshotBytes_; }
    const std::string& TargetsBytes() const { return targetsBytes_; }
    // The earliest expiry of the four roles trusted.
    int64_t Expires() const;
    int64_t Now() const { return now_; }

private:
    bool Persist(const char* name, const std::string& bytes, ChannelError& error);
    void Drop(const char* name);
    bool Expired(const SignedMetadata& meta, ChannelError& error) const;

    std::string state_;
    int64_t now_;
    RootMetadata root_;
    RootMetadata firstRoot_; // the root trusted before the chain
    std::optional<TimestampMetadata> timestamp_;
    std::optional<SnapshotMetadata> snapshot_;
    std::optional<TargetsMetadata> targets_;
    std::string snapshotBytes_, targetsBytes_;
};

// The SHA-256 and length checks of a file its parent names (5.5.1, 5.6.1,
// 5.7): false with a Length or Hash error.
bool MatchesNamed(const std::string& what, const std::string& bytes, const MetaFile& named, ChannelError& error);

}  // namespace zq
