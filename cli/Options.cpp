#include "Options.h"

#include <CLI/CLI.hpp>

const char* const kFlashUsage =
    "usage: zerquill-flash [--image FILE] [--port NAME | --ports NAME,NAME,...]\n"
    "                      [--all | --watch [--count N]] [--log FILE] [--json]\n"
    "                      [--trace] [--quiet] [--list-ports] [--version]\n"
    "\n"
    "Writes a database image into the device on a serial port. The device is\n"
    "found by its beacon at 4800 bit/s; the download runs at 115200 bit/s 8N1.\n"
    "\n"
    "  --image FILE       the image to write (default: DB.bin beside this program)\n"
    "  --port NAME        look for the device on this port only\n"
    "  --ports A,B,...    look on these ports, in this order, instead of the\n"
    "                     system's list\n"
    "  --trace            every byte both ways on stderr, with the time in ms\n"
    "  --quiet            print only the result (and, after a failure, its cause)\n"
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
    "  --list-ports       print the system's serial ports and exit\n"
    "  --version          print the version and exit\n"
    "  --help             show this help and exit\n"
    "\n"
    "Exit status: 0 written (with --all: at least one device, and every one\n"
    "written; with --watch: every download written), 1 a download failed or its\n"
    "record could not be written, 2 image could not be opened, 64 wrong usage,\n"
    "130 interrupted (--watch: downloads in flight cancelled and recorded).\n";

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

} // namespace

bool ParseFlashOptions(int argc, const char* const* argv, FlashOptions& options, std::string& error)
{
    options = FlashOptions();
    // Our own usage text is the help; the parser only parses.
    CLI::App app("", "zerquill-flash");
    app.set_help_flag();
    const auto once = CLI::MultiOptionPolicy::Throw;
    std::string ports;
    CLI::Option* image = app.add_option("--image", options.image)->multi_option_policy(once);
    CLI::Option* port = app.add_option("--port", options.port)->multi_option_policy(once);
    CLI::Option* portList = app.add_option("--ports", ports)->multi_option_policy(once);
    port->excludes(portList);
    // "--quiet=yes" is a mistake, not a way to say yes.
    app.add_flag("--trace", options.trace)->disable_flag_override();
    app.add_flag("--quiet", options.quiet)->disable_flag_override();
    app.add_flag("--list-ports", options.listPorts)->disable_flag_override();
    app.add_flag("--version", options.version)->disable_flag_override();
    CLI::Option* all = app.add_flag("--all", options.all)->disable_flag_override();
    CLI::Option* watch = app.add_flag("--watch", options.watch)->disable_flag_override();
    std::string count;
    CLI::Option* countOption = app.add_option("--count", count)->multi_option_policy(once);
    app.add_flag("--json", options.json)->disable_flag_override();
    CLI::Option* log = app.add_option("--log", options.log)->multi_option_policy(once);
    app.add_flag("-h,--help", options.help)->disable_flag_override();
    try {
        app.parse(argc, argv);
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
    if (options.json && !options.all && !options.watch) {
        error = "--json goes with --all or --watch";
        return false;
    }
    return true;
}
