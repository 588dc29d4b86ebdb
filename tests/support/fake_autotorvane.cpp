// A stand-in for the main application, built as AutoTorvane.exe for the tests.
//
// On start it records, in UTF-8, one item per line (CR LF):
//   1. its command line exactly as GetCommandLineW gives it,
//   2. its working directory (GetCurrentDirectoryW),
//   3. its process id in decimal.
// The record goes to HOPWELL_FAKE_RECORD if that is set, else to "autotorvane-run.txt" beside the
// executable. A later start replaces the record.
//
// Then it behaves as HOPWELL_FAKE_MODE says:
//   "exit"   (the default) exits at once with code 3, writing no app.pid;
//   "pid"    writes its id to app.pid in its working directory and stays up;
//   "nopid"  stays up without ever writing app.pid;
//   "pid-exit" writes app.pid and exits at once with code 0;
//   any other value acts as "nopid".
// HOPWELL_FAKE_PID_DELAY_MS (default 0) waits that long before writing app.pid.
// HOPWELL_FAKE_LIFETIME_MS (default and limit 60000) bounds how long it stays up, so nothing
// outlives a test run by more than a minute; a test that is done with it terminates it by the id
// in the record.
//
// It is a GUI-subsystem program like the real application: started from the GUI launcher, a
// console program would get a console of its own, which under Wine is a separate conhost process
// that nobody asked for.
#include <windows.h>

#include <algorithm>
#include <string>

#include "base/scoped_handle.h"
#include "base/text.h"

namespace {
constexpr unsigned long kMaxLifetimeMs = 60000;

std::wstring Env(const wchar_t* name) {
    wchar_t value[1024] = {};
    DWORD length = GetEnvironmentVariableW(name, value, 1024);
    if (length == 0 || length >= 1024) return std::wstring();
    return std::wstring(value, length);
}

unsigned long EnvNumber(const wchar_t* name, unsigned long fallback) {
    const std::wstring text = Env(name);
    return text.empty() ? fallback : std::wcstoul(text.c_str(), nullptr, 10);
}

bool WriteWhole(const std::wstring& path, const std::string& bytes) {
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

std::wstring OwnDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory = path;
    return directory.substr(0, directory.find_last_of(L'\\'));
}

std::wstring WorkingDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, path);
    return path;
}
}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    std::wstring recordPath = Env(L"HOPWELL_FAKE_RECORD");
    if (recordPath.empty()) recordPath = OwnDirectory() + L"\\autotorvane-run.txt";
    WriteWhole(recordPath, WideToUtf8(std::wstring(GetCommandLineW()) + L"\r\n" +
                                      WorkingDirectory() + L"\r\n" + pid + L"\r\n"));

    const std::wstring mode = Env(L"HOPWELL_FAKE_MODE");
    if (mode.empty() || mode == L"exit") return 3;

    if (mode == L"pid" || mode == L"pid-exit") {
        Sleep(std::min(EnvNumber(L"HOPWELL_FAKE_PID_DELAY_MS", 0), kMaxLifetimeMs));
        WriteWhole(L"app.pid", WideToUtf8(pid));
        if (mode == L"pid-exit") return 0;
    }
    Sleep(std::min(EnvNumber(L"HOPWELL_FAKE_LIFETIME_MS", kMaxLifetimeMs), kMaxLifetimeMs));
    return 0;
}
