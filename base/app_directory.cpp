#include "base/app_directory.h"

#include <windows.h>

namespace {
// Never destroyed: when the window closes mid-update, the runtime's exit-time destructors run
// while the updater thread may still be building paths from it.
std::wstring& appDirectory = *new std::wstring;
bool appDirectorySet = false;
}

const std::wstring& AppDirectory() { return appDirectory; }

bool SetAppDirectory(const std::wstring& directory) {
    if (appDirectorySet) return false;
    appDirectory = directory;
    appDirectorySet = true;
    return true;
}

std::wstring AppPath(const std::wstring& name) {
    return ExtendedPath(appDirectory + L"\\" + name);
}

std::wstring ExtendedPath(const std::wstring& path, bool always) {
    const bool drive = path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
    // Not "\\?\" (already extended) nor "\\.\" (a device).
    const bool unc = path.size() >= 3 && path.compare(0, 2, L"\\\\") == 0 && path[2] != L'?' &&
                     path[2] != L'.';
    if ((path.size() < kExtendedPathFrom && !always) || (!drive && !unc)) return path;
    // The extended form is taken literally: normalized first, as Windows would have done.
    std::wstring full(32768, L'\0');
    const DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (length == 0 || length >= full.size()) return path;
    full.resize(length);
    return unc ? L"\\\\?\\UNC" + full.substr(1) : L"\\\\?\\" + full;
}
