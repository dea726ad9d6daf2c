// The engineer's side of a channel: the folder a web server or a file share
// serves as it is. Root v1, a release published, a fresh timestamp, a root
// rotated. Each file is put in place whole, the timestamp last, so a reader
// never sees half a file nor a timestamp naming files not there yet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "release/Signature.h"

namespace zq {

// A file to publish as a target, under its name.
struct NamedTarget {
    std::string name;
    std::string bytes;
};

// Root v1 in dir (1.root.json and root.json): rootKeys sign it, any one of
// them signs a later root; release signs the targets; online signs the
// snapshot and the timestamp. False with why.
bool InitChannel(const std::string& dir, const std::vector<PrivateKey>& rootKeys, const PublicKey& release,
                 const PublicKey& online, int64_t expires, std::string& error);

// The targets (replacing those listed before), then a snapshot and a
// timestamp naming them, each one version up. targetsExpires: of the
// targets and the snapshot; the timestamp expires at timestampExpires.
bool PublishTargets(const std::string& dir, const std::vector<NamedTarget>& targets, const PrivateKey& release,
                    const PrivateKey& online, int64_t targetsExpires, int64_t timestampExpires, std::string& error);

// The job at jobPath, with its image, as the channel's release: the image
// must be the one the job pins; release.zqjob names it by its file name.
bool PublishJob(const std::string& dir, const std::string& jobPath, const PrivateKey& release,
                const PrivateKey& online, int64_t targetsExpires, int64_t timestampExpires, std::string& error);

// A timestamp one version up, naming the same snapshot.
bool RefreshTimestamp(const std::string& dir, const PrivateKey& online, int64_t expires, std::string& error);

// Root N+1, signed by oldRoot and newRoot, with newRoot in oldRoot's place;
// release and online, where given (non-null), replace those roles' keys.
bool RotateRoot(const std::string& dir, const PrivateKey& oldRoot, const PrivateKey& newRoot,
                const PublicKey* release, const PublicKey* online, int64_t expires, std::string& error);

}  // namespace zq
