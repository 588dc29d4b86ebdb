#include "base/sha256.h"

#include <algorithm>
#include <vector>

bool StartSha256(Sha256& sha) {
    sha.failed = true;
    if (!OpenCngAlgorithm(BCRYPT_SHA256_ALGORITHM, sha.algorithm)) return false;
    // No hash object buffer: the provider allocates its own.
    BCRYPT_HASH_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(sha.algorithm.get(), &handle, nullptr, 0, nullptr, 0, 0)))
        return false;
    sha.hash.reset(handle);
    sha.failed = false;
    return true;
}

void AddToSha256(Sha256& sha, const void* data, size_t size) {
    const UCHAR* bytes = static_cast<const UCHAR*>(data);
    while (!sha.failed && size > 0) {
        const ULONG piece = static_cast<ULONG>(std::min<size_t>(size, 1u << 30));
        if (!BCRYPT_SUCCESS(BCryptHashData(sha.hash.get(), const_cast<UCHAR*>(bytes), piece, 0)))
            sha.failed = true;
        bytes += piece;
        size -= piece;
    }
}

bool FinishSha256(Sha256& sha, std::string& digest) {
    if (sha.failed || !sha.hash) return false;
    std::string result(kSha256Size, '\0');
    if (!BCRYPT_SUCCESS(BCryptFinishHash(sha.hash.get(), reinterpret_cast<UCHAR*>(&result[0]),
                                         static_cast<ULONG>(result.size()), 0)))
        return false;
    sha.failed = true;  // a finished hash takes no more data
    digest = result;
    return true;
}

bool Sha256OfBytes(const std::string& bytes, std::string& digest) {
    Sha256 sha;
    if (!StartSha256(sha)) return false;
    AddToSha256(sha, bytes.data(), bytes.size());
    return FinishSha256(sha, digest);
}

bool Sha256OfFile(const std::wstring& path, std::string& digest) {
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    Sha256 sha;
    if (!file || !StartSha256(sha)) return false;
    std::vector<char> buffer(262144);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                      nullptr))
            return false;
        if (read == 0) break;
        AddToSha256(sha, buffer.data(), read);
    }
    return FinishSha256(sha, digest);
}
