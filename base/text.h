#pragma once
#include <string>

// UTF-8 bytes to UTF-16 (MultiByteToWideChar, CP_UTF8, no flags: bad bytes become U+FFFD).
std::wstring Utf8ToWide(const std::string& bytes);
std::wstring Utf8ToWide(const char* bytes, size_t length);

// UTF-16 to UTF-8 bytes.
std::string WideToUtf8(const std::wstring& text);
