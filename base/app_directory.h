#pragma once
#include <cstddef>
#include <string>

// The launcher's own directory, without a trailing backslash (except at a drive root).
// Every local path is AppDirectory() + L"\\" + name.
const std::wstring& AppDirectory();

// Set once, by whatever entry point starts first, before any other thread exists.
// A second call changes nothing and returns false.
bool SetAppDirectory(const std::wstring& directory);

// Joins AppDirectory() and a file name with one backslash, in the extended form (ExtendedPath)
// when it is long.
std::wstring AppPath(const std::wstring& name);

// Paths from this length on are given the extended form ("\\?\" or "\\?\UNC\", normalized):
// below MAX_PATH by what is added to a path after it is built (".hopwell-new" and a number,
// ".resume.new"), so that these work too where the system's long paths are off.
constexpr size_t kExtendedPathFrom = 220;

// path itself when shorter than kExtendedPathFrom (unless always), already extended or not
// absolute; else its extended form.
std::wstring ExtendedPath(const std::wstring& path, bool always = false);
