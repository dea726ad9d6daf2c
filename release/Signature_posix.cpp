#include "release/Signature.h"

#include <sys/stat.h>

#include <cstdio>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "platform/UniqueHandle.h"

namespace zq {

namespace {

using CPkey = CUniquePointer<EVP_PKEY*, EVP_PKEY_free>;
using CMdCtx = CUniquePointer<EVP_MD_CTX*, EVP_MD_CTX_free>;

} // namespace

bool Sign(const PrivateKey& key, const uint8_t* data, size_t size, Bytes& signature)
{
    const unsigned char* p = key.der.data();
    CPkey pkey(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(key.der.size())));
    CMdCtx ctx(EVP_MD_CTX_new());
    size_t length = 0;
    if (!pkey || !ctx || EVP_DigestSignInit(ctx.Get(), nullptr, EVP_sha256(), nullptr, pkey.Get()) != 1 ||
        EVP_DigestSign(ctx.Get(), nullptr, &length, data, size) != 1)
        return false;
    signature.resize(length);
    if (EVP_DigestSign(ctx.Get(), signature.data(), &length, data, size) != 1)
        return false;
    signature.resize(length);
    return true;
}

bool Verify(const PublicKey& key, const uint8_t* data, size_t size, const Bytes& signature)
{
    const unsigned char* p = key.spki.data();
    CPkey pkey(d2i_PUBKEY(nullptr, &p, static_cast<long>(key.spki.size())));
    CMdCtx ctx(EVP_MD_CTX_new());
    return pkey && ctx && EVP_DigestVerifyInit(ctx.Get(), nullptr, EVP_sha256(), nullptr, pkey.Get()) == 1 &&
           EVP_DigestVerify(ctx.Get(), signature.data(), signature.size(), data, size) == 1;
}

std::string PrivateKeyExposure(const std::string& path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 || !(st.st_mode & (S_IRGRP | S_IROTH)))
        return std::string();
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return "warning: " + path + " (mode " + mode + ") can be read by " +
           ((st.st_mode & S_IROTH) ? "every user" : "its group") + ": whoever reads it can release jobs; chmod 600 " +
           path;
}

}  // namespace zq
