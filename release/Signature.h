// Released jobs: ECDSA P-256 over SHA-256 of a file's exact bytes, the
// signature in DER, the very file `openssl dgst -sha256 -sign KEY.pem`
// writes. What is shared lives in Signature.cpp (PEM, DER, the checks and
// their words); the arithmetic is the platform's: libcrypto on Linux, CNG on
// Windows (Signature_posix.cpp, Signature_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zq {

using Bytes = std::vector<uint8_t>;

struct PublicKey {
    std::string name;        // the key file's name without its extension, or the registry value's
    Bytes spki;              // DER SubjectPublicKeyInfo of a P-256 key
    std::string fingerprint; // SHA-256 of spki in hex, as `openssl pkey -pubin -outform DER | sha256sum`
};

// A P-256 private key's parts, for the platform to sign with.
struct PrivateKey {
    Bytes der;   // as read: SEC1 ECPrivateKey or PKCS#8 PrivateKeyInfo
    Bytes d;     // 32 bytes
    Bytes point; // X then Y, 32 bytes each
};

// A public key from PEM ("PUBLIC KEY") or its DER in base64 on one line.
// False with what is wrong with it.
bool ParsePublicKey(const std::string& text, const std::string& name, PublicKey& key, std::string& error);
bool ReadPublicKeyFile(const std::string& path, PublicKey& key, std::string& error);

// An unencrypted PEM private key on P-256, SEC1 ("EC PRIVATE KEY") or
// PKCS#8 ("PRIVATE KEY"). The error never quotes the key.
bool ParsePrivateKey(const std::string& text, PrivateKey& key, std::string& error);
bool ReadPrivateKeyFile(const std::string& path, PrivateKey& key, std::string& error);

// The public half of a private key.
PublicKey PublicHalf(const PrivateKey& key, const std::string& name);

// DER signature of the SHA-256 of data. False if the platform failed.
bool Sign(const PrivateKey& key, const uint8_t* data, size_t size, Bytes& signature);
// Whether signature (DER) is key's over data.
bool Verify(const PublicKey& key, const uint8_t* data, size_t size, const Bytes& signature);

// A warning when others may read the private key file (Linux); empty if not.
std::string PrivateKeyExposure(const std::string& path);

// ECDSA's two numbers: DER (SEQUENCE of two INTEGERs) to and from r||s,
// 32 bytes each, as CNG takes and gives them.
bool DerToRs(const Bytes& der, Bytes& rs);
Bytes RsToDer(const Bytes& rs);

// A P-256 SubjectPublicKeyInfo from X||Y, and back; false for any other key.
Bytes SpkiOfPoint(const Bytes& point);
bool PointOfSpki(const Bytes& spki, Bytes& point);

}  // namespace zq
