#include "update/pass_lock.h"

#include "base/app_directory.h"

namespace {

// How often a waiting launcher tries the lock again. A pass lasts seconds to minutes, so a
// quarter of a second costs nothing noticeable and no processor time.
constexpr DWORD kPassLockPollMs = 250;

}  // namespace

PassLock::PassLock(const std::wstring& directory, const std::function<void()>& onWait) {
    std::wstring path = directory;
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    path = ExtendedPath(path + L"\\" + kPassLockName);
    bool told = false;
    for (;;) {
        // No sharing at all: any other open of the file, by any spelling, fails while held.
        file_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file_) return;
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) return;
        if (!told) onWait();
        told = true;
        Sleep(kPassLockPollMs);
    }
}
