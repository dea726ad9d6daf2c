// One HTTP request at a time: the forwarder's POST, a release channel's GET.
// libcurl on Linux (Http_posix.cpp), WinHTTP on Windows (Http_win32.cpp).
// Certificates are always verified.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace zq {

struct HttpAnswer {
    int status = 0;    // the receiver's HTTP status; 0: no answer
    std::string error; // with no answer, why (no connection, time-out, TLS)
    bool tooLong = false; // Get: the body went past its limit and was cut off
};

class CHttpClient {
public:
    // caFile: a private CA trusted besides the system's (Linux only); empty: none.
    explicit CHttpClient(const std::string& caFile = std::string());
    ~CHttpClient();
    CHttpClient(const CHttpClient&) = delete;
    CHttpClient& operator=(const CHttpClient&) = delete;

    // Empty when the client can be used; else why not (an unreadable CA file).
    const std::string& SetupError() const { return setupError_; }
    // headers: "Name: value" each. Gives up after timeoutMs.
    HttpAnswer Post(const std::string& url, const std::string& body, const std::vector<std::string>& headers,
                    int timeoutMs);
    // The body of url, of at most maxLength bytes: a server that sends more
    // is cut off there (tooLong), so no answer can fill the memory. Redirects
    // are not followed. Gives up after timeoutMs.
    HttpAnswer Get(const std::string& url, size_t maxLength, std::string& body, int timeoutMs);

    // Whether a private CA can be added (the Windows client uses the
    // system's store only).
    static bool CanAddCa();

private:
    // The OS's POST, for a client whose setup went well.
    HttpAnswer OsPost(const std::string& url, const std::string& body, const std::vector<std::string>& headers,
                      int timeoutMs);
    HttpAnswer OsGet(const std::string& url, size_t maxLength, std::string& body, int timeoutMs);

    std::string setupError_;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zq
