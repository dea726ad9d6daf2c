#include "release/Release.h"

#include <algorithm>

#include <windows.h>

#include "platform/OsError.h"
#include "platform/UniqueHandle.h"

namespace zq {

namespace {

using CRegKey = CUniquePointer<HKEY, RegCloseKey>;

const char* const kPolicyKey = "Software\\Policies\\Zerquill\\TrustedKeys";

// The value ChannelRoot (REG_SZ, a root's JSON) of the key above the keys'
// (Software\Policies\Zerquill): a channel's first trusted root. Only a
// key or value that is not there adds none; any other refusal locks.
void ReadChannelRootValue(const std::string& place, TrustStore& store)
{
    const std::string parent = place.substr(0, place.find_last_of('\\'));
    const std::string shown = "HKLM\\" + parent + "\\ChannelRoot";
    HKEY opened = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, parent.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &opened);
    if (rc == ERROR_FILE_NOT_FOUND)
        return;
    if (rc != ERROR_SUCCESS) {
        store.unreadable = "cannot read " + shown + ": " + OsErrorText(static_cast<int>(rc));
        return;
    }
    const CRegKey key(opened);
    DWORD type = 0, size = 0;
    rc = RegQueryValueExA(key.Get(), "ChannelRoot", nullptr, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND)
        return;
    std::string text(size + 1, '\0');
    DWORD got = size;
    if (rc == ERROR_SUCCESS)
        rc = RegQueryValueExA(key.Get(), "ChannelRoot", nullptr, &type, reinterpret_cast<BYTE*>(&text[0]), &got);
    if (rc != ERROR_SUCCESS || type != REG_SZ) {
        store.unusable.push_back(shown + ": not a string value");
        return;
    }
    text.resize(std::min<size_t>(got, text.size()));
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    store.channelRoots.push_back(text);
}

} // namespace

const char* const kTrustStoreName = "HKLM\\Software\\Policies\\Zerquill\\TrustedKeys";

TrustStore InstalledTrust() { return ReadTrustStore(kPolicyKey); }

TrustStore ReadTrustStore(const std::string& place)
{
    TrustStore store;
    ReadChannelRootValue(place, store);
    const std::string shown = "HKLM\\" + place;
    HKEY opened = nullptr;
    // The 64-bit view, where Group Policy writes, whatever this build is.
    // Only a key that is not there is an empty store: one this user may not
    // read locks the station.
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, place.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &opened);
    if (rc != ERROR_SUCCESS) {
        if (rc != ERROR_FILE_NOT_FOUND && store.unreadable.empty())
            store.unreadable = "cannot read " + shown + ": " + OsErrorText(static_cast<int>(rc));
        return store;
    }
    const CRegKey key(opened);
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof name;
        DWORD type = 0, size = 0;
        rc = RegEnumValueA(key.Get(), i, name, &nameLength, nullptr, &type, nullptr, &size);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        // A value that cannot be listed (a name too long for the buffer, a
        // read refused) may be a key: the store counts as unreadable.
        if (rc != ERROR_SUCCESS) {
            store.unreadable = "cannot read " + shown + ": " + OsErrorText(static_cast<int>(rc));
            return store;
        }
        std::string text(size + 1, '\0');
        nameLength = sizeof name;
        DWORD got = size;
        rc = RegEnumValueA(key.Get(), i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(&text[0]), &got);
        if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
            store.unusable.push_back(shown + "\\" + name + ": not a string value");
            continue;
        }
        text.resize(std::min<size_t>(got, text.size()));
        while (!text.empty() && text.back() == '\0')
            text.pop_back();
        // Written by reg.exe or Group Policy, a PEM's line breaks may come as "\n" or
        // be left out; the PEM reader skips white space either way.
        PublicKey trusted;
        std::string error;
        if (ParsePublicKey(text, name, trusted, error))
            store.keys.push_back(trusted);
        else
            store.unusable.push_back(shown + "\\" + name + ": " + error);
    }
    return store;
}

}  // namespace zq
