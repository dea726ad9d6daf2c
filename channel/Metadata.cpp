#include "channel/Metadata.h"

#include "platform/Format.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "channel/CanonicalJson.h"
#include "platform/Sha256.h"

namespace zq {

namespace {

using Json = nlohmann::json;

bool Malformed(ChannelError& error, const std::string& what, const std::string& why)
{
    return Refuse(error, ChannelFault::Malformed, what + ": " + why);
}

int Nibble(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

bool FromHex(const std::string& hex, Bytes& out)
{
    if (hex.size() % 2)
        return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = Nibble(hex[i]), lo = Nibble(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

bool Count(const Json& object, const char* key, uint64_t& out)
{
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer() || it->get<int64_t>() < 0)
        return false;
    out = it->get<uint64_t>();
    return true;
}

// The common part: "_type", "spec_version" 1.x, "version" from 1, "expires".
bool ParseSigned(const std::string& bytes, const char* type, SignedMetadata& meta, ChannelError& error)
{
    Json file;
    try {
        file = Json::parse(bytes);
    } catch (const Json::exception&) {
        return Malformed(error, type, "not JSON");
    }
    if (!file.is_object() || !file.contains("signed") || !file["signed"].is_object() ||
        !file.contains("signatures") || !file["signatures"].is_array())
        return Malformed(error, type, "not {\"signed\", \"signatures\"}");
    meta.body = file["signed"];
    meta.signatures = file["signatures"];
    const Json& s = meta.body;
    const auto format = s.find("spec_version");
    if (!s.contains("_type") || s["_type"] != type)
        return Malformed(error, type, "not a " + std::string(type) + " file");
    if (format == s.end() || !format->is_string() || format->get<std::string>().rfind("1.", 0) != 0)
        return Malformed(error, type, "not TUF 1.x metadata");
    if (!Count(s, "version", meta.version) || meta.version < 1)
        return Malformed(error, type, "no version of 1 or more");
    if (!s.contains("expires") || !s["expires"].is_string() ||
        !ParseIsoUtc(s["expires"].get<std::string>(), meta.expires))
        return Malformed(error, type, "no expiry like 2030-01-01T00:00:00Z");
    meta.type = type;
    return true;
}

// {"version", "length", "hashes": {"sha256"}}, the last two optional.
bool ParseMetaFile(const Json& j, bool needsVersion, MetaFile& file)
{
    if (!j.is_object() || (needsVersion && (!Count(j, "version", file.version) || file.version < 1)))
        return false;
    if (j.contains("length") && !Count(j, "length", file.length))
        return false;
    if (j.contains("hashes")) {
        const Json& h = j["hashes"];
        if (!h.is_object())
            return false;
        if (h.contains("sha256")) {
            if (!h["sha256"].is_string())
                return false;
            file.sha256 = h["sha256"].get<std::string>();
        }
    }
    return true;
}

bool ParseKey(const Json& k, PublicKey& key, const std::string& id)
{
    if (!k.is_object() || k.value("keytype", "") != "ecdsa" || k.value("scheme", "") != "ecdsa-sha2-nistp256" ||
        !k.contains("keyval") || !k["keyval"].is_object() || !k["keyval"].contains("public") ||
        !k["keyval"]["public"].is_string())
        return false;
    std::string why;
    return ParsePublicKey(k["keyval"]["public"].get<std::string>(), id, key, why);
}

const char* const kRoles[] = {"root", "timestamp", "snapshot", "targets"};

bool ParseRoles(const Json& roles, RootMetadata& root, ChannelError& error)
{
    if (!roles.is_object())
        return Malformed(error, "root", "no roles");
    for (const char* name : kRoles) {
        RoleKeys role;
        const auto it = roles.find(name);
        if (it == roles.end() || !it->is_object() || !Count(*it, "threshold", role.threshold) ||
            role.threshold < 1 || !it->contains("keyids") || !(*it)["keyids"].is_array())
            return Malformed(error, "root", std::string("role ") + name + " has no keys and threshold of 1 or more");
        for (const Json& id : (*it)["keyids"])
            if (id.is_string())
                role.keyids.push_back(id.get<std::string>());
        root.roles[name] = role;
    }
    return true;
}

} // namespace

bool ParseRoot(const std::string& bytes, RootMetadata& root, ChannelError& error)
{
    root = RootMetadata();
    if (!ParseSigned(bytes, "root", root.meta, error))
        return false;
    const Json& s = root.meta.body;
    root.consistent = s.value("consistent_snapshot", false) == true;
    if (!s.contains("keys") || !s["keys"].is_object())
        return Malformed(error, "root", "no keys");
    // A key of another kind verifies nothing here; it is left out rather
    // than refusing a root whose other keys still reach the threshold.
    for (auto it = s["keys"].begin(); it != s["keys"].end(); ++it) {
        PublicKey key;
        if (ParseKey(it.value(), key, it.key()))
            root.keys[it.key()] = key;
    }
    return s.contains("roles") && ParseRoles(s["roles"], root, error);
}

bool ParseTimestamp(const std::string& bytes, TimestampMetadata& timestamp, ChannelError& error)
{
    timestamp = TimestampMetadata();
    if (!ParseSigned(bytes, "timestamp", timestamp.meta, error))
        return false;
    const Json& s = timestamp.meta.body;
    if (!s.contains("meta") || !s["meta"].is_object() || !s["meta"].contains("snapshot.json") ||
        !ParseMetaFile(s["meta"]["snapshot.json"], true, timestamp.snapshot))
        return Malformed(error, "timestamp", "names no snapshot.json version");
    return true;
}

bool ParseSnapshot(const std::string& bytes, SnapshotMetadata& snapshot, ChannelError& error)
{
    snapshot = SnapshotMetadata();
    if (!ParseSigned(bytes, "snapshot", snapshot.meta, error))
        return false;
    const Json& s = snapshot.meta.body;
    if (!s.contains("meta") || !s["meta"].is_object())
        return Malformed(error, "snapshot", "no meta");
    for (auto it = s["meta"].begin(); it != s["meta"].end(); ++it)
        if (!ParseMetaFile(it.value(), true, snapshot.files[it.key()]))
            return Malformed(error, "snapshot", it.key() + " has no version");
    if (!snapshot.files.count("targets.json"))
        return Malformed(error, "snapshot", "names no targets.json");
    return true;
}

bool ParseTargets(const std::string& bytes, TargetsMetadata& targets, ChannelError& error)
{
    targets = TargetsMetadata();
    if (!ParseSigned(bytes, "targets", targets.meta, error))
        return false;
    const Json& s = targets.meta.body;
    if (!s.contains("targets") || !s["targets"].is_object())
        return Malformed(error, "targets", "no targets");
    for (auto it = s["targets"].begin(); it != s["targets"].end(); ++it)
        if (!ParseMetaFile(it.value(), false, targets.targets[it.key()]))
            return Malformed(error, "targets", it.key() + " has no length and hashes");
    return true;
}

bool VerifyRole(const RootMetadata& root, const std::string& role, const SignedMetadata& meta, ChannelError& error)
{
    const RoleKeys& keys = root.roles.at(role);
    std::string canonical, why;
    if (!CanonicalJson(meta.body, canonical, why))
        return Refuse(error, ChannelFault::Signature, meta.type + ": " + why);
    std::set<std::string> counted;
    for (const Json& sig : meta.signatures) {
        if (!sig.is_object() || !sig.contains("keyid") || !sig["keyid"].is_string() || !sig.contains("sig") ||
            !sig["sig"].is_string())
            continue;
        const std::string id = sig["keyid"].get<std::string>();
        const auto key = root.keys.find(id);
        Bytes der;
        if (counted.count(id) || key == root.keys.end() ||
            std::find(keys.keyids.begin(), keys.keyids.end(), id) == keys.keyids.end() ||
            !FromHex(sig["sig"].get<std::string>(), der))
            continue;
        if (Verify(key->second, reinterpret_cast<const uint8_t*>(canonical.data()), canonical.size(), der))
            counted.insert(id);
    }
    if (counted.size() >= keys.threshold)
        return true;
    return Refuse(error, ChannelFault::Signature,
                  meta.type + " version " + std::to_string(meta.version) + " is signed by " +
                      std::to_string(counted.size()) + " of the " + std::to_string(keys.threshold) +
                      " " + role + " keys it needs");
}

std::string HexOf(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const uint8_t b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

namespace {

std::string Base64Of(const Bytes& der)
{
    static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < der.size(); i += 3) {
        const uint32_t n = static_cast<uint32_t>(der[i]) << 16 |
                           (i + 1 < der.size() ? static_cast<uint32_t>(der[i + 1]) << 8 : 0) |
                           (i + 2 < der.size() ? der[i + 2] : 0);
        out += abc[n >> 18 & 63];
        out += abc[n >> 12 & 63];
        out += i + 1 < der.size() ? abc[n >> 6 & 63] : '=';
        out += i + 2 < der.size() ? abc[n & 63] : '=';
    }
    return out;
}

} // namespace

Json KeyObject(const PublicKey& key)
{
    std::string b64 = Base64Of(key.spki), pem = "-----BEGIN PUBLIC KEY-----\n";
    for (size_t i = 0; i < b64.size(); i += 64)
        pem += b64.substr(i, 64) + "\n";
    pem += "-----END PUBLIC KEY-----\n";
    return Json{{"keytype", "ecdsa"}, {"scheme", "ecdsa-sha2-nistp256"}, {"keyval", {{"public", pem}}}};
}

std::string KeyId(const PublicKey& key)
{
    std::string canonical, why;
    CanonicalJson(KeyObject(key), canonical, why);
    return Sha256Hex(reinterpret_cast<const uint8_t*>(canonical.data()), canonical.size());
}

bool SignMetadata(const Json& body, const std::vector<PrivateKey>& keys, std::string& file, std::string& error)
{
    std::string canonical;
    if (!CanonicalJson(body, canonical, error))
        return false;
    Json signatures = Json::array();
    for (const PrivateKey& key : keys) {
        Bytes der;
        if (!Sign(key, reinterpret_cast<const uint8_t*>(canonical.data()), canonical.size(), der)) {
            error = "the key could not sign";
            return false;
        }
        signatures.push_back({{"keyid", KeyId(PublicHalf(key, ""))}, {"sig", HexOf(der)}});
    }
    // The file itself is ordinary JSON: canonical JSON leaves a newline in a
    // string (a PEM key's) as it is, which no JSON parser takes.
    file = Json{{"signed", body}, {"signatures", signatures}}.dump(2) + "\n";
    return true;
}

}  // namespace zq
