// A channel's signed metadata, TUF 1.0: root, timestamp, snapshot and
// targets, each {"signed": {...}, "signatures": [{"keyid", "sig"}]}. Keys
// are ECDSA P-256 ("ecdsa", "ecdsa-sha2-nistp256", the public key's PEM);
// a signature is DER in hex over the canonical JSON of "signed".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "channel/ChannelError.h"
#include "release/Signature.h"

namespace zq {

struct SignedMetadata {
    std::string type;     // "root", "timestamp", "snapshot", "targets"
    uint64_t version = 0;
    int64_t expires = 0;  // seconds since 1970, UTC
    nlohmann::json body;  // "signed"
    nlohmann::json signatures;
};

struct RoleKeys {
    std::vector<std::string> keyids;
    uint64_t threshold = 0;
};

// A file as its parent names it; length 0 and an empty sha256: not named.
struct MetaFile {
    uint64_t version = 0;
    uint64_t length = 0;
    std::string sha256;
};

struct RootMetadata {
    SignedMetadata meta;
    bool consistent = false;
    std::map<std::string, PublicKey> keys; // by key ID, as root gives it
    std::map<std::string, RoleKeys> roles;
};

struct TimestampMetadata {
    SignedMetadata meta;
    MetaFile snapshot;
};

struct SnapshotMetadata {
    SignedMetadata meta;
    std::map<std::string, MetaFile> files; // "targets.json", ...
};

struct TargetsMetadata {
    SignedMetadata meta;
    std::map<std::string, MetaFile> targets; // version unused
};

// Each parses a file of its kind; false with a Malformed error.
bool ParseRoot(const std::string& bytes, RootMetadata& root, ChannelError& error);
bool ParseTimestamp(const std::string& bytes, TimestampMetadata& timestamp, ChannelError& error);
bool ParseSnapshot(const std::string& bytes, SnapshotMetadata& snapshot, ChannelError& error);
bool ParseTargets(const std::string& bytes, TargetsMetadata& targets, ChannelError& error);

// Whether at least the threshold of role's keys in root, each key ID
// counted once, signed meta. false with a Signature error ("timestamp is
// signed by 0 of the 1 keys it needs").
bool VerifyRole(const RootMetadata& root, const std::string& role, const SignedMetadata& meta, ChannelError& error);

// What the writer needs: a key as root lists it, its ID (SHA-256 of that
// object's canonical JSON), and a file signed by keys.
nlohmann::json KeyObject(const PublicKey& key);
std::string KeyId(const PublicKey& key);
bool SignMetadata(const nlohmann::json& body, const std::vector<PrivateKey>& keys, std::string& file,
                  std::string& error);

std::string HexOf(const Bytes& bytes);

}  // namespace zq
