#pragma once
// Paths of the build host as Wine sees them: the host's root is drive Z:.
#include <string>

#include "base/text.h"

inline std::wstring HostPath(const std::string& unixPath) {
    std::wstring path = L"Z:" + Utf8ToWide(unixPath);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path;
}
