#include "tools/signing_key.h"

#include <cstring>
#include <vector>

#include "base/cng.h"
#include "base/hex.h"
#include "base/sha256.h"

namespace {

const char kKeyFileTag[] = "hopwell-ecdsa-p256-private-key ";
constexpr size_t kCoordinateSize = 32;
constexpr size_t kKeySize = 3 * kCoordinateSize;

}  // namespace

bool MakePrivateKeyText(std::string& keyText) {
    ScopedCngAlgorithm algorithm;
    if (!OpenCngAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM, algorithm)) return false;
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptGenerateKeyPair(algorithm.get(), &handle, 256, 0))) return false;
    ScopedCngKey key(handle);
    if (!BCRYPT_SUCCESS(BCryptFinalizeKeyPair(key.get(), 0))) return false;
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + kKeySize);
    ULONG size = 0;
    if (!BCRYPT_SUCCESS(BCryptExportKey(key.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(),
                                        static_cast<ULONG>(blob.size()), &size, 0)) ||
        size != blob.size())
        return false;
    const std::string bytes(reinterpret_cast<const char*>(blob.data()) + sizeof(BCRYPT_ECCKEY_BLOB),
                            kKeySize);
    keyText = kKeyFileTag + HexText(bytes) + "\n";
    return true;
}

bool ParsePrivateKeyText(const std::string& text, std::string& key) {
    const size_t tagLength = std::strlen(kKeyFileTag);
    if (text.compare(0, tagLength, kKeyFileTag) != 0) return false;
    std::string digits = text.substr(tagLength);
    while (!digits.empty() && (digits.back() == '\n' || digits.back() == '\r')) digits.pop_back();
    return ParseHex(digits, kKeySize, key);
}

std::string PublicKeyText(const std::string& key) {
    return HexText(key.substr(0, 2 * kCoordinateSize));
}

bool SignData(const std::string& key, const std::string& data, std::string& signatureText) {
    std::string digest;
    if (key.size() != kKeySize || !Sha256OfBytes(data, digest)) return false;
    ScopedCngKey imported;
    if (!ImportEcdsaP256Key(key, true, imported)) return false;
    std::string signature(2 * kCoordinateSize, '\0');
    ULONG size = 0;
    if (!BCRYPT_SUCCESS(BCryptSignHash(imported.get(), nullptr,
                                       reinterpret_cast<UCHAR*>(&digest[0]),
                                       static_cast<ULONG>(digest.size()),
                                       reinterpret_cast<UCHAR*>(&signature[0]),
                                       static_cast<ULONG>(signature.size()), &size, 0)) ||
        size != signature.size())
        return false;
    signatureText = HexText(signature) + "\n";
    return true;
}
