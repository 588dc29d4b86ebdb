#pragma once
// A version's file list (VERSION.files): UTF-8 text, one line per file, sorted by path,
//   SHA256 SIZE SOURCE FLAGS PATH
// SHA256 in 64 lower-case hex digits, SIZE in bytes, SOURCE the version whose archive holds
// these bytes, FLAGS "-" or "u" (a user file: installed when missing, never checked, replaced
// or deleted afterwards), PATH '/'-separated to the end of the line, LF after every line.
#include <cstdint>
#include <string>
#include <vector>

struct ListedFile {
    std::string sha256;  // 64 lower-case hex digits
    uint64_t size = 0;
    std::wstring source;
    bool user = false;
    std::wstring path;  // '\'-separated, as unpacked
};
using FileList = std::vector<ListedFile>;

// False, with the first bad line and why in error (English), for anything but a list as
// written by FileListText: every path passes IsSafeEntryName, no path is listed twice (in any
// case), and the lines are in order.
bool ParseFileList(const std::string& text, FileList& list, std::string& error);

// The text of list, its lines sorted by path.
std::string FileListText(FileList list);

// The path as stored in a list or an archive: '/'-separated UTF-8.
std::string StoredPath(const std::wstring& path);

// Upper-cased, for comparing paths as Windows does.
std::wstring UpperPath(std::wstring path);
