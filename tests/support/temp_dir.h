#pragma once
#include <string>

// A fresh, empty directory under the system's temporary directory; removed with its
// contents when the object goes out of scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Removes a directory tree (files first); true when nothing is left.
bool RemoveTree(const std::wstring& path);
// Removes everything inside a directory but keeps the directory.
void ClearDirectory(const std::wstring& path);

// Whole-file helpers for tests.
bool WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
