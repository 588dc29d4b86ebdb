#include "base/app_directory.h"

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

std::wstring AppPath(const std::wstring& name) { return appDirectory + L"\\" + name; }
