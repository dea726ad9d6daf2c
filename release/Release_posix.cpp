#include "release/Release.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace zq {

const char* const kTrustStoreName = "/etc/zerquill/trusted";

namespace {

// The key files in folder, sorted; false with why when the folder cannot be
// listed whole. A folder that does not exist holds none.
bool ListKeyFiles(const std::string& folder, std::vector<std::filesystem::path>& files, TrustStore& store,
                  std::string& why)
{
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec == std::errc::no_such_file_or_directory)
        return true;
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // Editors' and package managers' leftovers are not keys.
        if (name.empty() || name[0] == '.' || name.back() == '~')
            continue;
        std::error_code typeError;
        if (it->is_regular_file(typeError))
            files.push_back(it->path());
        else if (typeError)
            store.unusable.push_back(it->path().string() + ": " + typeError.message());
    }
    if (ec) {
        why = "cannot read " + folder + ": " + ec.message();
        return false;
    }
    std::sort(files.begin(), files.end());
    return true;
}

bool ReadWhole(const std::filesystem::path& path, std::string& bytes)
{
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.good() || in.eof();
}

} // namespace

TrustStore InstalledTrust() { return ReadTrustStore(kTrustStoreName); }

TrustStore ReadTrustStore(const std::string& place)
{
    TrustStore store;
    std::vector<std::filesystem::path> files;
    if (!ListKeyFiles(place, files, store, store.unreadable))
        return store;
    for (const auto& file : files) {
        // A channel's root, beside the keys; one that cannot be read locks
        // as a key that cannot be read does.
        const std::string name = file.filename().string();
        if (name.size() > 10 && name.compare(name.size() - 10, 10, ".root.json") == 0) {
            std::string bytes;
            if (ReadWhole(file, bytes))
                store.channelRoots.push_back(bytes);
            else
                store.unusable.push_back(file.string() + ": cannot be read");
            continue;
        }
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
