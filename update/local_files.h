#pragma once
#include <windows.h>

#include <string>

// Replaces content with the whole file (shared for reading and writing with other processes).
// False only when the file cannot be opened; content is then left as it was.
bool ReadFileToString(const std::wstring& path, std::string& content);

// Creates or truncates the file and writes bytes to it, sharing it for reading and writing (so
// it can be written while another process holds it open). True when every byte was written.
bool WriteStringToFile(const std::wstring& path, const std::string& bytes);

// The text after the first "version=" up to the line end, from UTF-8; "0.0.0" when the file
// cannot be read or has no key; empty when the key has no value.
std::wstring ReadInstalledVersion(const std::wstring& path);

// Writes exactly "version=" + version + CR LF (UTF-8). The file is replaced atomically, so a
// crash mid-write never leaves it empty, or written in place while another process holds it.
// False when it could not be written.
bool WriteInstalledVersion(const std::wstring& path, const std::wstring& version);

// The process id that app.pid names, read like atoi; 0 when the file is missing or names none.
DWORD ReadPidFile(const std::wstring& path);
