#pragma once
// What the test programs share: files, the test server, captured worker messages.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

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

// The test server (tests/support/http_server.py) that a ctest fixture starts in the directory
// HOPWELL_TEST_SERVER names: Serve returns the URL of the bytes, a query string may follow.
std::wstring Serve(const std::string& name, const std::string& bytes);
std::wstring ServerUrl(const std::string& pathAndQuery);
std::string ServerDirectory();

// Runs work on another thread while a stand-in window on this one takes every worker message and
// line appended directly; returns them as the tools print them ("progress N", "enable-start"...).
std::vector<std::wstring> LoggedBy(const std::function<void(HWND window)>& work);
