#pragma once
// Owners for the handles of the platform's cryptography (CNG, bcrypt.dll).
#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/scoped_handle.h"

struct CngAlgorithmTraits {
    static BCRYPT_ALG_HANDLE Invalid() { return nullptr; }
    static bool IsValid(BCRYPT_ALG_HANDLE h) { return h != nullptr; }
    static void Close(BCRYPT_ALG_HANDLE h) { BCryptCloseAlgorithmProvider(h, 0); }
};
using ScopedCngAlgorithm = Scoped<BCRYPT_ALG_HANDLE, CngAlgorithmTraits>;

struct CngHashTraits {
    static BCRYPT_HASH_HANDLE Invalid() { return nullptr; }
    static bool IsValid(BCRYPT_HASH_HANDLE h) { return h != nullptr; }
    static void Close(BCRYPT_HASH_HANDLE h) { BCryptDestroyHash(h); }
};
using ScopedCngHash = Scoped<BCRYPT_HASH_HANDLE, CngHashTraits>;

struct CngKeyTraits {
    static BCRYPT_KEY_HANDLE Invalid() { return nullptr; }
    static bool IsValid(BCRYPT_KEY_HANDLE h) { return h != nullptr; }
    static void Close(BCRYPT_KEY_HANDLE h) { BCryptDestroyKey(h); }
};
using ScopedCngKey = Scoped<BCRYPT_KEY_HANDLE, CngKeyTraits>;

// Opens an algorithm provider (BCRYPT_SHA256_ALGORITHM, BCRYPT_ECDSA_P256_ALGORITHM, ...).
inline bool OpenCngAlgorithm(const wchar_t* algorithm, ScopedCngAlgorithm& opened) {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, 0))) return false;
    opened.reset(handle);
    return true;
}

// Imports an ECDSA P-256 key from its raw coordinates: X and Y (public), or X, Y and d
// (private), 32 bytes each.
inline bool ImportEcdsaP256Key(const std::string& coordinates, bool isPrivate,
                               ScopedCngKey& imported) {
    constexpr ULONG kCoordinateSize = 32;
    if (coordinates.size() != (isPrivate ? 3 : 2) * kCoordinateSize) return false;
    BCRYPT_ECCKEY_BLOB header{static_cast<ULONG>(isPrivate ? BCRYPT_ECDSA_PRIVATE_P256_MAGIC
                                                           : BCRYPT_ECDSA_PUBLIC_P256_MAGIC),
                              kCoordinateSize};
    std::vector<UCHAR> blob(sizeof header + coordinates.size());
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, coordinates.data(), coordinates.size());

    ScopedCngAlgorithm algorithm;
    if (!OpenCngAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM, algorithm)) return false;
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(
            algorithm.get(), nullptr, isPrivate ? BCRYPT_ECCPRIVATE_BLOB : BCRYPT_ECCPUBLIC_BLOB,
            &handle, blob.data(), static_cast<ULONG>(blob.size()), 0)))
        return false;
    imported.reset(handle);
    return true;
}
