// One HTTP POST at a time, for the forwarder: libcurl on Linux
// (Http_posix.cpp), WinHTTP on Windows (Http_win32.cpp). Certificates are
// always verified.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace zq {

struct HttpAnswer {
    int status = 0;    // the receiver's HTTP status; 0: no answer
    std::string error; // with no answer, why (no connection, time-out, TLS)
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

    // Whether a private CA can be added (the Windows client uses the
    // system's store only).
    static bool CanAddCa();

private:
    // The OS's POST, for a client whose setup went well.
    HttpAnswer OsPost(const std::string& url, const std::string& body, const std::vector<std::string>& headers,
                      int timeoutMs);

    std::string setupError_;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zq
