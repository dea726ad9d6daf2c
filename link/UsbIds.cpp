#include "link/UsbIds.h"

#include <cctype>

namespace zq {

namespace {

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// Ids are upper case as Windows stores them, but drivers' INF files and
// third-party enumerators write them as they please.
size_t FindNoCase(const std::string& text, const std::string& word, size_t from = 0)
{
    for (size_t i = from; i + word.size() <= text.size(); ++i) {
        size_t k = 0;
        while (k < word.size() && Lower(text[i + k]) == Lower(word[k]))
            ++k;
        if (k == word.size())
            return i;
    }
    return std::string::npos;
}

// The four hex digits after key ("VID_"), lower case; empty when not there.
std::string HexAfter(const std::string& id, const std::string& key)
{
    const size_t at = FindNoCase(id, key);
    if (at == std::string::npos || at + key.size() + 4 > id.size())
        return {};
    std::string hex = id.substr(at + key.size(), 4);
    for (char& c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return {};
        c = Lower(c);
    }
    // "VID_04031" is not a 16-bit id.
    const size_t end = at + key.size() + 4;
    if (end < id.size() && std::isxdigit(static_cast<unsigned char>(id[end])))
        return {};
    return hex;
}

} // namespace

bool ParseUsbIds(const std::string& id, std::string& vendorId, std::string& productId)
{
    const std::string vid = HexAfter(id, "VID_");
    const std::string pid = HexAfter(id, "PID_");
    if (vid.empty() || pid.empty())
        return false;
    vendorId = vid;
    productId = pid;
    return true;
}

std::string SerialFromInstanceId(const std::string& id)
{
    if (FindNoCase(id, "USB\\") != 0)
        return {};
    const size_t slash = id.find_last_of('\\');
    // USB\<ids>\<instance>: nothing more, nothing less.
    if (slash == 3 || id.find('\\', 4) != slash)
        return {};
    const std::string instance = id.substr(slash + 1);
    if (instance.empty() || instance.find('&') != std::string::npos)
        return {};
    return instance;
}

}  // namespace zq
