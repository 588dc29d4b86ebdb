#include "install/held_file.h"

#include <restartmanager.h>

#include <algorithm>

#include "base/scoped_handle.h"

namespace {

constexpr DWORD kFirstPauseMs = 10, kLongestPauseMs = 250;

struct RestartSessionTraits {
    static DWORD Invalid() { return 0xFFFFFFFF; }
    static bool IsValid(DWORD session) { return session != 0xFFFFFFFF; }
    static void Close(DWORD session) { RmEndSession(session); }
};
using ScopedRestartSession = Scoped<DWORD, RestartSessionTraits>;

}  // namespace

bool MayBeHeld(DWORD error, const std::wstring& path) {
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
    // A file being deleted, or replaced over a holder's handle, answers access denied too.
    return error == ERROR_ACCESS_DENIED &&
           GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RetryWhileHeld(const std::wstring& path, const std::function<bool()>& operation) {
    if (operation()) return true;
    const ULONGLONG start = GetTickCount64();
    DWORD pause = kFirstPauseMs;
    for (DWORD error = GetLastError(); MayBeHeld(error, path); error = GetLastError()) {
        const ULONGLONG waited = GetTickCount64() - start;
        if (waited >= kHeldFileWaitMs) {
            SetLastError(error);
            return false;
        }
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(pause, kHeldFileWaitMs - waited)));
        pause = std::min(pause * 2, kLongestPauseMs);
        if (operation()) return true;
    }
    return false;
}

std::wstring HolderNames(const std::vector<std::wstring>& paths) {
    DWORD handle = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (RmStartSession(&handle, 0, key) != ERROR_SUCCESS) return L"";
    ScopedRestartSession session(handle);
    std::vector<LPCWSTR> files;
    for (const std::wstring& path : paths) files.push_back(path.c_str());
    if (RmRegisterResources(handle, static_cast<UINT>(files.size()), files.data(), 0, nullptr, 0,
                            nullptr) != ERROR_SUCCESS)
        return L"";
    std::vector<RM_PROCESS_INFO> holders;
    UINT needed = 0, count = 0;
    DWORD reasons = 0, result = ERROR_MORE_DATA;
    // The list may grow between the two calls.
    for (int tries = 0; result == ERROR_MORE_DATA && tries < 3; ++tries) {
        holders.resize(needed);
        count = needed;
        result = RmGetList(handle, &needed, &count, holders.empty() ? nullptr : holders.data(),
                           &reasons);
    }
    if (result != ERROR_SUCCESS) return L"";
    std::wstring names;
    for (UINT i = 0; i < count && i < holders.size(); ++i) {
        const std::wstring name = holders[i].strAppName;
        if (name.empty()) continue;
        if (!names.empty()) names += L", ";
        names += name;
    }
    return names;
}
