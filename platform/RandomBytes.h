// The OS's random source, for ids that must not repeat across stations.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zq {

// size bytes from the OS's random source (getrandom, BCryptGenRandom).
bool OsRandomBytes(uint8_t* data, size_t size);

}  // namespace zq
