// The name this host goes by on the network, as records name the station.
#pragma once

#include <string>

namespace zq {

// Empty when the system does not tell.
std::string HostName();

}  // namespace zq
