#include "cli/Options.h"

#include <cstdlib>

#include <CLI/CLI.hpp>

namespace zq {

const char* const kFlashUsage =
    "Usage: zerquill-flash [OPTION]... [-i FILE] [-p NAME | --ports A,B,...]\n"
    "  or:  zerquill-flash --all [-i FILE] [--ports A,B,...] [--log FILE] [--json]\n"
    "  or:  zerquill-flash --watch [--count N] [-i FILE] [--ports ...] [--log FILE]\n"
    "  or:  zerquill-flash --check [-i FILE | --job JOB]\n"
    "  or:  zerquill-flash --job JOB [--all | --watch] [--trust KEY.pub]...\n"
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
    "  64   wrong usage, or a job file that cannot be read or is malformed\n"
    "  77   --set-latency without the rights it needs (root on Linux, an\n"
    "       administrator prompt on Windows); 1 when the system refused it\n"
    "       otherwise\n"
    "  130  interrupted by Ctrl-C (SIGINT), 143 by SIGTERM: the download is\n"
    "       cancelled first and sends nothing more\n"
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
    "  zerquill-flash --watch --log units.jsonl --forward https://mes.example/api/units \\\n"
    "      --forward-token-file mes.token    and every record to the line's server\n"
    "  zerquill-flash --report units.jsonl --html yield.html\n";

const char* const kVersion = ZQ_VERSION;

namespace {

bool SplitPorts(const std::string& list, std::vector<std::string>& out, std::string& error)
{
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        const std::string name = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (name.empty()) {
            error = "--ports: empty port name in \"" + list + "\"";
            return false;
        }
        out.push_back(name);
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

bool HasValue(const CLI::Option* option, const std::string& value, std::string& error)
{
    if (option->count() && value.empty()) {
        error = option->get_name() + " needs a file name";
        return false;
    }
    return true;
}

// What the job options allow together. commands: --job, --make-job,
// --sign-job, --verify-job.
bool CheckJobOptions(FlashOptions& options, const std::vector<const CLI::Option*>& commands, bool image, bool name,
                     const std::string* units, bool force, bool key, bool trust, std::string& error)
{
    const std::vector<std::string> values = {options.job, options.makeJob, options.signJob, options.verifyJob};
    int given = 0;
    for (size_t i = 0; i < commands.size(); ++i) {
        if (!HasValue(commands[i], values[i], error))
            return false;
        given += commands[i]->count() ? 1 : 0;
    }
    for (const std::string& t : options.trust)
        if (t.empty()) {
            error = "--trust needs a file name";
            return false;
        }
    const bool jobs = !options.job.empty(), making = !options.makeJob.empty(), signing = !options.signJob.empty(),
               verifying = !options.verifyJob.empty();
    if (given > 1) {
        error = "--job, --make-job, --sign-job and --verify-job are one at a time";
        return false;
    }
    if ((making || signing || verifying) && (options.all || options.watch || options.check)) {
        error = "--make-job, --sign-job and --verify-job touch no device; they go without --all, --watch, --check";
        return false;
    }
    if (jobs && image) {
        error = "--job fixes the image: give -i to --make-job, not with --job";
        return false;
    }
    if (making && (!image || !name)) {
        error = "--make-job needs the image (-i FILE) and the job's name (--name NAME)";
        return false;
    }
    if (!making && (name || units || force)) {
        error = "--name, --units and --force go with --make-job";
        return false;
    }
    if (signing && !key) {
        error = "--sign-job needs the private key: --key KEY.pem";
        return false;
    }
    if (key && !making && !signing) {
        error = "--key goes with --make-job or --sign-job";
        return false;
    }
    if (key && options.key.empty()) {
        error = "--key needs a file name";
        return false;
    }
    if (trust && !jobs && !verifying) {
        error = "--trust goes with --job or --verify-job";
        return false;
    }
    if (name && options.name.empty()) {
        error = "--name needs the job's name";
        return false;
    }
    if (units) {
        const bool digits = !units->empty() && units->size() <= 8 &&
                            units->find_first_not_of("0123456789") == std::string::npos;
        options.units = digits ? static_cast<unsigned>(std::stoul(*units)) : 0;
        if (options.units == 0) {
            error = "--units: \"" + *units + "\" is not a number of units (1 or more)";
            return false;
        }
    }
    return true;
}

// The parser's own words list every stray word; a person needs the first.
std::string StrayWords(const CLI::App& app, int argc, const char* const* argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const std::string name = word.substr(0, word.find('='));
        if (!word.empty() && word[0] == '-' && !app.get_option_no_throw(name))
            return "unknown option " + word;
    }
    std::string error = "unexpected argument";
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != '-') {
            error += std::string(" ") + argv[i];
            break;
        }
    return error;
}

// Forwarding, the yield report and --json: what goes with what.
bool CheckForwardAndReport(const FlashOptions& options, std::initializer_list<CLI::Option*> named,
                           bool forwardDetails, bool htmlGiven, std::string& error)
{
    for (CLI::Option* option : named)
        if (option->count() && option->as<std::string>().empty()) {
            error = option->get_name() + " needs a value";
            return false;
        }
    if ((forwardDetails || options.forwardPending) && options.forward.empty()) {
        error = "--forward-token-file, --forward-ca and --forward-pending go with --forward URL";
        return false;
    }
    // The record file is what is forwarded: it is on the disk first.
    if (!options.forward.empty() && options.log.empty()) {
        error = "--forward needs --log FILE: records are forwarded from their file";
        return false;
    }
    if (options.forwardPending && (options.all || options.watch || options.check)) {
        error = "--forward-pending flashes nothing: not with --all, --watch or --check";
        return false;
    }
    if (htmlGiven && options.report.empty()) {
        error = "--html goes with --report";
        return false;
    }
    if (!options.report.empty() && (options.all || options.watch || options.check || options.forwardPending ||
                                    !options.log.empty())) {
        error = "--report reads a record file and flashes nothing: give it alone";
        return false;
    }
    if (options.json && !options.all && !options.watch) {
        error = "--json goes with --all or --watch";
        return false;
    }
    return true;
}

} // namespace

bool ParseFlashOptions(int argc, const char* const* argv, FlashOptions& options, std::string& error)
{
    options = FlashOptions();
    // Our own usage text is the help; the parser only parses.
    CLI::App app("", "zerquill-flash");
    app.set_help_flag();
    const auto once = CLI::MultiOptionPolicy::Throw;
    std::string ports;
    CLI::Option* image = app.add_option("-i,--image", options.image)->multi_option_policy(once);
    CLI::Option* port = app.add_option("-p,--port", options.port)->multi_option_policy(once);
    CLI::Option* portList = app.add_option("--ports", ports)->multi_option_policy(once);
    port->excludes(portList);
    // "--quiet=yes" is a mistake, not a way to say yes.
    app.add_flag("--trace", options.trace)->disable_flag_override();
    app.add_flag("-q,--quiet", options.quiet)->disable_flag_override();
    app.add_flag("--list-ports", options.listPorts)->disable_flag_override();
    app.add_flag("-V,--version", options.version)->disable_flag_override();
    app.add_flag("--check", options.check)->disable_flag_override();
    std::string wait;
    CLI::Option* waitOption = app.add_option("--wait", wait)->multi_option_policy(once);
    CLI::Option* all = app.add_flag("--all", options.all)->disable_flag_override();
    CLI::Option* watch = app.add_flag("--watch", options.watch)->disable_flag_override();
    std::string count;
    CLI::Option* countOption = app.add_option("--count", count)->multi_option_policy(once);
    app.add_flag("--json", options.json)->disable_flag_override();
    CLI::Option* log = app.add_option("--log", options.log)->multi_option_policy(once);
    app.add_flag("-h,--help", options.help)->disable_flag_override();
    CLI::Option* job = app.add_option("--job", options.job)->multi_option_policy(once);
    CLI::Option* makeJob = app.add_option("--make-job", options.makeJob)->multi_option_policy(once);
    CLI::Option* name = app.add_option("--name", options.name)->multi_option_policy(once);
    std::string units;
    CLI::Option* unitsOption = app.add_option("--units", units)->multi_option_policy(once);
    CLI::Option* force = app.add_flag("--force", options.force)->disable_flag_override();
    CLI::Option* key = app.add_option("--key", options.key)->multi_option_policy(once);
    CLI::Option* signJob = app.add_option("--sign-job", options.signJob)->multi_option_policy(once);
    CLI::Option* verifyJob = app.add_option("--verify-job", options.verifyJob)->multi_option_policy(once);
    CLI::Option* trust = app.add_option("--trust", options.trust)->allow_extra_args(false);
    CLI::Option* forward = app.add_option("--forward", options.forward)->multi_option_policy(once);
    CLI::Option* tokenFile = app.add_option("--forward-token-file", options.forwardTokenFile)->multi_option_policy(once);
    CLI::Option* ca = app.add_option("--forward-ca", options.forwardCa)->multi_option_policy(once);
    app.add_flag("--forward-pending", options.forwardPending)->disable_flag_override();
    CLI::Option* report = app.add_option("--report", options.report)->multi_option_policy(once);
    CLI::Option* html = app.add_option("--html", options.html)->multi_option_policy(once);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ExtrasError&) {
        error = StrayWords(app, argc, argv);
        return false;
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return false;
    }
    if (image->count() && options.image.empty()) {
        error = "--image needs a file name";
        return false;
    }
    if (log->count() && options.log.empty()) {
        error = "--log needs a file name";
        return false;
    }
    if (port->count() && options.port.empty()) {
        error = "--port needs a port name";
        return false;
    }
    if (portList->count() && !SplitPorts(ports, options.ports, error))
        return false;
    if (all->count() && watch->count()) {
        error = "--all and --watch do not go together: --all is one window, --watch runs on";
        return false;
    }
    if (countOption->count()) {
        if (!watch->count()) {
            error = "--count goes with --watch";
            return false;
        }
        // Digits only: no sign, no "3x", no 0, nothing beyond what a count can be.
        const bool digits = !count.empty() && count.size() <= 9 &&
                            count.find_first_not_of("0123456789") == std::string::npos;
        options.count = digits ? static_cast<unsigned>(std::stoul(count)) : 0;
        if (options.count == 0) {
            error = "--count: \"" + count + "\" is not a number of downloads (1 or more)";
            return false;
        }
    }
    if (waitOption->count()) {
        char* end = nullptr;
        options.waitSeconds = std::strtod(wait.c_str(), &end);
        if (wait.empty() || *end != '\0' || !(options.waitSeconds > 0) || options.waitSeconds > 86400) {
            error = "--wait: \"" + wait + "\" is not a number of seconds (above 0, at most 86400)";
            return false;
        }
        if (options.all || options.watch) {
            error = "--wait is for one download; --watch waits by itself";
            return false;
        }
    }
    if (!CheckForwardAndReport(options, {forward, tokenFile, ca, report, html}, tokenFile->count() || ca->count(),
                               html->count() > 0, error))
        return false;
    return CheckJobOptions(options, {job, makeJob, signJob, verifyJob}, image->count() > 0, name->count() > 0,
                           unitsOption->count() ? &units : nullptr, force->count() > 0, key->count() > 0,
                           trust->count() > 0, error);
}

}  // namespace zq
