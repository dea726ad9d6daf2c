#include "forward/Http.h"

#include <curl/curl.h>

#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/UniqueHandle.h"

namespace zq {

namespace {

using CCurl = CUniquePointer<CURL*, curl_easy_cleanup>;

using CCurlList = CUniquePointer<curl_slist*, curl_slist_free_all>;

bool ReadWhole(const std::string& path, std::string& into)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    into.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

// What a GET keeps: the body, up to its limit.
struct Bounded {
    std::string* body;
    size_t max;
    bool tooLong = false;
};

// Returning less than was given makes libcurl end the transfer at once: a
// server sending endless data is cut off at the limit, not read to its end.
size_t Keep(char* data, size_t size, size_t count, void* to)
{
    Bounded& b = *static_cast<Bounded*>(to);
    const size_t n = size * count;
    if (n > b.max - b.body->size()) {
        b.tooLong = true;
        return 0;
    }
    b.body->append(data, n);
    return n;
}

// The options every request takes: the URL (http or https only), the
// time-outs, and the certificates, always verified.
void SetCommon(CURL* curl, const std::string& url, int timeoutMs, std::string& trusted, curl_blob& blob, char* why)
{
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeoutMs));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, why);
    if (!trusted.empty()) {
        blob.data = trusted.data();
        blob.len = trusted.size();
        blob.flags = CURL_BLOB_NOCOPY;
        curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob);
    }
}

} // namespace

struct CHttpClient::Impl {
    CCurl curl;
    std::string trusted; // the system's bundle and the private CA, PEM
};

CHttpClient::CHttpClient(const std::string& caFile) : impl_(std::make_unique<Impl>())
{
    static std::once_flag global;
    std::call_once(global, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    impl_->curl.Reset(curl_easy_init());
    if (!impl_->curl) {
        setupError_ = "libcurl could not start";
        return;
    }
    if (caFile.empty())
        return;
    // CURLOPT_CAINFO would replace the system's bundle; the private CA is
    // added to it instead, so a receiver with a public certificate still works.
    std::string ca;
    if (!ReadWhole(caFile, ca) || ca.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
        setupError_ = "--forward-ca: " + caFile + " is no readable PEM certificate";
        return;
    }
    char* bundle = nullptr;
    if (curl_easy_getinfo(impl_->curl.Get(), CURLINFO_CAINFO, &bundle) == CURLE_OK && bundle)
        ReadWhole(bundle, impl_->trusted);
    impl_->trusted += "\n" + ca;
}

CHttpClient::~CHttpClient() = default;

bool CHttpClient::CanAddCa() { return true; }

HttpAnswer CHttpClient::OsPost(const std::string& url, const std::string& body,
                               const std::vector<std::string>& headers, int timeoutMs)
{
    HttpAnswer answer;
    CURL* curl = impl_->curl.Get();
    curl_easy_reset(curl);
    CCurlList list;
    // Records are small; waiting for "100 Continue" would only cost a round trip.
    for (const std::string& h : headers) {
        curl_slist* grown = curl_slist_append(list.Get(), h.c_str());
        if (!grown) {
            answer.error = "out of memory";
            return answer;
        }
        list.Release();
        list.Reset(grown);
    }
    curl_slist* grown = curl_slist_append(list.Get(), "Expect:");
    if (grown) {
        list.Release();
        list.Reset(grown);
    }
    char why[CURL_ERROR_SIZE] = "";
    curl_blob blob{};
    SetCommon(curl, url, timeoutMs, impl_->trusted, blob, why);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.Get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
    const CURLcode rc = curl_easy_perform(curl);
    if (rc != CURLE_OK) {
        answer.error = why[0] ? why : curl_easy_strerror(rc);
        return answer;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    answer.status = static_cast<int>(status);
    return answer;
}

HttpAnswer CHttpClient::OsGet(const std::string& url, size_t maxLength, std::string& body, int timeoutMs)
{
    HttpAnswer answer;
    CURL* curl = impl_->curl.Get();
    curl_easy_reset(curl);
    char why[CURL_ERROR_SIZE] = "";
    curl_blob blob{};
    SetCommon(curl, url, timeoutMs, impl_->trusted, blob, why);
    Bounded bounded{&body, maxLength};
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Keep);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &bounded);
    // A declared length past the limit is refused before any byte is read.
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxLength));
    const CURLcode rc = curl_easy_perform(curl);
    answer.tooLong = bounded.tooLong || rc == CURLE_FILESIZE_EXCEEDED;
    if (rc != CURLE_OK) {
        answer.error = answer.tooLong ? "more than " + std::to_string(maxLength) + " bytes"
                                      : (why[0] ? why : curl_easy_strerror(rc));
        body.clear();
        return answer;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    answer.status = static_cast<int>(status);
    return answer;
}

}  // namespace zq
