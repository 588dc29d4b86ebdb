#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "base/scoped_handle.h"

// One update pass at a time per application directory: the lock file `hopwell.lock` in it,
// held open with no sharing for the whole pass. Being a file of the directory, it is the same
// lock whatever the spelling of the path (case, short names, subst drives, junctions), the
// session or the elevation of the launcher; the system closes it if its holder dies.
class PassLock {
public:
    // Takes the lock; when another pass holds it, calls onWait once and waits for it.
    PassLock(const std::wstring& directory, const std::function<void()>& onWait);
    PassLock(const PassLock&) = delete;
    PassLock& operator=(const PassLock&) = delete;

    // False when the lock file can be neither created nor opened (a read-only or missing
    // folder): no pass may run then.
    bool held() const { return static_cast<bool>(file_); }

private:
    ScopedFile file_;
};

// The name of the lock file in the application directory.
constexpr const wchar_t* kPassLockName = L"hopwell.lock";
