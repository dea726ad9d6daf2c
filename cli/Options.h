// The command line of zerquill-flash.
#pragma once

#include <string>
#include <vector>

namespace zq {

struct FlashOptions {
    std::string image;              // empty: DB.bin beside the executable
    std::string port;               // --port: discovery on this one port
    std::vector<std::string> ports; // --ports: these, in order, instead of the system's
    bool trace = false;
    bool quiet = false;
    bool listPorts = false;
    bool help = false;
    bool version = false;
    bool all = false; // every device found in one discovery window, at once
    std::string log;  // JSON Lines record of every download, appended
    bool watch = false;  // the station: flash each device as it arrives
    unsigned count = 0;  // --watch ends after this many downloads; 0: never
    bool json = false;   // JSON Lines events on stdout instead of the display
    double waitSeconds = 0; // --wait: listen this long for a beacon before giving up
    bool check = false;     // --check: look at the image, touch no port
    std::string job;        // --job: the job fixes the image, the ports, the record file
    std::string makeJob;    // --make-job FILE: write a job for --image
    std::string name;       // --name: the new job's name
    unsigned units = 0;     // --units: the new job's lot
    bool force = false;     // --force: --make-job may replace FILE
    std::string key;        // --key: the private key that signs (--make-job, --sign-job)
    std::string signJob;    // --sign-job JOB: write JOB.sig
    std::string verifyJob;  // --verify-job JOB: say who released it
    std::vector<std::string> trust; // --trust: public keys to verify with, where the station has none
    std::string forward;          // --forward URL: POST every record there
    std::string forwardTokenFile; // the Bearer token's file
    std::string forwardCa;        // a private CA besides the system's (Linux)
    bool forwardPending = false;  // deliver what waits in --log, flash nothing
    std::string report;           // --report LOG: the yield of a record file
    std::string html;             // with --report: the page as well
};

// False with a one-line reason for anything the tool will not run with; in
// that case nothing may be opened or sent.
bool ParseFlashOptions(int argc, const char* const* argv, FlashOptions& options, std::string& error);

extern const char* const kFlashUsage;
// The project's version, as every program of it prints it.
extern const char* const kVersion;

}  // namespace zq
