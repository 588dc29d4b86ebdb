#pragma once
#include <string>
#include <vector>

// Components of a dotted version, at least three. Only ASCII digits count; every other
// character except '.' is skipped without ending a component. A component too large for a
// signed 32-bit integer saturates at INT_MAX.
std::vector<int> ParseVersion(const std::wstring& text);

// -1 when a is older than b, 1 when newer, 0 when the first three components are equal.
int CompareVersions(const std::wstring& a, const std::wstring& b);
