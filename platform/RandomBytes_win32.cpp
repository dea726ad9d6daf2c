#include "platform/RandomBytes.h"

#include <windows.h>

#include <bcrypt.h>

namespace zq {

bool OsRandomBytes(uint8_t* data, size_t size)
{
    return BCryptGenRandom(nullptr, data, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

}  // namespace zq
