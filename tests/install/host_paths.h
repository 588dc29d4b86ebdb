#pragma once
// The test archives, as Wine sees their path.
#include <string>

#include "tests/support/host_path.h"

inline std::wstring TestArchive(const std::wstring& name) {
    return HostPath(HOPWELL_TEST_ARCHIVES) + L"\\" + name;
}
