// Where a channel's files come from: a folder (a local path, a mounted or
// UNC share) or an http(s) URL. Every fetch reads at most the length it is
// given, so a source sending endless data is cut off.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace zq {

enum class FetchResult { Ok, NotFound, TooLong, Failed };

class IChannelFetcher {
public:
    virtual ~IChannelFetcher() = default;
    // name: a path below the channel ("3.root.json", "targets/<sha256>.DB.bin").
    // bytes: the whole file, never more than maxLength; error says why not.
    virtual FetchResult Fetch(const std::string& name, size_t maxLength, std::string& bytes, std::string& error) = 0;
    // The channel's place, as given.
    virtual const std::string& Where() const = 0;
};

// http:// and https:// over the platform's HTTP client; anything else is a
// folder.
std::unique_ptr<IChannelFetcher> MakeChannelFetcher(const std::string& url);

}  // namespace zq
