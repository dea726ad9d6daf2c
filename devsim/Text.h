// Words and numbers for the simulator's traces and reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devsim/DevSim.h"
#include "platform/Format.h"

namespace zq {

namespace devsim {

// "0x53 0x59 ..." with at most limit bytes, then "...".
std::string HexList(const std::vector<uint8_t>& bytes, size_t limit = 16);
const char* StepName(DevSimStep s);
const char* EchoName(DevSimEcho e);

} // namespace devsim

}  // namespace zq
