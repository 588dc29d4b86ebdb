#pragma once
// Owners for the handles of the platform's cryptography (CNG, bcrypt.dll).
#include <windows.h>
#include <bcrypt.h>

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
