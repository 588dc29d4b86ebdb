#include "update/signature.h"

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

    ScopedCngKey key;
    if (!ImportEcdsaP256Key(point, false, key)) return false;
    return BCRYPT_SUCCESS(BCryptVerifySignature(
        key.get(), nullptr, reinterpret_cast<UCHAR*>(&digest[0]),
        static_cast<ULONG>(digest.size()), reinterpret_cast<UCHAR*>(&signature[0]),
        static_cast<ULONG>(signature.size()), 0));
}
