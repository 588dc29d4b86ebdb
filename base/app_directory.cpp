#include "base/app_directory.h"

namespace {
std::wstring appDirectory;
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
