#include "channel/ChannelWriter.h"
#include "platform/Format.h"

#include <filesystem>
#include <set>

#include <nlohmann/json.hpp>

#include "channel/ChannelLimits.h"
#include "channel/Metadata.h"
#include "channel/StateFile.h"
#include "platform/Sha256.h"
#include "release/OpenedJob.h"

namespace zq {

namespace {

using Json = nlohmann::json;

const char kSpecVersion[] = "1.0.31";

Json Body(const char* type, uint64_t version, int64_t expires)
{
    return Json{{"_type", type}, {"spec_version", kSpecVersion}, {"version", version},
                {"expires", IsoUtc(expires)}};
}

std::string Sha256Of(const std::string& bytes)
{
    return Sha256Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

Json Named(uint64_t version, const std::string& bytes)
{
    return Json{{"version", version}, {"length", bytes.size()}, {"hashes", {{"sha256", Sha256Of(bytes)}}}};
}

bool SignAndWrite(const std::string& path, const Json& body, const std::vector<PrivateKey>& keys,
                  std::string& file, std::string& error)
{
    return SignMetadata(body, keys, file, error) && WriteFileAtomically(path, file, error);
}

bool ReadRoot(const std::string& dir, RootMetadata& root, std::string& error)
{
    std::string bytes;
    ChannelError why;
    if (!ReadWholeFile(dir + "/root.json", bytes)) {
        error = dir + "/root.json: cannot be read (--channel-init writes it)";
        return false;
    }
    if (!ParseRoot(bytes, root, why)) {
        error = dir + "/root.json: " + DescribeChannelError(why);
        return false;
    }
    return true;
}

// Whether key is one of role's in root; false with why.
bool KeyOfRole(const RootMetadata& root, const char* role, const PrivateKey& key, std::string& error)
{
    const std::vector<std::string>& ids = root.roles.at(role).keyids;
    if (std::find(ids.begin(), ids.end(), KeyId(PublicHalf(key, ""))) != ids.end())
        return true;
    error = std::string("the key given is not the channel's ") + role + " key (its root lists others)";
    return false;
}

// The versions the channel is at: timestamp, snapshot, targets; 0 where none.
struct Versions {
    uint64_t timestamp = 0, snapshot = 0, targets = 0;
    std::string snapshotBytes;
};

Versions Current(const std::string& dir)
{
    Versions v;
    std::string bytes;
    ChannelError ignored;
    TimestampMetadata t;
    if (!ReadWholeFile(dir + "/timestamp.json", bytes) || !ParseTimestamp(bytes, t, ignored))
        return v;
    v.timestamp = t.meta.version;
    v.snapshot = t.snapshot.version;
    SnapshotMetadata s;
    if (ReadWholeFile(dir + "/" + std::to_string(v.snapshot) + ".snapshot.json", bytes) &&
        ParseSnapshot(bytes, s, ignored)) {
        v.targets = s.files["targets.json"].version;
        v.snapshotBytes = bytes;
    }
    return v;
}

bool WriteTimestamp(const std::string& dir, uint64_t version, uint64_t snapshotVersion,
                    const std::string& snapshotBytes, const PrivateKey& online, int64_t expires, std::string& error)
{
    Json body = Body("timestamp", version, expires);
    body["meta"] = {{"snapshot.json", Named(snapshotVersion, snapshotBytes)}};
    std::string file;
    return SignAndWrite(dir + "/timestamp.json", body, {online}, file, error);
}

} // namespace

bool InitChannel(const std::string& dir, const std::vector<PrivateKey>& rootKeys, const PublicKey& release,
                 const PublicKey& online, int64_t expires, std::string& error)
{
    std::error_code ec;
    if (std::filesystem::exists(dir + "/root.json", ec)) {
        error = dir + " holds a channel already (root.json)";
        return false;
    }
    std::filesystem::create_directories(dir + "/targets", ec);
    Json keys = Json::object(), rootIds = Json::array();
    for (const PrivateKey& k : rootKeys) {
        const PublicKey pub = PublicHalf(k, "");
        keys[KeyId(pub)] = KeyObject(pub);
        rootIds.push_back(KeyId(pub));
    }
    keys[KeyId(release)] = KeyObject(release);
    keys[KeyId(online)] = KeyObject(online);
    const Json onlineIds = Json::array({KeyId(online)});
    Json body = Body("root", 1, expires);
    body["consistent_snapshot"] = true;
    body["keys"] = keys;
    body["roles"] = {{"root", {{"keyids", rootIds}, {"threshold", 1}}},
                     {"targets", {{"keyids", Json::array({KeyId(release)})}, {"threshold", 1}}},
                     {"snapshot", {{"keyids", onlineIds}, {"threshold", 1}}},
                     {"timestamp", {{"keyids", onlineIds}, {"threshold", 1}}}};
    std::string file;
    return SignAndWrite(dir + "/1.root.json", body, rootKeys, file, error) &&
           WriteFileAtomically(dir + "/root.json", file, error);
}

bool PublishTargets(const std::string& dir, const std::vector<NamedTarget>& targets, const PrivateKey& release,
                    const PrivateKey& online, int64_t targetsExpires, int64_t timestampExpires, std::string& error)
{
    RootMetadata root;
    if (!ReadRoot(dir, root, error) || !KeyOfRole(root, "targets", release, error) ||
        !KeyOfRole(root, "snapshot", online, error) || !KeyOfRole(root, "timestamp", online, error))
        return false;
    const Versions v = Current(dir);
    Json listed = Json::object();
    std::error_code ec;
    std::filesystem::create_directories(dir + "/targets", ec);
    for (const NamedTarget& t : targets) {
        const std::string sha = Sha256Of(t.bytes);
        if (!WriteFileAtomically(dir + "/targets/" + sha + "." + t.name, t.bytes, error))
            return false;
        listed[t.name] = {{"length", t.bytes.size()}, {"hashes", {{"sha256", sha}}}};
    }
    Json body = Body("targets", v.targets + 1, targetsExpires);
    body["targets"] = listed;
    std::string targetsFile, snapshotFile;
    if (!SignAndWrite(dir + "/" + std::to_string(v.targets + 1) + ".targets.json", body, {release}, targetsFile,
                      error))
        return false;
    Json snap = Body("snapshot", v.snapshot + 1, targetsExpires);
    snap["meta"] = {{"targets.json", Named(v.targets + 1, targetsFile)}};
    return SignAndWrite(dir + "/" + std::to_string(v.snapshot + 1) + ".snapshot.json", snap, {online},
                        snapshotFile, error) &&
           WriteTimestamp(dir, v.timestamp + 1, v.snapshot + 1, snapshotFile, online, timestampExpires, error);
}

bool PublishJob(const std::string& dir, const std::string& jobPath, const PrivateKey& release,
                const PrivateKey& online, int64_t targetsExpires, int64_t timestampExpires, std::string& error)
{
    // The job is published only with the very image it pins.
    OpenedJob opened;
    const JobRefusal refusal = OpenReleasedJob(jobPath, ReleaseKeys(), opened);
    if (refusal) {
        error = refusal.step == JobRefusal::Step::NotPinned ? "the image is not the one the job pins"
                : refusal.error.empty() ? opened.job.image + ": cannot be read as an image"
                                        : refusal.error;
        return false;
    }
    std::string text;
    ReadWholeFile(jobPath, text);
    Json job = Json::parse(text);
    // On the channel the job names its image by the target's name.
    const std::string image = std::filesystem::path(opened.job.image).filename().string();
    if (image == kReleaseTarget) {
        error = "the image cannot be called " + image;
        return false;
    }
    job["image"] = image;
    const std::vector<uint8_t>& bytes = *opened.image.bytes;
    const std::vector<NamedTarget> targets = {{kReleaseTarget, job.dump(2) + "\n"},
                                              {image, std::string(bytes.begin(), bytes.end())}};
    return PublishTargets(dir, targets, release, online, targetsExpires, timestampExpires, error);
}

bool RefreshTimestamp(const std::string& dir, const PrivateKey& online, int64_t expires, std::string& error)
{
    RootMetadata root;
    if (!ReadRoot(dir, root, error) || !KeyOfRole(root, "timestamp", online, error))
        return false;
    const Versions v = Current(dir);
    if (!v.timestamp || v.snapshotBytes.empty()) {
        error = dir + ": no release published yet (--publish writes the first timestamp)";
        return false;
    }
    return WriteTimestamp(dir, v.timestamp + 1, v.snapshot, v.snapshotBytes, online, expires, error);
}

bool RotateRoot(const std::string& dir, const PrivateKey& oldRoot, const PrivateKey& newRoot,
                const PublicKey* release, const PublicKey* online, int64_t expires, std::string& error)
{
    RootMetadata root;
    if (!ReadRoot(dir, root, error) || !KeyOfRole(root, "root", oldRoot, error))
        return false;
    Json body = root.meta.body;
    const PublicKey newPub = PublicHalf(newRoot, "");
    const std::string oldId = KeyId(PublicHalf(oldRoot, "")), newId = KeyId(newPub);
    Json& ids = body["roles"]["root"]["keyids"];
    for (Json& id : ids)
        if (id == oldId)
            id = newId;
    body["keys"][newId] = KeyObject(newPub);
    const auto replace = [&body](const char* role, const PublicKey& key) {
        body["keys"][KeyId(key)] = KeyObject(key);
        body["roles"][role]["keyids"] = Json::array({KeyId(key)});
    };
    if (release)
        replace("targets", *release);
    if (online) {
        replace("snapshot", *online);
        replace("timestamp", *online);
    }
    // Keys no role lists any more leave the root.
    std::set<std::string> used;
    for (const auto& role : body["roles"].items())
        for (const Json& id : role.value()["keyids"])
            used.insert(id.get<std::string>());
    for (auto it = body["keys"].begin(); it != body["keys"].end();)
        it = used.count(it.key()) ? std::next(it) : body["keys"].erase(it);
    const uint64_t version = root.meta.version + 1;
    body["version"] = version;
    body["expires"] = IsoUtc(expires);
    std::string file;
    return SignAndWrite(dir + "/" + std::to_string(version) + ".root.json", body, {oldRoot, newRoot}, file, error) &&
           WriteFileAtomically(dir + "/root.json", file, error);
}

}  // namespace zq
