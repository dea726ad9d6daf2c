#include "cli/Channel.h"
#include "platform/Format.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "channel/ChannelClient.h"
#include "channel/ChannelWriter.h"
#include "channel/Metadata.h"
#include "download/ExitStatus.h"
#include "platform/Sha256.h"

namespace zq {

const char* const kChannelUsage =
    "\n"
    "Release channels (a folder a web server or a file share serves as it is):\n"
    "  --channel-init DIR --root-key R.pem [--root-key ...] --release-key E.pub\n"
    "                     --online-key O.pub\n"
    "                     write root v1: the release key signs releases, the online\n"
    "                     key the snapshot and the timestamp\n"
    "  --publish DIR --job JOB --release-key E.pem --online-key O.pem\n"
    "                     [--expires DAYS]\n"
    "                     publish the job and its image as the channel's release\n"
    "                     (DAYS: of the release, default 30; the timestamp: 1 day)\n"
    "  --refresh DIR --online-key O.pem [--expires DAYS]\n"
    "                     a new timestamp (default 1 day), for a scheduled task\n"
    "  --rotate DIR --root-key OLD.pem --root-key NEW.pem [--release-key E2.pub]\n"
    "                     [--online-key O2.pub]\n"
    "                     root N+1, signed by the old root key and the new one\n"
    "  --channel-status URL [--channel-root ROOT.json] [--channel-state DIR]\n"
    "                     refresh from URL (http, https or a folder), then print the\n"
    "                     release in force; exit 7 when it cannot be confirmed\n";

namespace {

constexpr int64_t kDay = 86400;

struct ChannelArgs {
    CLI::App app{"", "zerquill-flash"};
    std::string init, publish, refresh, rotate, status, job, release, online, expires, root, state;
    std::vector<std::string> rootKeys;

    bool Has(const char* option) const { return app.count(option) > 0; }
};

bool Asks(int argc, const char* const* argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = std::string(argv[i]).substr(0, std::string(argv[i]).find('='));
        for (const char* mode : {"--channel-init", "--publish", "--refresh", "--rotate", "--channel-status"})
            if (word == mode)
                return true;
    }
    return false;
}

bool Parse(ChannelArgs& a, int argc, const char* const* argv, std::string& error)
{
    CLI::App& app = a.app;
    app.set_help_flag();
    for (auto [name, to] : std::initializer_list<std::pair<const char*, std::string*>>{
             {"--channel-init", &a.init}, {"--publish", &a.publish}, {"--refresh", &a.refresh},
             {"--rotate", &a.rotate}, {"--channel-status", &a.status}, {"--job", &a.job},
             {"--release-key", &a.release}, {"--online-key", &a.online}, {"--expires", &a.expires},
             {"--channel-root", &a.root}, {"--channel-state", &a.state}})
        app.add_option(name, *to)->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    app.add_option("--root-key", a.rootKeys)->allow_extra_args(false);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return false;
    }
    const int modes = a.Has("--channel-init") + a.Has("--publish") + a.Has("--refresh") + a.Has("--rotate") +
                      a.Has("--channel-status");
    if (modes != 1) {
        error = "--channel-init, --publish, --refresh, --rotate and --channel-status are one at a time";
        return false;
    }
    return true;
}

bool Days(const ChannelArgs& a, int64_t fallback, int64_t& seconds, std::string& error)
{
    const std::string& t = a.expires;
    if (!a.Has("--expires")) {
        seconds = fallback * kDay;
        return true;
    }
    if (t.empty() || t.size() > 5 || t.find_first_not_of("0123456789") != std::string::npos || std::stol(t) < 1) {
        error = "--expires: \"" + t + "\" is not a number of days (1 or more)";
        return false;
    }
    seconds = std::stol(t) * kDay;
    return true;
}

bool PrivateKeys(const std::vector<std::string>& paths, std::vector<PrivateKey>& keys, std::string& error)
{
    for (const std::string& path : paths) {
        PrivateKey key;
        if (!ReadPrivateKeyFile(path, key, error)) {
            error = path + ": " + error;
            return false;
        }
        keys.push_back(key);
    }
    return true;
}

bool PublicKeyOf(const std::string& path, PublicKey& key, std::string& error)
{
    if (ReadPublicKeyFile(path, key, error))
        return true;
    error = path + ": " + error;
    return false;
}

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

int Init(const ChannelArgs& a, std::string& error)
{
    std::vector<PrivateKey> roots;
    PublicKey release, online;
    if (a.rootKeys.empty() || a.release.empty() || a.online.empty()) {
        error = "--channel-init needs --root-key R.pem, --release-key E.pub and --online-key O.pub";
        return kExitUsage;
    }
    if (!PrivateKeys(a.rootKeys, roots, error) || !PublicKeyOf(a.release, release, error) ||
        !PublicKeyOf(a.online, online, error) || !InitChannel(a.init, roots, release, online, Now() + 365 * kDay, error))
        return kExitFailed;
    std::printf("channel %s: root version 1 written\n", a.init.c_str());
    return kExitWritten;
}

int Publish(const ChannelArgs& a, std::string& error)
{
    std::vector<PrivateKey> keys;
    int64_t days = 0;
    if (a.job.empty() || a.release.empty() || a.online.empty()) {
        error = "--publish needs --job JOB, --release-key E.pem and --online-key O.pem";
        return kExitUsage;
    }
    if (!Days(a, 30, days, error))
        return kExitUsage;
    if (!PrivateKeys({a.release, a.online}, keys, error) ||
        !PublishJob(a.publish, a.job, keys[0], keys[1], Now() + days, Now() + kDay, error))
        return kExitFailed;
    std::printf("channel %s: %s published\n", a.publish.c_str(), a.job.c_str());
    return kExitWritten;
}

int Refresh(const ChannelArgs& a, std::string& error)
{
    std::vector<PrivateKey> keys;
    int64_t days = 0;
    if (a.online.empty()) {
        error = "--refresh needs --online-key O.pem";
        return kExitUsage;
    }
    if (!Days(a, 1, days, error))
        return kExitUsage;
    if (!PrivateKeys({a.online}, keys, error) || !RefreshTimestamp(a.refresh, keys[0], Now() + days, error))
        return kExitFailed;
    std::printf("channel %s: timestamp renewed until %s\n", a.refresh.c_str(), IsoUtc(Now() + days).c_str());
    return kExitWritten;
}

int Rotate(const ChannelArgs& a, std::string& error)
{
    std::vector<PrivateKey> roots;
    PublicKey release, online;
    if (a.rootKeys.size() != 2) {
        error = "--rotate needs --root-key OLD.pem --root-key NEW.pem";
        return kExitUsage;
    }
    if (!PrivateKeys(a.rootKeys, roots, error) || (!a.release.empty() && !PublicKeyOf(a.release, release, error)) ||
        (!a.online.empty() && !PublicKeyOf(a.online, online, error)) ||
        !RotateRoot(a.rotate, roots[0], roots[1], a.release.empty() ? nullptr : &release,
                    a.online.empty() ? nullptr : &online, Now() + 365 * kDay, error))
        return kExitFailed;
    std::printf("channel %s: root rotated\n", a.rotate.c_str());
    return kExitWritten;
}

} // namespace

std::string DefaultChannelState(const std::string& url)
{
    const auto env = [](const char* name) {
        const char* v = std::getenv(name);
        return std::string(v ? v : "");
    };
    std::string base = env("STATE_DIRECTORY");
    if (base.empty())
        base = !env("LOCALAPPDATA").empty() ? env("LOCALAPPDATA") + "/Zerquill"
               : !env("XDG_STATE_HOME").empty() ? env("XDG_STATE_HOME") + "/zerquill"
                                                : env("HOME") + "/.local/state/zerquill";
    return base + "/channels/" + Sha256Hex(reinterpret_cast<const uint8_t*>(url.data()), url.size()).substr(0, 16);
}

bool ChannelConfirmed(const ChannelStatus& s)
{
    return !s.lastError || (s.lastError.fault == ChannelFault::Unreachable && s.release);
}

namespace {

int Status(const ChannelArgs& a, std::string& error)
{
    const std::string state = a.state.empty() ? DefaultChannelState(a.status) : a.state;
    std::string root;
    // Without --channel-root the root this station reached before is trusted.
    if (!ReadChannelRoot(a.root.empty() ? state + "/root.json" : a.root, root, error)) {
        error = a.root.empty() ? "--channel-status needs --channel-root ROOT.json the first time" : error;
        return kExitUsage;
    }
    CChannelClient client(MakeChannelFetcher(a.status), root, state);
    client.Refresh();
    const ChannelStatus s = client.Status();
    if (s.lastError)
        std::fprintf(stderr, "zerquill-flash: the channel %s cannot be confirmed: %s%s\n", a.status.c_str(),
                     DescribeChannelError(s.lastError).c_str(),
                     s.release ? "; the release verified before stays in force until it expires" : "");
    if (s.release) {
        const OpenedJob& o = s.release->opened;
        std::printf("channel %s\njob %s\nimage %s sha256 %s\ntargets version %llu\nexpires %s\n", a.status.c_str(),
                    o.job.name.c_str(), o.job.image.c_str(), o.image.sha256.c_str(),
                    static_cast<unsigned long long>(s.release->targetsVersion),
                    IsoUtc(s.release->expires).c_str());
    }
    // Only a channel out of reach may leave the release verified before in force.
    return ChannelConfirmed(s) ? kExitWritten : kExitChannel;
}

} // namespace

int ChannelMode(int argc, const char* const* argv)
{
    if (!Asks(argc, argv))
        return -1;
    ChannelArgs a;
    std::string error;
    if (!Parse(a, argc, argv, error)) {
        std::fprintf(stderr, "zerquill-flash: %s; try --help\n", error.c_str());
        return kExitUsage;
    }
    const int status = a.Has("--channel-init") ? Init(a, error)
                       : a.Has("--publish")    ? Publish(a, error)
                       : a.Has("--refresh")    ? Refresh(a, error)
                       : a.Has("--rotate")     ? Rotate(a, error)
                                               : Status(a, error);
    if (status != kExitWritten && !error.empty())
        std::fprintf(stderr, "zerquill-flash: %s%s\n", error.c_str(), status == kExitUsage ? "; try --help" : "");
    return status;
}

}  // namespace zq
