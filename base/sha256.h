#pragma once
// SHA-256 with the platform's provider (CNG), fed piece by piece.
#include <cstddef>
#include <string>

#include "base/cng.h"

constexpr size_t kSha256Size = 32;

// One digest in progress. A failed step is remembered, so callers check once at the end.
struct Sha256 {
    ScopedCngAlgorithm algorithm;
    ScopedCngHash hash;
    bool failed = false;
};

bool StartSha256(Sha256& sha);
void AddToSha256(Sha256& sha, const void* data, size_t size);
// The 32-byte digest; false when starting or any piece failed.
bool FinishSha256(Sha256& sha, std::string& digest);

bool Sha256OfBytes(const std::string& bytes, std::string& digest);
// False when the file cannot be read to its end.
bool Sha256OfFile(const std::wstring& path, std::string& digest);
