#include "release/Signature.h"

#include <windows.h>

#include <bcrypt.h>

#include "platform/Sha256.h"
#include "platform/UniqueHandle.h"

namespace zq {

namespace {

void CloseAlgorithm(BCRYPT_ALG_HANDLE alg) { BCryptCloseAlgorithmProvider(alg, 0); }
using CAlg = CUniquePointer<BCRYPT_ALG_HANDLE, CloseAlgorithm>;
using CKey = CUniquePointer<BCRYPT_KEY_HANDLE, BCryptDestroyKey>;

bool Ok(NTSTATUS status) { return status >= 0; }

// The SHA-256 of data as 32 bytes (Sha256Hex's digits read back).
Bytes Digest(const uint8_t* data, size_t size)
{
    const std::string hex = Sha256Hex(data, size);
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// A CNG key from an ECC blob: the header, X, Y and for a private key d.
CKey Import(const CAlg& alg, const Bytes& point, const Bytes* d)
{
    BCRYPT_ECCKEY_BLOB head{d ? static_cast<ULONG>(BCRYPT_ECDSA_PRIVATE_P256_MAGIC)
                              : static_cast<ULONG>(BCRYPT_ECDSA_PUBLIC_P256_MAGIC),
                            32};
    Bytes blob(reinterpret_cast<const uint8_t*>(&head), reinterpret_cast<const uint8_t*>(&head) + sizeof head);
    blob.insert(blob.end(), point.begin(), point.end());
    if (d)
        blob.insert(blob.end(), d->begin(), d->end());
    BCRYPT_KEY_HANDLE key = nullptr;
    const NTSTATUS status = BCryptImportKeyPair(alg.Get(), nullptr, d ? BCRYPT_ECCPRIVATE_BLOB : BCRYPT_ECCPUBLIC_BLOB,
                                                &key, blob.data(), static_cast<ULONG>(blob.size()), 0);
    SecureZeroMemory(blob.data(), blob.size());
    return CKey(Ok(status) ? key : nullptr);
}

CAlg OpenEcdsa()
{
    BCRYPT_ALG_HANDLE alg = nullptr;
    return CAlg(Ok(BCryptOpenAlgorithmProvider(&alg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)) ? alg : nullptr);
}

} // namespace

bool Sign(const PrivateKey& key, const uint8_t* data, size_t size, Bytes& signature)
{
    const CAlg alg = OpenEcdsa();
    if (!alg)
        return false;
    const CKey handle = Import(alg, key.point, &key.d);
    Bytes hash = Digest(data, size);
    Bytes rs(64);
    ULONG length = 0;
    if (!handle || hash.size() != 32 ||
        !Ok(BCryptSignHash(handle.Get(), nullptr, hash.data(), static_cast<ULONG>(hash.size()), rs.data(),
                           static_cast<ULONG>(rs.size()), &length, 0)) ||
        length != 64)
        return false;
    signature = RsToDer(rs);
    return !signature.empty();
}

bool Verify(const PublicKey& key, const uint8_t* data, size_t size, const Bytes& signature)
{
    Bytes point, rs;
    if (!PointOfSpki(key.spki, point) || !DerToRs(signature, rs))
        return false;
    const CAlg alg = OpenEcdsa();
    if (!alg)
        return false;
    const CKey handle = Import(alg, point, nullptr);
    Bytes hash = Digest(data, size);
    return handle && hash.size() == 32 &&
           Ok(BCryptVerifySignature(handle.Get(), nullptr, hash.data(), static_cast<ULONG>(hash.size()), rs.data(),
                                    static_cast<ULONG>(rs.size()), 0));
}

// Windows keeps a file's readers in its ACL, which the key's folder
// normally limits to its owner; there is no mode to look at.
std::string PrivateKeyExposure(const std::string&) { return std::string(); }

}  // namespace zq
