#include "release/Release.h"

#include <algorithm>
#include <filesystem>

namespace zq {

const char* const kTrustStoreName = "/etc/zerquill/trusted";

TrustStore InstalledTrust()
{
    TrustStore store;
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(kTrustStoreName, ec)) {
        const std::string name = entry.path().filename().string();
        // Editors' and package managers' leftovers are not keys.
        if (name.empty() || name[0] == '.' || name.back() == '~' || !entry.is_regular_file(ec))
            continue;
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        PublicKey key;
        std::string error;
        if (ReadPublicKeyFile(file.string(), key, error))
            store.keys.push_back(key);
        else
            store.unusable.push_back(error);
    }
    return store;
}

}  // namespace zq
