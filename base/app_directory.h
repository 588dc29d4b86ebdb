#pragma once
#include <string>

// The launcher's own directory, without a trailing backslash (except at a drive root).
// Every local path is AppDirectory() + L"\\" + name.
const std::wstring& AppDirectory();

// Set once, by whatever entry point starts first, before any other thread exists.
// A second call changes nothing and returns false.
bool SetAppDirectory(const std::wstring& directory);

// Joins AppDirectory() and a file name with one backslash.
std::wstring AppPath(const std::wstring& name);
