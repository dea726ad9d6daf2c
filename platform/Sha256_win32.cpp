#include "platform/Sha256.h"

#include <windows.h>

#include <bcrypt.h>

namespace zq {

namespace {

bool Ok(NTSTATUS status) { return status >= 0; }

} // namespace

std::string Sha256Hex(const uint8_t* data, size_t size)
{
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (!Ok(BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return std::string();
    unsigned char digest[32];
    bool ok = false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (Ok(BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0))) {
        ok = true;
        // BCryptHashData takes a ULONG length: feed large images in pieces.
        while (ok && size > 0) {
            const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
            ok = Ok(BCryptHashData(hash, const_cast<PUCHAR>(data), piece, 0));
            data += piece;
            size -= piece;
        }
        ok = ok && Ok(BCryptFinishHash(hash, digest, sizeof digest, 0));
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(alg, 0);
    if (!ok)
        return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : digest) {
        out += kHex[b >> 4];
        out += kHex[b & 0x0F];
    }
    return out;
}

}  // namespace zq
