#include "link/NamedPorts.h"

namespace zq {

bool SplitPortList(const std::string& list, std::vector<std::string>& names, std::string& error)
{
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        const std::string name = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (name.empty()) {
            error = "empty port name in \"" + list + "\"";
            return false;
        }
        names.push_back(name);
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

bool TakePortsOption(std::vector<std::string>& args, std::vector<std::string>& names, std::string& error)
{
    static const std::string kOption = "--ports";
    for (size_t i = 1; i < args.size(); ++i) {
        std::string list;
        size_t taken = 1;
        if (args[i] == kOption) {
            if (i + 1 >= args.size()) {
                error = "--ports needs the ports, e.g. --ports /dev/pts/5 or --ports COM5,COM6";
                return false;
            }
            list = args[i + 1];
            taken = 2;
        } else if (args[i].compare(0, kOption.size() + 1, kOption + "=") == 0) {
            list = args[i].substr(kOption.size() + 1);
        } else {
            continue;
        }
        names.clear();
        if (!SplitPortList(list, names, error)) {
            error = "--ports: " + error;
            return false;
        }
        args.erase(args.begin() + long(i), args.begin() + long(i + taken));
        return true;
    }
    return true;
}

std::vector<PortInfo> DescribePorts(const std::vector<std::string>& names)
{
    std::vector<PortInfo> ports;
    for (const std::string& name : names)
        ports.push_back(DescribePort(name));
    return ports;
}

PortSource NamedPortSource(std::vector<std::string> names)
{
    return [names = std::move(names)] { return DescribePorts(names); };
}

}  // namespace zq
