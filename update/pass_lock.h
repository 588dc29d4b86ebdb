#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "base/scoped_handle.h"

// One update pass at a time per application directory: a named mutex over the directory's
// full, upper-cased path, held for the whole pass. The system releases it if its holder dies.
class PassLock {
public:
    // Takes the lock; when another pass holds it, calls onWait once and waits for it.
    PassLock(const std::wstring& directory, const std::function<void()>& onWait);
    ~PassLock();
    PassLock(const PassLock&) = delete;
    PassLock& operator=(const PassLock&) = delete;

private:
    ScopedHandle mutex_;
    bool owned_ = false;
};
