// A stand-in for the main application, built as AutoTorvane.exe for the tests. It records, in
// UTF-8 and one a line (CR LF), its command line, working directory and process id to the file
// HOPWELL_FAKE_RECORD names, if any. Then, as HOPWELL_FAKE_MODE says: "exit" (the default) exits
// with code 3; "pid" writes its id to app.pid in its working directory after
// HOPWELL_FAKE_PID_DELAY_MS (default 0) and stays up; anything else stays up without it; never
// more than a minute. A GUI program like the real one: a console program started from the
// launcher would get a console of its own, under Wine a conhost process nobody asked for.
#include <windows.h>

#include <string>

#include "base/text.h"

namespace {
std::wstring Env(const wchar_t* name) {
    wchar_t value[1024] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length < 1024 ? std::wstring(value, length) : std::wstring();
}

void WriteWhole(const std::wstring& path, const std::wstring& text) {
    const std::string bytes = WideToUtf8(text);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}
}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    const std::wstring pid = std::to_wstring(GetCurrentProcessId()),
                       mode = Env(L"HOPWELL_FAKE_MODE");
    if (!Env(L"HOPWELL_FAKE_RECORD").empty())
        WriteWhole(Env(L"HOPWELL_FAKE_RECORD"),
                   std::wstring(GetCommandLineW()) + L"\r\n" + cwd + L"\r\n" + pid + L"\r\n");
    if (mode.empty() || mode == L"exit") return 3;
    if (mode == L"pid") {
        Sleep(std::wcstoul(Env(L"HOPWELL_FAKE_PID_DELAY_MS").c_str(), nullptr, 10));
        WriteWhole(L"app.pid", pid);
    }
    Sleep(60000);
    return 0;
}
