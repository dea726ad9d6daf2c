#include "channel/Fetcher.h"

#include <fstream>
#include <mutex>
#include <system_error>
#include <filesystem>

#include "channel/ChannelLimits.h"
#include "forward/Http.h"

namespace zq {

namespace {

class CFolderFetcher : public IChannelFetcher {
public:
    explicit CFolderFetcher(std::string folder) : folder_(std::move(folder)) {}

    FetchResult Fetch(const std::string& name, size_t maxLength, std::string& bytes, std::string& error) override
    {
        bytes.clear();
        const std::string path = folder_ + "/" + name;
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::error_code ec;
            const bool exists = std::filesystem::exists(path, ec);
            error = path + (exists ? ": cannot be read" : ": not found");
            return exists || ec ? FetchResult::Failed : FetchResult::NotFound;
        }
        // One byte past the limit tells a file too long without reading it all.
        char buffer[16384];
        while (in) {
            in.read(buffer, sizeof buffer);
            const size_t got = static_cast<size_t>(in.gcount());
            if (got > maxLength - bytes.size()) {
                error = path + ": more than " + std::to_string(maxLength) + " bytes";
                bytes.clear();
                return FetchResult::TooLong;
            }
            bytes.append(buffer, got);
        }
        if (in.bad()) {
            error = path + ": cannot be read";
            return FetchResult::Failed;
        }
        return FetchResult::Ok;
    }

    const std::string& Where() const override { return folder_; }

private:
    std::string folder_;
};

class CHttpFetcher : public IChannelFetcher {
public:
    explicit CHttpFetcher(std::string url) : url_(std::move(url)) {}

    FetchResult Fetch(const std::string& name, size_t maxLength, std::string& bytes, std::string& error) override
    {
        // One request at a time on the one client: a station may refresh
        // from another thread than the one that made it.
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string url = url_ + (url_.empty() || url_.back() != '/' ? "/" : "") + name;
        const HttpAnswer answer = client_.Get(url, maxLength, bytes, kChannelFetchTimeoutMs);
        if (answer.tooLong) {
            error = url + ": " + answer.error;
            return FetchResult::TooLong;
        }
        if (answer.status == 0) {
            error = url + ": " + answer.error;
            return FetchResult::Failed;
        }
        // A static server answers 404 for a file that is not there; S3 and
        // its kind answer 403.
        if (answer.status == 404 || answer.status == 403 || answer.status == 410) {
            error = url + ": not found (HTTP " + std::to_string(answer.status) + ")";
            return FetchResult::NotFound;
        }
        if (answer.status != 200) {
            error = url + ": HTTP " + std::to_string(answer.status);
            return FetchResult::Failed;
        }
        return FetchResult::Ok;
    }

    const std::string& Where() const override { return url_; }

private:
    std::string url_;
    std::mutex mutex_;
    CHttpClient client_;
};

} // namespace

std::unique_ptr<IChannelFetcher> MakeChannelFetcher(const std::string& url)
{
    if (url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0)
        return std::make_unique<CHttpFetcher>(url);
    return std::make_unique<CFolderFetcher>(url);
}

}  // namespace zq
