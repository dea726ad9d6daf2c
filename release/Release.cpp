#include "release/Release.h"
#include "platform/Format.h"

#include <fstream>
#include <iterator>

namespace zq {

std::string SignaturePath(const std::string& jobPath) { return jobPath + ".sig"; }

ReleaseCheck CheckRelease(const std::string& jobPath, const Bytes& jobBytes, const std::string& signer,
                          const std::vector<PublicKey>& trusted)
{
    ReleaseCheck check;
    const std::string sigPath = SignaturePath(jobPath);
    std::ifstream in(sigPath, std::ios::binary);
    const Bytes signature((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string notReleased = jobPath + " is not released: ";
    if (!in.is_open() || signature.empty()) {
        check.text = notReleased + "it has no signature (" + sigPath + (in.is_open() ? " is empty)" : " not found)");
        return check;
    }
    for (const PublicKey& key : trusted) {
        if (Verify(key, jobBytes.data(), jobBytes.size(), signature)) {
            check.state = ReleaseState::Released;
            check.by = key;
            check.text = jobPath + ": released by " + key.name + " (" + key.fingerprint + ")";
            return check;
        }
    }
    // ECDSA cannot tell changed bytes from another key by itself; the job's
    // own "signer", part of the signed bytes, can: a trusted key it names
    // that no longer verifies means the bytes changed.
    for (const PublicKey& key : trusted) {
        if (!signer.empty() && key.fingerprint == signer) {
            check.state = ReleaseState::Changed;
            check.by = key;
            check.text = notReleased + "it was changed after " + key.name + " (" + key.fingerprint +
                         ") signed it; sign it again";
            return check;
        }
    }
    check.state = ReleaseState::Untrusted;
    check.text = notReleased + "its signature verifies against none of the " + Counted(trusted.size(), "trusted key") +
                 (signer.empty() ? std::string() : "; it names the key " + signer + ", which this station does not trust");
    return check;
}

}  // namespace zq
