// Ports a person names (--ports A,B on every program), instead of the
// system's list: a simulator's pty, which no system lists, or the slots of
// a fixture. One reading of the list for the command line and the windows.
#pragma once

#include <string>
#include <vector>

#include "link/PortList.h"
#include "link/SerialLink.h"

namespace zq {

// "A,B,C": the names in order. False, with why, for an empty name.
bool SplitPortList(const std::string& list, std::vector<std::string>& names, std::string& error);

// Takes "--ports LIST" or "--ports=LIST" out of args (a window's command
// line, the program's name first), leaving the rest in order. False, with
// why, when the list is missing or malformed; names stays empty when the
// option is not given.
bool TakePortsOption(std::vector<std::string>& args, std::vector<std::string>& names, std::string& error);

// Each named port, described as the system describes it.
std::vector<PortInfo> DescribePorts(const std::vector<std::string>& names);
// A port source listing exactly the named ports.
PortSource NamedPortSource(std::vector<std::string> names);

}  // namespace zq
