#include "Options.h"

const char* const kFlashUsage =
    "usage: zerquill-flash [--image FILE] [--port NAME | --ports NAME,NAME,...]\n"
    "                      [--trace] [--quiet] [--list-ports]\n"
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
    "  --list-ports       print the system's serial ports and exit\n"
    "  --help             show this help and exit\n"
    "\n"
    "Exit status: 0 written, 1 download failed, 2 image could not be opened,\n"
    "64 wrong usage.\n";

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
    bool imageSet = false, portSet = false, portsSet = false;
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        std::string value;
        bool inlineValue = false;
        const size_t eq = opt.find('=');
        if (opt.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = opt.substr(eq + 1);
            opt.erase(eq);
            inlineValue = true;
        }
        const bool takesValue = opt == "--image" || opt == "--port" || opt == "--ports";
        if (takesValue && !inlineValue) {
            if (i + 1 >= argc) {
                error = opt + " needs a value";
                return false;
            }
            value = argv[++i];
        } else if (!takesValue && inlineValue) {
            error = opt + " takes no value";
            return false;
        }

        if (opt == "--image") {
            if (imageSet) {
                error = "--image given twice";
                return false;
            }
            if (value.empty()) {
                error = "--image needs a file name";
                return false;
            }
            options.image = value;
            imageSet = true;
        } else if (opt == "--port") {
            if (portSet) {
                error = "--port given twice";
                return false;
            }
            if (value.empty()) {
                error = "--port needs a port name";
                return false;
            }
            options.port = value;
            portSet = true;
        } else if (opt == "--ports") {
            if (portsSet) {
                error = "--ports given twice";
                return false;
            }
            if (!SplitPorts(value, options.ports, error))
                return false;
            portsSet = true;
        } else if (opt == "--trace") {
            options.trace = true;
        } else if (opt == "--quiet") {
            options.quiet = true;
        } else if (opt == "--list-ports") {
            options.listPorts = true;
        } else if (opt == "--help" || opt == "-h") {
            options.help = true;
        } else if (opt.rfind("-", 0) == 0) {
            error = "unknown option " + opt;
            return false;
        } else {
            error = "unexpected argument \"" + opt + "\"";
            return false;
        }
    }
    if (portSet && portsSet) {
        error = "--port and --ports cannot be used together";
        return false;
    }
    return true;
}
