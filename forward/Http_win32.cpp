#include "forward/Http.h"

#include <windows.h>
#include <winhttp.h>

#include "platform/UniqueHandle.h"

namespace zq {

namespace {

using CInternet = CUniquePointer<HINTERNET, WinHttpCloseHandle>;

std::wstring Wide(const std::string& s)
{
    if (s.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

// WinHTTP's codes are not in the system's message table.
std::string WinHttpErrorText(DWORD code)
{
    switch (code) {
    case ERROR_WINHTTP_CANNOT_CONNECT: return "no connection to the receiver";
    case ERROR_WINHTTP_TIMEOUT: return "the receiver did not answer in time";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "the receiver's name could not be resolved";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "the connection to the receiver was reset";
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME: return "the forwarding URL is not an http or https URL";
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED: return "the receiver's certificate was not accepted";
    default: return "WinHTTP error " + std::to_string(code);
    }
}

} // namespace

struct CHttpClient::Impl {
    CInternet session;
};

CHttpClient::CHttpClient(const std::string& caFile) : impl_(std::make_unique<Impl>())
{
    if (!caFile.empty()) {
        setupError_ = "a private CA goes into the Windows certificate store, not --forward-ca";
        return;
    }
    impl_->session.Reset(WinHttpOpen(L"zerquill-flash", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                     WINHTTP_NO_PROXY_BYPASS, 0));
    if (!impl_->session)
        setupError_ = WinHttpErrorText(GetLastError());
}

CHttpClient::~CHttpClient() = default;

bool CHttpClient::CanAddCa() { return false; }

namespace {

// The connection and the request for url (http or https only); false with
// why.
bool OpenRequest(HINTERNET session, const std::string& url, const wchar_t* verb, int timeoutMs,
                 CInternet& connection, CInternet& request, std::string& error)
{
    const std::wstring wurl = Wide(url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wurl.c_str(), 0, 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)) {
        error = WinHttpErrorText(ERROR_WINHTTP_INVALID_URL);
        return false;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty())
        path = L"/";
    WinHttpSetTimeouts(session, timeoutMs, timeoutMs, timeoutMs, timeoutMs);
    connection.Reset(WinHttpConnect(session, host.c_str(), parts.nPort, 0));
    const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    if (connection)
        request.Reset(WinHttpOpenRequest(connection.Get(), verb, path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, secure));
    if (!request) {
        error = WinHttpErrorText(GetLastError());
        return false;
    }
    return true;
}

bool StatusOf(HINTERNET request, DWORD& status)
{
    DWORD size = sizeof status;
    return WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
}

// The body, read until its end or one byte past maxLength: a server sending
// endless data is cut off there.
bool ReadBody(HINTERNET request, size_t maxLength, std::string& body, HttpAnswer& answer)
{
    char buffer[16384];
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request, buffer, sizeof buffer, &got)) {
            answer.error = WinHttpErrorText(GetLastError());
            return false;
        }
        if (got == 0)
            return true;
        if (got > maxLength - body.size()) {
            answer.tooLong = true;
            answer.error = "more than " + std::to_string(maxLength) + " bytes";
            return false;
        }
        body.append(buffer, got);
    }
}

} // namespace

HttpAnswer CHttpClient::OsPost(const std::string& url, const std::string& body,
                               const std::vector<std::string>& headers, int timeoutMs)
{
    HttpAnswer answer;
    CInternet connection, request;
    if (!OpenRequest(impl_->session.Get(), url, L"POST", timeoutMs, connection, request, answer.error))
        return answer;
    std::wstring lines;
    for (const std::string& h : headers)
        lines += Wide(h) + L"\r\n";
    const DWORD size = static_cast<DWORD>(body.size());
    DWORD status = 0;
    if (!WinHttpSendRequest(request.Get(), lines.c_str(), static_cast<DWORD>(-1), const_cast<char*>(body.data()),
                            size, size, 0) ||
        !WinHttpReceiveResponse(request.Get(), nullptr) || !StatusOf(request.Get(), status)) {
        answer.error = WinHttpErrorText(GetLastError());
        return answer;
    }
    answer.status = static_cast<int>(status);
    return answer;
}

HttpAnswer CHttpClient::OsGet(const std::string& url, size_t maxLength, std::string& body, int timeoutMs)
{
    HttpAnswer answer;
    CInternet connection, request;
    if (!OpenRequest(impl_->session.Get(), url, L"GET", timeoutMs, connection, request, answer.error))
        return answer;
    // WinHTTP follows redirects by itself; a channel's files are where its
    // URL says.
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(request.Get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    DWORD status = 0;
    if (!WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.Get(), nullptr) || !StatusOf(request.Get(), status)) {
        answer.error = WinHttpErrorText(GetLastError());
        return answer;
    }
    if (!ReadBody(request.Get(), maxLength, body, answer)) {
        body.clear();
        return answer;
    }
    answer.status = static_cast<int>(status);
    return answer;
}

}  // namespace zq
