#pragma once
// What the test programs share: files, and worker messages captured by the stand-in window of
// the tools (tools/worker_sink).
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "base/worker_messages.h"

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
bool WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
// A path of the build host as Wine sees it (drive Z:).
std::wstring HostPath(const std::string& unixPath);

// The test server (tests/support/http_server.py), started by a ctest fixture that names its
// directory in HOPWELL_TEST_SERVER: serves bytes under a name and returns its URL, to which a
// query string may be added (see the server).
std::wstring Serve(const std::string& name, const std::string& bytes);
std::wstring ServerUrl(const std::string& pathAndQuery);
std::string ServerDirectory();

// Runs work on another thread while a stand-in window on this one takes every worker message
// and every line appended directly; returns them in order as the tools print them (log lines
// as they are, "progress N", "status TEXT", "enable-start").
std::vector<std::wstring> LoggedBy(const std::function<void(HWND window)>& work);
