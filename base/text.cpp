#include "base/text.h"

#include <windows.h>

#include <climits>

std::wstring Utf8ToWide(const char* bytes, size_t length) {
    if (length == 0 || length > INT_MAX) return std::wstring();
    int count = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(length), nullptr, 0);
    if (count <= 0) return std::wstring();
    std::wstring text(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(length), &text[0], count);
    return text;
}

std::wstring Utf8ToWide(const std::string& bytes) { return Utf8ToWide(bytes.data(), bytes.size()); }

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty() || text.size() > INT_MAX) return std::string();
    int length = static_cast<int>(text.size());
    int count = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (count <= 0) return std::string();
    std::string bytes(static_cast<size_t>(count), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &bytes[0], count, nullptr, nullptr);
    return bytes;
}
