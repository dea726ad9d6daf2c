#include "cli/ServeOptions.h"

#include <fstream>
#include <sstream>

#include "forward/Forwarder.h"

namespace zq {

const char* const kServeUsage =
    "\nServing the station (--watch; Linux):\n"
    "  --serve [HOST:]PORT  answer over HTTP on PORT (host 127.0.0.1 unless named):\n"
    "                     / the live page, /api/v1/station the status,\n"
    "                     /api/v1/events its events, /metrics for Prometheus,\n"
    "                     /report the record's yield page; POST\n"
    "                     /api/v1/pause and /api/v1/resume with the token\n"
    "  --serve-token-file FILE\n"
    "                     the Bearer token that pauses and resumes it; needed\n"
    "                     for any host but this machine's own (else exit 64)\n";

const char* const kServeExample =
    "  zerquill-flash --watch --job lot7.zqjob --serve 0.0.0.0:8470 \\\n"
    "      --serve-token-file /etc/zerquill/line1.token\n";

namespace {

// A bare number is a port on this machine's loopback; an IPv6 host is
// bracketed ("[::1]:8080").
bool SplitHostPort(const std::string& value, ServeOptions& serve, std::string& error)
{
    std::string host = serve.host;
    std::string port = value;
    const size_t colon = value.rfind(':');
    if (colon != std::string::npos) {
        host = value.substr(0, colon);
        port = value.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
    }
    unsigned long number = 0;
    const bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    if (digits)
        number = std::stoul(port);
    if (!digits || number > 65535 || host.empty()) {
        error = "--serve: '" + value + "' is not [HOST:]PORT";
        return false;
    }
    serve.host = host;
    serve.port = uint16_t(number);
    return true;
}

// A dotted quad in 127.0.0.0/8, each part in plain decimal: the resolver
// would read "0177.0.0.1" as octal and look "127.example.net" up by name,
// either of which may land anywhere.
bool LoopbackQuad(const std::string& host)
{
    std::istringstream parts(host);
    std::string part;
    int count = 0;
    while (std::getline(parts, part, '.')) {
        const bool plain = !part.empty() && part.size() <= 3 &&
                           part.find_first_not_of("0123456789") == std::string::npos &&
                           (part.size() == 1 || part[0] != '0');
        if (!plain || std::stoi(part) > 255 || (count == 0 && part != "127"))
            return false;
        ++count;
    }
    return count == 4 && host.back() != '.';
}

bool Loopback(const std::string& host)
{
    return host == "localhost" || host == "::1" || LoopbackQuad(host);
}

} // namespace

bool TakeServeOptions(std::vector<std::string>& args, ServeOptions& serve, std::string& error)
{
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string name = arg, value;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        if (name != "--serve" && name != "--serve-token-file") {
            rest.push_back(arg);
            continue;
        }
        if (eq == std::string::npos) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        if (name == "--serve-token-file") {
            serve.tokenFile = value;
            continue;
        }
        serve.on = true;
        if (!SplitHostPort(value, serve, error))
            return false;
    }
    args = rest;
    return true;
}

bool CheckServeOptions(ServeOptions& serve, bool watch, std::string& error)
{
    if (!serve.on) {
        if (!serve.tokenFile.empty())
            error = "--serve-token-file: only with --serve";
        return serve.tokenFile.empty();
    }
    if (!watch) {
        error = "--serve: only with --watch";
        return false;
    }
    // Anyone who can reach the port could pause the line: off this machine
    // it is served only to whoever holds the token.
    if (!Loopback(serve.host) && serve.tokenFile.empty()) {
        error = "--serve: " + serve.host + " is reachable from other machines; give --serve-token-file";
        return false;
    }
    if (serve.tokenFile.empty())
        return true;
    std::ifstream in(serve.tokenFile, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
        error = "--serve-token-file: cannot read " + serve.tokenFile;
        return false;
    }
    std::string token = text.str();
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' '))
        token.pop_back();
    if (token.empty() || token.find_first_of(" \t\r\n") != std::string::npos) {
        error = "--serve-token-file: " + serve.tokenFile + " holds no token (one line, no spaces)";
        return false;
    }
    serve.token = token;
    // Whoever reads the file can pause the line: told as the forwarder's
    // token file is.
    serve.warning = TokenFileWarning(serve.tokenFile);
    return true;
}

}  // namespace zq
