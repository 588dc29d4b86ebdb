#include "update/signature.h"

#include <cstring>
#include <vector>

#include "base/cng.h"
#include "base/hex.h"
#include "base/sha256.h"

namespace {

constexpr size_t kCoordinateSize = 32;

}  // namespace

bool ParsePublicKeyText(const std::string& text, std::string& point) {
    return ParseHex(text, 2 * kCoordinateSize, point);
}

bool ParseSignatureText(const std::string& text, std::string& signature) {
    std::string digits = text;
    if (digits.size() >= 1 && digits.back() == '\n') digits.pop_back();
    if (digits.size() >= 1 && digits.back() == '\r') digits.pop_back();
    return ParseHex(digits, 2 * kCoordinateSize, signature);
}

bool VerifySignature(const std::string& data, const std::string& signatureText,
                     const std::string& publicKeyText) {
    std::string point, signature, digest;
    if (!ParsePublicKeyText(publicKeyText, point) ||
        !ParseSignatureText(signatureText, signature) || !Sha256OfBytes(data, digest))
        return false;

    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinateSize};
    std::vector<UCHAR> blob(sizeof header + point.size());
    memcpy(blob.data(), &header, sizeof header);
    memcpy(blob.data() + sizeof header, point.data(), point.size());

    ScopedCngAlgorithm algorithm;
    if (!OpenCngAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM, algorithm)) return false;
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB,
                                            &handle, blob.data(),
                                            static_cast<ULONG>(blob.size()), 0)))
        return false;
    ScopedCngKey key(handle);
    return BCRYPT_SUCCESS(BCryptVerifySignature(
        key.get(), nullptr, reinterpret_cast<UCHAR*>(&digest[0]),
        static_cast<ULONG>(digest.size()), reinterpret_cast<UCHAR*>(&signature[0]),
        static_cast<ULONG>(signature.size()), 0));
}
