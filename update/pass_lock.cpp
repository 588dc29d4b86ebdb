#include "update/pass_lock.h"

#include "base/hex.h"
#include "base/sha256.h"
#include "base/text.h"

namespace {

// Object names are short and may hold no backslash, so the path goes in as its digest.
std::wstring LockName(const std::wstring& directory) {
    std::wstring full(GetFullPathNameW(directory.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD length =
        GetFullPathNameW(directory.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    full.resize(length < full.size() ? length : 0);
    if (full.empty()) full = directory;
    while (full.size() > 3 && full.back() == L'\\') full.pop_back();
    CharUpperBuffW(&full[0], static_cast<DWORD>(full.size()));
    std::string digest;
    Sha256OfBytes(WideToUtf8(full), digest);
    return L"Local\\Hopwell-pass-" + Utf8ToWide(HexText(digest));
}

}  // namespace

PassLock::PassLock(const std::wstring& directory, const std::function<void()>& onWait)
    : mutex_(CreateMutexW(nullptr, FALSE, LockName(directory).c_str())) {
    if (!mutex_) return;  // no lock to be had: the pass runs as it always could
    DWORD result = WaitForSingleObject(mutex_.get(), 0);
    if (result == WAIT_TIMEOUT) {
        onWait();
        result = WaitForSingleObject(mutex_.get(), INFINITE);
    }
    // Abandoned: its holder died mid-pass; the recovery at the start of this pass cleans up.
    owned_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

PassLock::~PassLock() {
    if (owned_) ReleaseMutex(mutex_.get());
}
