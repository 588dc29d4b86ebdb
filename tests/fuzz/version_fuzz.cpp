// libFuzzer target: version parsing and comparison never misbehave and order consistently.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/version.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Two strings of UTF-16 code units, split at the first zero unit.
    std::wstring a, b;
    std::wstring* current = &a;
    for (size_t i = 0; i + 1 < size; i += 2) {
        wchar_t unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0 && current == &a) {
            current = &b;
            continue;
        }
        current->push_back(unit);
    }
    std::vector<int> parts = ParseVersion(a);
    if (parts.size() < 3) std::abort();
    for (int p : parts)
        if (p < 0) std::abort();
    int ab = CompareVersions(a, b);
    if (ab < -1 || ab > 1 || ab != -CompareVersions(b, a)) std::abort();
    if (CompareVersions(a, a) != 0) std::abort();
    return 0;
}
