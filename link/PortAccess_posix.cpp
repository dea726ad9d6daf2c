#include "link/PortAccess.h"

#include <cerrno>
#include <cstdio>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace zq {

namespace {

// The _r forms: a station describes failures from several threads.
bool GroupOf(gid_t gid, std::string& name, std::vector<std::string>& members)
{
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    while (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 22))
        buffer.resize(buffer.size() * 2);
    if (!found)
        return false;
    name = found->gr_name;
    for (char** m = found->gr_mem; m && *m; ++m)
        members.push_back(*m);
    return true;
}

bool UserName(uid_t uid, std::string& name, gid_t& primary)
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 22))
        buffer.resize(buffer.size() * 2);
    if (!found)
        return false;
    name = found->pw_name;
    primary = found->pw_gid;
    return true;
}

bool ProcessHasGroup(gid_t gid)
{
    if (getegid() == gid)
        return true;
    const int n = getgroups(0, nullptr);
    if (n <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    const int got = getgroups(n, groups.data());
    for (int i = 0; i < got; ++i)
        if (groups[static_cast<size_t>(i)] == gid)
            return true;
    return false;
}

} // namespace

std::string PortAccessAdvice(const std::string& port)
{
    struct stat st{};
    if (stat(port.c_str(), &st) != 0)
        return {};
    std::string group;
    std::vector<std::string> members;
    if (!GroupOf(st.st_gid, group, members))
        group = std::to_string(st.st_gid);
    const bool groupMayUse = (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP);
    if (st.st_gid == 0 || !groupMayUse) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return "a udev rule must give it to a group such as dialout (it is group " + group + " with mode " + mode +
               ", which no group may use)";
    }
    if (ProcessHasGroup(st.st_gid))
        return "a service's DeviceAllow= or a security module forbids it (this program runs in group " + group +
               ", which owns the device)";
    std::string user;
    gid_t primary = 0;
    const bool known = UserName(geteuid(), user, primary);
    bool listed = known && primary == st.st_gid;
    for (const std::string& m : members)
        listed = listed || (known && m == user);
    if (listed)
        return "log in again (the user " + user + " joined the group " + group +
               ", which owns the device, after this login began)";
    return "sudo usermod -aG " + group + " $USER, then log in again (the group " + group + " owns the device)";
}

}  // namespace zq
