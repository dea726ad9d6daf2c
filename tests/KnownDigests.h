// The digests SHA-256 gives for "abc" and for the empty message, checked
// against the station's Sha256Hex on each platform (libcrypto, CNG).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "platform/Sha256.h"

namespace zq {

inline void ExpectKnownDigests()
{
    const struct {
        const char* message;
        const char* hex;
    } known[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    };
    for (const auto& d : known)
        EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t*>(d.message), std::strlen(d.message)), d.hex)
            << '"' << d.message << '"';
}

}  // namespace zq
