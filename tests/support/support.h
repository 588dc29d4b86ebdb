#pragma once
// What the test programs share: files, the test server, and worker messages captured by the
// stand-in window of the tools (tools/worker_sink).
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
// directory in HOPWELL_TEST_SERVER. A file written to ServerFile(name) is served at
// ServerUrl("/" + name); a query string makes the answer misbehave (see the server).
std::wstring ServerUrl(const std::string& pathAndQuery);
std::wstring ServerFile(const std::string& name);
// Requests for a path, query left out: method, path, Range, Accept-Encoding, User-Agent.
std::vector<std::vector<std::string>> ServerRequests(const std::string& path);

// Runs work on another thread while a stand-in window on this one (work's argument) takes every
// worker message and direct log line (message EM_REPLACESEL), in the order it receives them.
std::vector<WorkerMessage> Captured(const std::function<void(HWND window)>& work);
// The texts of the captured messages of one kind.
std::vector<std::wstring> TextsOf(const std::vector<WorkerMessage>& messages, UINT kind);

// Dispatches this thread's messages until done() holds or the time is up; returns done().
bool PumpUntil(const std::function<bool()>& done, unsigned timeoutMs = 5000);
