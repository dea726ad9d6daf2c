#include "forward/Http.h"

namespace zq {

HttpAnswer CHttpClient::Post(const std::string& url, const std::string& body, const std::vector<std::string>& headers,
                             int timeoutMs)
{
    if (!setupError_.empty()) {
        HttpAnswer answer;
        answer.error = setupError_;
        return answer;
    }
    return OsPost(url, body, headers, timeoutMs);
}

HttpAnswer CHttpClient::Get(const std::string& url, size_t maxLength, std::string& body, int timeoutMs)
{
    body.clear();
    if (!setupError_.empty()) {
        HttpAnswer answer;
        answer.error = setupError_;
        return answer;
    }
    return OsGet(url, maxLength, body, timeoutMs);
}

}  // namespace zq
