// The key and signature readers over arbitrary text: the trusted public
// keys (PEM, or DER in base64), an engineer's private key (SEC1 or PKCS#8
// PEM) and a job's DER signature. The public key and the signature are on
// the trust path; the private key's refusals must never quote the key.
// Checked against what each promises, not only for crashes.
//
// Input: the text of a key file, and the same bytes as a signature file.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Sha256.h"
#include "release/Signature.h"

using namespace zq;

namespace {

[[noreturn]] void Violation(const char* what, const std::string& detail = std::string())
{
    std::fprintf(stderr, "\nkey property violated: %s [%s]\n", what, detail.c_str());
    std::abort();
}

bool OnePrintableLine(const std::string& text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20)
            return false;
    return !text.empty();
}

bool IsBase64Char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// Whether error repeats a run of 16 base64 characters of text: a piece of a
// key. None of the readers' own words holds such a run.
bool QuotesKey(const std::string& error, const std::string& text)
{
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        run = IsBase64Char(text[i]) ? run + 1 : 0;
        if (run >= 16 && error.find(text.substr(i + 1 - 16, 16)) != std::string::npos)
            return true;
    }
    return false;
}

void CheckPublic(const std::string& text)
{
    PublicKey key;
    std::string error;
    if (!ParsePublicKey(text, "k", key, error)) {
        if (!OnePrintableLine(error))
            Violation("a public key's refusal is not one printable line", error);
        return;
    }
    Bytes point;
    if (!PointOfSpki(key.spki, point) || point.size() != 64 || SpkiOfPoint(point) != key.spki)
        Violation("accepted a public key that is not a P-256 point");
    if (key.fingerprint != Sha256Hex(key.spki.data(), key.spki.size()) || key.fingerprint.size() != 64)
        Violation("fingerprint", key.fingerprint);
    if (key.name != "k")
        Violation("name", key.name);
}

void CheckPrivate(const std::string& text)
{
    PrivateKey key;
    std::string error;
    if (!ParsePrivateKey(text, key, error)) {
        if (!OnePrintableLine(error))
            Violation("a private key's refusal is not one printable line", error);
        if (QuotesKey(error, text))
            Violation("a private key's refusal quotes the key", error);
        return;
    }
    if (key.d.size() != 32 || key.point.size() != 64 || key.der.empty())
        Violation("accepted a private key without its parts");
    const PublicKey pub = PublicHalf(key, "k");
    Bytes point;
    if (!PointOfSpki(pub.spki, point) || point != key.point)
        Violation("the public half is not the key's point");
}

void CheckSignature(const Bytes& der)
{
    Bytes rs;
    if (!DerToRs(der, rs))
        return;
    if (rs.size() != 64)
        Violation("r||s of another size", std::to_string(rs.size()));
    // What CNG gives back, written as DER, reads back the same numbers.
    const Bytes again = RsToDer(rs);
    Bytes rs2;
    if (again.size() > 72 || !DerToRs(again, rs2) || rs2 != rs)
        Violation("r||s does not survive DER and back");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckPublic(text);
    CheckPrivate(text);
    CheckSignature(Bytes(data, data + size));
    return 0;
}
