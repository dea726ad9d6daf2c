// The command line of zerquill-flash: one options type for each of its
// modes. The syntax stays flat (--make-job JOB, not a verb): the parser
// chooses the mode from the options given and hands over only its options.
#pragma once

#include <string>

#include "protocol/Protocol.h"
#include <variant>
#include <vector>

#include "cli/ServeOptions.h"

namespace zq {

// --forward URL and what goes with it.
struct ForwardTarget {
    std::string url;       // --forward: POST every record there
    std::string tokenFile; // --forward-token-file: the Bearer token's file
    std::string ca;        // --forward-ca: a private CA besides the system's (Linux)
};

// --channel URL and what goes with it: the job and its image are the
// channel's release in force.
struct ChannelFollow {
    std::string url;        // --channel: http(s) or a folder
    std::string root;       // --channel-root: the first trusted root, on a bench
    std::string state;      // --channel-state: the trusted metadata's folder; empty: the default
    unsigned everySeconds = 60; // --channel-every: a station's refreshes
};

// What a run of the image does.
enum class FlashMode {
    One,   // one download, after --wait if given
    Check, // --check: look at the image, touch no port
    All,   // --all: every device found in one discovery window, at once
    Watch, // --watch: the station, each device flashed as it arrives
};

// The modes that run an image (the default, and --check, --all, --watch).
struct FlashOptions {
    FlashMode mode = FlashMode::One;
    std::string image;              // empty: DB.bin beside the executable
    std::string port;               // --port: discovery on this one port
    std::vector<std::string> ports; // --ports: these, in order, instead of the system's
    bool trace = false;
    bool quiet = false;
    std::string log;        // JSON Lines record of every download, appended
    unsigned count = 0;     // --watch ends after this many downloads; 0: never
    bool json = false;      // JSON Lines events on stdout instead of the display
    double waitSeconds = 0; // --wait: listen this long for a beacon before giving up
    std::string job;        // --job: the job fixes the image, the ports, the record file
    std::vector<std::string> trust; // --trust: public keys to verify with, where the station has none
    ForwardTarget forward;
    ServeOptions serve; // --serve: the station served over HTTP (--watch)
    unsigned awayMs = zq::kDeviceAwayMs; // --away: silence that takes a failed unit away
    ChannelFollow channel;
};

// --make-job JOB: write a job for an image.
struct MakeJobOptions {
    std::string job;
    std::string image; // -i
    std::string name;  // --name: the job's name
    unsigned units = 0; // --units: its lot; 0: none
    bool force = false; // --force: JOB may be replaced
    std::string key;   // --key: the private key that signs it, if any
};

// --sign-job JOB --key KEY.pem: write JOB.sig.
struct SignJobOptions {
    std::string job;
    std::string key;
};

// --verify-job JOB: say who released it.
struct VerifyJobOptions {
    std::string job;
    std::vector<std::string> trust;
};

// --forward-pending: deliver what waits in --log, flash nothing.
struct ForwardPendingOptions {
    std::string log;
    ForwardTarget forward;
};

// --report LOG: the yield of a record file, and with --html the page.
struct ReportOptions {
    std::string log;
    std::string html;
};

struct HelpOptions {};
struct VersionOptions {};
struct ListPortsOptions {};

using FlashCommand = std::variant<FlashOptions, MakeJobOptions, SignJobOptions, VerifyJobOptions,
                                  ForwardPendingOptions, ReportOptions, HelpOptions, VersionOptions, ListPortsOptions>;

// False with a one-line reason for anything the tool will not run with; in
// that case nothing may be opened or sent. --help, --version and
// --list-ports answer only a command line that is valid otherwise.
bool ParseFlashCommand(int argc, const char* const* argv, FlashCommand& command, std::string& error);

extern const char* const kFlashUsage;
// Last in the help, after every section.
extern const char* const kFlashExamples;
// The project's version, as every program of it prints it.
extern const char* const kVersion;

}  // namespace zq
