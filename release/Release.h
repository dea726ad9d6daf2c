// Whether a job was released: signed (JOB.sig beside it) by a key this
// station trusts. The trust store is the administrator's: PEM files in
// /etc/zerquill/trusted/ on Linux, string values under
// HKLM\Software\Policies\Zerquill\TrustedKeys on Windows (Release_posix.cpp,
// Release_win32.cpp). Once it holds a key the station is locked: it runs
// released jobs only, and nobody at the station can add a key.
#pragma once

#include <string>
#include <vector>

#include "release/Signature.h"

namespace zq {

struct TrustStore {
    std::vector<PublicKey> keys;
    std::vector<std::string> unusable; // entries that hold no usable key, each with why
    // The store itself could not be read ("cannot read /etc/zerquill/trusted:
    // Permission denied"); empty where it was read or does not exist.
    std::string unreadable;
    // The first trusted roots of release channels (their JSON), installed
    // beside the keys: *.root.json in the folder on Linux, the value
    // ChannelRoot of HKLM\Software\Policies\Zerquill on Windows. They lock
    // the station as a key does.
    std::vector<std::string> channelRoots;
    // An entry or a store that cannot be read still locks: a damaged store,
    // or one this user may not read, must not open the station to every image.
    bool Locked() const
    {
        return !keys.empty() || !unusable.empty() || !unreadable.empty() || !channelRoots.empty();
    }
};

// Where the administrator puts the keys, as a person would look for it.
extern const char* const kTrustStoreName;
// The store at kTrustStoreName.
TrustStore InstalledTrust();
// The store in the given place: a folder of PEM files on Linux, a key under
// HKLM on Windows. Only a place that does not exist is an empty store.
TrustStore ReadTrustStore(const std::string& place);

enum class ReleaseState { Released, Unsigned, Untrusted, Changed };

struct ReleaseCheck {
    ReleaseState state = ReleaseState::Unsigned;
    PublicKey by;     // Released: the key that verified; Changed: the key the job names
    std::string text; // one line: who released it, or why it is not released
};

// The signature file of a job.
std::string SignaturePath(const std::string& jobPath);

// Verifies the job's bytes against JOB.sig with every trusted key. signer:
// the fingerprint the job names (empty: none), which tells a job changed
// after signing from one signed by a key the station does not trust.
ReleaseCheck CheckRelease(const std::string& jobPath, const Bytes& jobBytes, const std::string& signer,
                          const std::vector<PublicKey>& trusted);

}  // namespace zq
