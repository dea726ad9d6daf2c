// SHA-256 from the platform's crypto library: libcrypto on Linux, CNG on
// Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zq {

// The digest of size bytes at data as 64 lower-case hex digits; empty if the
// library failed.
std::string Sha256Hex(const uint8_t* data, size_t size);

}  // namespace zq
