#pragma once
// What the test programs share: files, the test server, captured worker messages.
#include <windows.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/scoped_handle.h"
#include "base/worker_messages.h"
#include "update/local_files.h"

// A fresh directory under %TEMP%, removed with its contents at the end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::wstring& path() const { return path_; }
    std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};
void ClearDirectory(const std::wstring& path);
std::string ReadBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
// A ZIP archive of the entries (stored name, bytes), stored uncompressed: for names known only
// at run time.
std::string StoredArchive(const std::vector<std::pair<std::string, std::string>>& entries);
// A path of the build host as Wine sees it (drive Z:).
std::wstring HostPath(const std::string& unixPath);

// Stands in for the free space of a disk: fakeFreeSpace bytes.
extern uint64_t fakeFreeSpace;
bool FakeFreeSpace(const std::wstring& path, uint64_t& available);

// The test server (tests/support/http_server.py) that a ctest fixture starts in the directory
// HOPWELL_TEST_SERVER names: Serve returns the URL of the bytes, a query string may follow.
std::wstring Serve(const std::string& name, const std::string& bytes);
std::wstring ServerUrl(const std::string& pathAndQuery);
std::string ServerDirectory();
// The Range lines ("" for none) of the server's GETs of a path, in the order they came; the
// bytes that those after the first skip asked for of a file of whole bytes.
std::vector<std::string> Gets(const std::string& path);
uint64_t BytesAsked(const std::string& path, uint64_t whole, size_t skip);

// Starts tool, built beside the stand-in application whose path is app, with arguments, its
// standard output to output (null: nowhere). Its process, null if it did not start.
HANDLE StartTool(std::string app, const char* tool, const std::wstring& arguments,
                 HANDLE output = nullptr);

// Runs work on another thread while a stand-in window on this one takes every worker message and
// line appended directly; returns them as the tools print them ("progress N", "enable-start"...).
std::vector<std::wstring> LoggedBy(const std::function<void(HWND window)>& work);

// Another program's handle on a file, as a scanner or sync client holds one: opened for reading
// with share (0: not held at all), closed at the end of the scope or, from a thread of its own,
// after releaseMs (0: never before).
class HeldFile {
public:
    HeldFile(const std::wstring& path, DWORD share, DWORD releaseMs = 0);
    ~HeldFile();
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

private:
    ScopedFile file_;
    std::thread releaser_;
};
