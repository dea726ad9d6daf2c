#include "cli/Options.h"

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <utility>

#include <CLI/CLI.hpp>

#include "link/NamedPorts.h"

namespace zq {

const char* const kFlashUsage =
    "Usage: zerquill-flash [OPTION]... [-i FILE] [-p NAME | --ports A,B,...]\n"
    "  or:  zerquill-flash --all [-i FILE] [--ports A,B,...] [--log FILE] [--json]\n"
    "  or:  zerquill-flash --watch [--count N] [-i FILE] [--ports ...] [--log FILE]\n"
    "  or:  zerquill-flash --check [-i FILE | --job JOB]\n"
    "  or:  zerquill-flash --job JOB [--all | --watch] [--trust KEY.pub]...\n"
    "  or:  zerquill-flash --channel URL [--all | --watch] [--channel-root ROOT.json]\n"
    "  or:  zerquill-flash --make-job JOB -i FILE --name NAME [--units N] [--force]\n"
    "                      [--key KEY.pem]\n"
    "  or:  zerquill-flash --sign-job JOB --key KEY.pem\n"
    "  or:  zerquill-flash --verify-job JOB [--trust KEY.pub]...\n"
    "  or:  zerquill-flash --forward-pending --log FILE --forward URL\n"
    "  or:  zerquill-flash --report LOG [--html FILE]\n"
    "  or:  zerquill-flash --set-latency PORT MS\n"
    "\n"
    "Writes a database image into the device on a serial port. The device is\n"
    "found by its beacon at 4800 bit/s; the download runs at 115200 bit/s 8N1.\n"
    "\n"
    "  -i, --image FILE   the image to write (default: DB.bin beside this program)\n"
    "  -p, --port NAME    look for the device on this port only\n"
    "  --ports A,B,...    look on these ports, in this order, instead of the\n"
    "                     system's list (pseudo-terminals are never in it)\n"
    "  --wait SECONDS     keep listening until a device beacons or the time runs\n"
    "                     out, then one download (start it, then power the device)\n"
    "  --trace            every byte both ways on stderr, with the time in ms\n"
    "  -q, --quiet        print only the result (and, after a failure, its cause)\n"
    "  --check            check the image and say what would be sent, without\n"
    "                     touching a port\n"
    "  --all              listen on every port (the system's, or --ports) for one\n"
    "                     discovery window and flash every device heard, all at\n"
    "                     once; one result line per device, then a summary\n"
    "  --watch            the station: listen on every port (the system's, followed\n"
    "                     as adapters come and go, or --ports, each waited for\n"
    "                     until it exists) and flash each device as it arrives,\n"
    "                     once per arrival: a port is flashed again only after\n"
    "                     its device has gone (unplugged, or no beacon for 2 s);\n"
    "                     runs until Ctrl-C, which cancels downloads in flight\n"
    "  --count N          with --watch: end after N downloads\n"
    "  --away S           with --watch: a unit that failed stays failed, and is\n"
    "                     not flashed again, until its port goes or it sends no\n"
    "                     beacon for S seconds (default 10), or it is retried\n"
    "  --log FILE         append a record of every download to FILE, one JSON\n"
    "                     object a line, on the disk as each download ends\n"
    "  --json             with --all or --watch: JSON Lines events on stdout\n"
    "                     (found, progress, result, summary) instead of the display\n"
    "  --forward URL      with --log: POST each record, on the disk first, to URL\n"
    "                     (http or https), alone and in order, retried while the\n"
    "                     receiver is away; FILE.sent keeps what was delivered,\n"
    "                     and the end waits up to 10 s for what is pending\n"
    "  --forward-token-file FILE\n"
    "                     send the token in FILE as Authorization: Bearer\n"
    "  --forward-ca FILE  trust this CA (PEM) besides the system's (Linux)\n"
    "  --forward-pending  deliver what waits in --log to --forward and exit: 0 when\n"
    "                     every record is delivered, 1 when some still wait (or\n"
    "                     a station writing the log forwards it itself)\n"
    "  --report LOG       the yield of a record file: totals, first-pass yield,\n"
    "                     per port or slot, causes, units per hour, durations\n"
    "  --html FILE        with --report: the same as one page with charts\n"
    "  --list-ports       print the system's serial ports and exit\n"
    "  --set-latency PORT MS\n"
    "                     set the latency timer of the FTDI adapter on PORT to MS\n"
    "                     (1 to 255; 1 for the fastest downloads) and say what it\n"
    "                     was and is. Linux: writes sysfs (as root) and prints\n"
    "                     the udev rule that keeps it; Windows: writes the\n"
    "                     adapter's registry key (as administrator) and restarts\n"
    "                     the adapter\n"
    "\n"
    "Jobs (JSON: job, image, sha256, and optionally units, station, log, slots):\n"
    "  --job JOB          run the job: its image, which must still have the SHA-256\n"
    "                     it pins; its slots' ports (unless --port/--ports), its\n"
    "                     record file (unless --log); a station whose administrator\n"
    "                     installed trusted keys runs released jobs only\n"
    "  --make-job JOB     write a job for the image of -i, named by --name, with\n"
    "                     its SHA-256 (--units N: a lot of N; --force: replace JOB)\n"
    "  --key KEY.pem      with --make-job or --sign-job: the engineer's private key\n"
    "                     (P-256, unencrypted PEM) that signs the job\n"
    "  --sign-job JOB     release the job: write JOB.sig, ECDSA P-256 over its bytes\n"
    "  --verify-job JOB   say who released the job (the key's name and fingerprint)\n"
    "  --trust KEY.pub    verify with this public key (repeatable); refused on a\n"
    "                     station that has trusted keys of its own\n"
    "  --channel URL      run the release in force on the channel at URL (http,\n"
    "                     https or a folder): its job and image, checked by the\n"
    "                     channel and by the job's pin; not with -i or --job\n"
    "  --channel-root ROOT.json\n"
    "                     the channel's first trusted root, the first time; refused\n"
    "                     on a station whose administrator installed one\n"
    "  --channel-state DIR\n"
    "                     where the trusted metadata and the release are kept\n"
    "  --channel-every S  with --watch: look for a new release every S seconds\n"
    "                     (default 60); it is taken between downloads\n"
    "  -V, --version      print the version and exit\n"
    "  -h, --help         show this help and exit\n"
    "\n"
    "Progress and results go to stdout; \"Fail Download!\", \"File Open Failed\",\n"
    "their causes and hints to stderr.\n"
    "\n"
    "Exit status:\n"
    "  0    written (--all: at least one device, every one written; --watch:\n"
    "       every download written)\n"
    "  1    the download failed after the device was found (the device or the\n"
    "       line), or its record could not be written, or another station\n"
    "       writes that record file (refused before any port is opened)\n"
    "  2    the image could not be opened or read\n"
    "  3    the image was refused (shorter than its header word needs, wrong\n"
    "       magic, too large)\n"
    "  4    no device found (no ports, no beacon, or no usable port);\n"
    "       --set-latency: the port has no latency timer (no FTDI adapter)\n"
    "  5    the job's lot is written already (its record file counts it); no\n"
    "       port was touched\n"
    "  6    the job is not released (no signature, no trusted key verifies it,\n"
    "       or it was changed after signing); on a locked station, an image\n"
    "       without a job\n"
    "  7    --channel-status or --channel: the release channel cannot be\n"
    "       confirmed (rollback, expired, signature, hash, length, or\n"
    "       unreachable with no release kept); nothing was sent\n"
    "  64   wrong usage, or a job file that cannot be read or is malformed\n"
    "  77   --set-latency without the rights it needs (root on Linux, an\n"
    "       administrator prompt on Windows); 1 when the system refused it\n"
    "       otherwise\n"
    "  130  interrupted by Ctrl-C (SIGINT), 143 by SIGTERM: the download is\n"
    "       cancelled first and sends nothing more\n";

const char* const kFlashExamples =
    "\n"
    "Examples:\n"
    "  zerquill-flash                        DB.bin beside the program, to the\n"
    "                                        device on whichever port beacons\n"
    "  zerquill-flash -i new.bin -p /dev/ttyUSB0\n"
    "  zerquill-flash --wait 30 -i new.bin   then power the device within 30 s\n"
    "  zerquill-flash --check -i new.bin     what would be sent, no port touched\n"
    "  zerquill-flash --make-job lot7.zqjob -i new.bin --name lot7 --key eng.pem\n"
    "  zerquill-flash --watch --job lot7.zqjob   the station, for that job only\n"
    "  zerquill-flash --watch --log units.jsonl \\\n"
    "      --ports /dev/serial/by-path/pci-0000:00:14.0-usb-0:1.1:1.0-port0,...\n"
    "                                        the station, one fixture slot per port\n"
    "  zerquill-flash --watch --log units.jsonl \\\n"
    "      --forward https://mes.example/api/units --forward-token-file mes.token\n"
    "                                        and every record to the line's server\n"
    "  zerquill-flash --report units.jsonl --html yield.html\n";

const char* const kVersion = ZQ_VERSION;

namespace {

// The command line as given, before a mode is chosen. The syntax is flat,
// so one option may serve several modes (-i is a download's image and
// --make-job's), and every option's word is checked whatever the mode.
struct Given {
    CLI::App app{"", "zerquill-flash"};
    std::string image, port, ports, wait, count, away, log, job, makeJob, name, units, key, signJob, verifyJob, report,
        html;
    std::vector<std::string> trust;
    ForwardTarget forward;
    ChannelFollow channel;
    std::string every;
    bool trace = false, quiet = false, listPorts = false, version = false, check = false, all = false,
         watch = false, json = false, help = false, force = false, forwardPending = false;
    // Read from the words above by the checks.
    std::vector<std::string> portList;
    unsigned countValue = 0;
    unsigned awayMs = zq::kDeviceAwayMs;
    double waitSeconds = 0;

    bool Has(const char* option) const { return app.count(option) > 0; }
};

void Declare(Given& g)
{
    CLI::App& app = g.app;
    // Our own usage text is the help; the parser only parses.
    app.set_help_flag();
    const auto value = [&app](const char* names, std::string& to) {
        return app.add_option(names, to)->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    };
    // "--quiet=yes" is a mistake, not a way to say yes.
    const auto flag = [&app](const char* names, bool& to) {
        return app.add_flag(names, to)->disable_flag_override();
    };
    value("-i,--image", g.image);
    CLI::Option* port = value("-p,--port", g.port);
    port->excludes(value("--ports", g.ports));
    flag("--trace", g.trace);
    flag("-q,--quiet", g.quiet);
    flag("--list-ports", g.listPorts);
    flag("-V,--version", g.version);
    flag("--check", g.check);
    value("--wait", g.wait);
    flag("--all", g.all);
    flag("--watch", g.watch);
    value("--count", g.count);
    value("--away", g.away);
    flag("--json", g.json);
    value("--log", g.log);
    flag("-h,--help", g.help);
    value("--job", g.job);
    value("--make-job", g.makeJob);
    value("--name", g.name);
    value("--units", g.units);
    flag("--force", g.force);
    value("--key", g.key);
    value("--sign-job", g.signJob);
    value("--verify-job", g.verifyJob);
    app.add_option("--trust", g.trust)->allow_extra_args(false);
    value("--forward", g.forward.url);
    value("--forward-token-file", g.forward.tokenFile);
    value("--forward-ca", g.forward.ca);
    flag("--forward-pending", g.forwardPending);
    value("--report", g.report);
    value("--html", g.html);
    value("--channel", g.channel.url);
    value("--channel-root", g.channel.root);
    value("--channel-state", g.channel.state);
    value("--channel-every", g.every);
}

// Edits between two words, a swap of neighbours counting as one: "--imgae"
// is one slip from "--image".
size_t Edits(const std::string& a, const std::string& b)
{
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        for (size_t j = 0; j <= b.size(); ++j) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// The known option nearest to a misspelt one, if one is near enough to be
// what was meant: at most two slips, and fewer than half its letters.
std::string Nearest(const CLI::App& app, const std::string& name)
{
    // --serve and --set-latency are taken apart before this parser runs.
    std::vector<std::string> known = {"--serve", "--serve-token-file", "--set-latency"};
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& n : option->get_lnames())
            known.push_back("--" + n);
        for (const std::string& n : option->get_snames())
            known.push_back("-" + n);
    }
    std::string best;
    size_t bestEdits = 3;
    for (const std::string& candidate : known) {
        const size_t edits = Edits(name, candidate);
        if (edits < bestEdits && 2 * edits < candidate.size() - 1) {
            best = candidate;
            bestEdits = edits;
        }
    }
    return best;
}

// The parser's own words list every stray word; a person needs the first.
std::string StrayWords(const CLI::App& app, int argc, const char* const* argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const std::string name = word.substr(0, word.find('='));
        if (!word.empty() && word[0] == '-' && !app.get_option_no_throw(name)) {
            const std::string meant = Nearest(app, name);
            return "unknown option " + word + (meant.empty() ? std::string() : " (did you mean " + meant + "?)");
        }
    }
    std::string error = "unexpected argument";
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != '-') {
            error += std::string(" ") + argv[i];
            break;
        }
    return error;
}

// An option given last, without its word: what the word is, by example
// (the parser would say "1 required TEXT missing").
std::string MissingWord(const std::string& parserWords)
{
    static const std::pair<const char*, const char*> kNeeds[] = {
        {"--html", "the file to write, e.g. --html report.html"},
        {"--report", "the record file to read, e.g. --report units.jsonl"},
        {"--log", "the record file to append to, e.g. --log units.jsonl"},
        {"--image", "the image, e.g. -i DB.bin"},
        {"--port", "a port, e.g. -p /dev/ttyUSB0"},
        {"--ports", "the ports, e.g. --ports /dev/ttyUSB0,/dev/ttyUSB1"},
    };
    const std::string option = parserWords.substr(0, parserWords.find(':'));
    for (const auto& need : kNeeds)
        if (option == need.first)
            return option + " needs " + need.second;
    return option + " needs a value";
}

// A rule of the command line: when broken, the line that says so.
struct Rule {
    bool broken;
    const char* why;
};

bool Keeps(std::initializer_list<Rule> rules, std::string& error)
{
    for (const Rule& rule : rules)
        if (rule.broken) {
            error = rule.why;
            return false;
        }
    return true;
}

// An option given with an empty word: "--log needs a file name".
bool NoneEmpty(const Given& g, std::initializer_list<std::pair<const char*, const std::string*>> words,
               const char* needs, std::string& error)
{
    for (const auto& word : words)
        if (g.Has(word.first) && word.second->empty()) {
            error = std::string(word.first) + " needs " + needs;
            return false;
        }
    return true;
}

// Digits only: no sign, no "3x", no 0, nothing beyond what the count can be.
bool PositiveCount(const std::string& text, size_t maxDigits, unsigned& out)
{
    const bool digits = !text.empty() && text.size() <= maxDigits &&
                        text.find_first_not_of("0123456789") == std::string::npos;
    out = digits ? static_cast<unsigned>(std::stoul(text)) : 0;
    return out != 0;
}

// Where the image goes and how: the ports, --all or --watch, --count, --wait.
bool CheckRun(Given& g, std::string& error)
{
    if (!NoneEmpty(g, {{"--image", &g.image}, {"--log", &g.log}}, "a file name", error) ||
        !NoneEmpty(g, {{"--port", &g.port}}, "a port name", error))
        return false;
    if (g.Has("--ports") && !SplitPortList(g.ports, g.portList, error)) {
        error = "--ports: " + error;
        return false;
    }
    if (!Keeps({{g.all && g.watch, "--all and --watch do not go together: --all is one window, --watch runs on"},
                {g.Has("--count") && !g.watch, "--count goes with --watch"},
                {g.Has("--away") && !g.watch, "--away goes with --watch"}},
               error))
        return false;
    if (g.Has("--count") && !PositiveCount(g.count, 9, g.countValue)) {
        error = "--count: \"" + g.count + "\" is not a number of downloads (1 or more)";
        return false;
    }
    unsigned awaySeconds = 0;
    if (g.Has("--away")) {
        if (!PositiveCount(g.away, 4, awaySeconds) || awaySeconds > 3600) {
            error = "--away: \"" + g.away + "\" is not a number of seconds (1 to 3600)";
            return false;
        }
        g.awayMs = awaySeconds * 1000;
    }
    if (!g.Has("--wait"))
        return true;
    char* end = nullptr;
    g.waitSeconds = std::strtod(g.wait.c_str(), &end);
    if (g.wait.empty() || *end != '\0' || !(g.waitSeconds > 0) || g.waitSeconds > 86400) {
        error = "--wait: \"" + g.wait + "\" is not a number of seconds (above 0, at most 86400)";
        return false;
    }
    return Keeps({{g.all || g.watch, "--wait is for one download; --watch waits by itself"}}, error);
}

// Forwarding, the yield report and --json: what goes with what.
bool CheckForwardAndReport(const Given& g, std::string& error)
{
    if (!NoneEmpty(g,
                   {{"--forward", &g.forward.url},
                    {"--forward-token-file", &g.forward.tokenFile},
                    {"--forward-ca", &g.forward.ca},
                    {"--report", &g.report},
                    {"--html", &g.html}},
                   "a value", error))
        return false;
    const bool flashes = g.all || g.watch || g.check;
    return Keeps(
        {{(g.Has("--forward-token-file") || g.Has("--forward-ca") || g.forwardPending) && g.forward.url.empty(),
          "--forward-token-file, --forward-ca and --forward-pending go with --forward URL"},
         // The record file is what is forwarded: it is on the disk first.
         {!g.forward.url.empty() && g.log.empty(),
          "--forward needs --log FILE: records are forwarded from their file"},
         {g.forwardPending && flashes, "--forward-pending flashes nothing: not with --all, --watch or --check"},
         {g.Has("--html") && g.report.empty(), "--html goes with --report"},
         {!g.report.empty() && (flashes || g.forwardPending || !g.log.empty()),
          "--report reads a record file and flashes nothing: give it alone"},
         {g.json && !g.all && !g.watch, "--json goes with --all or --watch"}},
        error);
}

const char kTrustGoesWith[] = "--trust goes with --job or --verify-job";

// The job commands: one at a time, and the options that belong to one.
bool CheckJobs(const Given& g, std::string& error)
{
    if (!NoneEmpty(g,
                   {{"--job", &g.job}, {"--make-job", &g.makeJob}, {"--sign-job", &g.signJob},
                    {"--verify-job", &g.verifyJob}},
                   "a file name", error))
        return false;
    for (const std::string& t : g.trust)
        if (t.empty()) {
            error = "--trust needs a file name";
            return false;
        }
    const bool jobs = g.Has("--job"), making = g.Has("--make-job"), signing = g.Has("--sign-job"),
               verifying = g.Has("--verify-job");
    return Keeps(
        {{jobs + making + signing + verifying > 1, "--job, --make-job, --sign-job and --verify-job are one at a time"},
         {(making || signing || verifying) && (g.all || g.watch || g.check),
          "--make-job, --sign-job and --verify-job touch no device; they go without --all, --watch, --check"},
         {jobs && g.Has("--image"), "--job fixes the image: give -i to --make-job, not with --job"},
         {!making && (g.Has("--name") || g.Has("--units") || g.Has("--force")),
          "--name, --units and --force go with --make-job"},
         {g.Has("--key") && !making && !signing, "--key goes with --make-job or --sign-job"},
         // --make-job and --sign-job tell it amid their own needs.
         {g.Has("--trust") && !jobs && !verifying && !making && !signing, kTrustGoesWith}},
        error);
}

// --channel and what goes with it: the channel gives the job and the image.
bool CheckChannel(Given& g, std::string& error)
{
    if (!NoneEmpty(g, {{"--channel", &g.channel.url}, {"--channel-root", &g.channel.root},
                       {"--channel-state", &g.channel.state}},
                   "a value", error))
        return false;
    const bool following = g.Has("--channel");
    if (!Keeps({{!following && (g.Has("--channel-root") || g.Has("--channel-state") || g.Has("--channel-every")),
                 "--channel-root, --channel-state and --channel-every go with --channel URL"},
                {following && (g.Has("--image") || g.Has("--job")),
                 "--channel gives the job and its image: not with --image or --job"},
                {following && (g.check || g.Has("--make-job") || g.Has("--sign-job") || g.Has("--verify-job") ||
                               g.Has("--report") || g.forwardPending),
                 "--channel goes with a download, --all or --watch"},
                {g.Has("--channel-every") && !g.watch, "--channel-every goes with --watch"}},
               error))
        return false;
    if (g.Has("--channel-every") && (!PositiveCount(g.every, 5, g.channel.everySeconds) ||
                                     g.channel.everySeconds > 86400)) {
        error = "--channel-every: \"" + g.every + "\" is not a number of seconds (1 to 86400)";
        return false;
    }
    return true;
}

// Each mode reads its options from what was given, with what it alone needs.

bool ReadFlash(const Given& g, FlashCommand& command, std::string&)
{
    // --check looks at the image whatever else was asked.
    const FlashMode mode = g.check ? FlashMode::Check
                           : g.all ? FlashMode::All
                           : g.watch ? FlashMode::Watch
                                     : FlashMode::One;
    command = FlashOptions{mode, g.image, g.port, g.portList, g.trace, g.quiet, g.log, g.countValue, g.json,
                           g.waitSeconds, g.job, g.trust, g.forward, ServeOptions{}, // --serve: taken apart
                           g.awayMs, g.channel};
    return true;
}

bool ReadMakeJob(const Given& g, FlashCommand& command, std::string& error)
{
    if (!Keeps({{!g.Has("--image") || !g.Has("--name"),
                 "--make-job needs the image (-i FILE) and the job's name (--name NAME)"},
                {g.Has("--key") && g.key.empty(), "--key needs a file name"},
                {g.Has("--trust"), kTrustGoesWith},
                {g.name.empty(), "--name needs the job's name"}},
               error))
        return false;
    MakeJobOptions o{g.makeJob, g.image, g.name, 0, g.force, g.key};
    if (g.Has("--units") && !PositiveCount(g.units, 8, o.units)) {
        error = "--units: \"" + g.units + "\" is not a number of units (1 or more)";
        return false;
    }
    command = o;
    return true;
}

bool ReadSignJob(const Given& g, FlashCommand& command, std::string& error)
{
    if (!Keeps({{!g.Has("--key"), "--sign-job needs the private key: --key KEY.pem"},
                {g.key.empty(), "--key needs a file name"},
                {g.Has("--trust"), kTrustGoesWith}},
               error))
        return false;
    command = SignJobOptions{g.signJob, g.key};
    return true;
}

bool ReadVerifyJob(const Given& g, FlashCommand& command, std::string&)
{
    command = VerifyJobOptions{g.verifyJob, g.trust};
    return true;
}

bool ReadForwardPending(const Given& g, FlashCommand& command, std::string&)
{
    command = ForwardPendingOptions{g.log, g.forward};
    return true;
}

bool ReadReport(const Given& g, FlashCommand& command, std::string&)
{
    command = ReportOptions{g.report, g.html};
    return true;
}

// The modes an option chooses, first to last: the first given runs. Every
// one given reads its options, so its mistakes are told even where an
// earlier one runs. None given: the image is run.
const struct {
    const char* option;
    bool (*read)(const Given&, FlashCommand&, std::string&);
} kModes[] = {{"--forward-pending", ReadForwardPending},
              {"--report", ReadReport},
              {"--make-job", ReadMakeJob},
              {"--sign-job", ReadSignJob},
              {"--verify-job", ReadVerifyJob}};

// They answer any valid command line instead of running its mode.
const std::pair<const char*, FlashCommand> kAnswers[] = {
    {"--help", HelpOptions{}}, {"--version", VersionOptions{}}, {"--list-ports", ListPortsOptions{}}};

bool ChooseMode(const Given& g, FlashCommand& command, std::string& error)
{
    bool chosen = false;
    for (const auto& mode : kModes) {
        FlashCommand read;
        if (!g.Has(mode.option))
            continue;
        if (!mode.read(g, read, error))
            return false;
        if (!chosen)
            command = std::move(read);
        chosen = true;
    }
    if (!chosen && !ReadFlash(g, command, error))
        return false;
    for (const auto& answer : kAnswers)
        if (g.Has(answer.first)) {
            command = answer.second;
            break;
        }
    return true;
}

} // namespace

bool ParseFlashCommand(int argc, const char* const* argv, FlashCommand& command, std::string& error)
{
    Given g;
    Declare(g);
    try {
        g.app.parse(argc, argv);
    } catch (const CLI::ExtrasError&) {
        error = StrayWords(g.app, argc, argv);
        return false;
    } catch (const CLI::ArgumentMismatch& e) {
        const std::string words = e.what();
        error = words.find(" required ") != std::string::npos ? MissingWord(words) : words;
        return false;
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return false;
    }
    return CheckRun(g, error) && CheckForwardAndReport(g, error) && CheckJobs(g, error) &&
           CheckChannel(g, error) && ChooseMode(g, command, error);
}

}  // namespace zq
