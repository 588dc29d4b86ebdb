#include "update/version.h"

#include <climits>

std::vector<int> ParseVersion(const std::wstring& text) {
    std::vector<int> components;
    bool haveDigits = false;
    int value = 0;
    for (wchar_t c : text) {
        if (c == L'.') {
            components.push_back(value);
            value = 0;
            haveDigits = false;
        } else if (c >= L'0' && c <= L'9') {
            int digit = c - L'0';
            value = (value > (INT_MAX - digit) / 10) ? INT_MAX : value * 10 + digit;
            haveDigits = true;
        }
    }
    if (haveDigits) components.push_back(value);
    while (components.size() < 3) components.push_back(0);
    return components;
}

int CompareVersions(const std::wstring& a, const std::wstring& b) {
    std::vector<int> left = ParseVersion(a);
    std::vector<int> right = ParseVersion(b);
    for (size_t i = 0; i < 3; i++) {
        if (left[i] < right[i]) return -1;
        if (left[i] > right[i]) return 1;
    }
    return 0;
}
