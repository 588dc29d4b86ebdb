#include "app/launch.h"

#include <windows.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include "app/app_state.h"
#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "base/worker_messages.h"
#include "update/local_files.h"

namespace {
constexpr DWORD kPollIntervalMs = 100;
constexpr ULONGLONG kWaitLimitMs = 5000;

// True when the process is known to be running; any failure to ask means "not known".
bool IsRunning(HANDLE process) {
    DWORD code = 0;
    return GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
}

// Whether app.pid names a running process, whoever it is. A missing file, 0 or no digits
// only mean that the application is not up yet.
bool PidFileNamesRunningProcess(const std::wstring& pidPath) {
    const DWORD pid = ReadPidFile(pidPath);
    if (pid == 0) return false;
    ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    return process && IsRunning(process.get());
}
}  // namespace

void LaunchApplication() {
    const std::wstring programPath = AppPath(L"AutoTorvane.exe");
    if (!PathFileExistsW(programPath.c_str())) {
        AppendLogLine(L"Không tìm thấy " + std::wstring(L"AutoTorvane.exe"));
        return;
    }

    // CreateProcessW may write into the command line, so it gets a buffer of its own.
    const std::wstring commandText = L"\"" + programPath + L"\" --run-auto-torvane";
    std::vector<wchar_t> commandLine(commandText.begin(), commandText.end());
    commandLine.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(programPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, AppDirectory().c_str(), &startup, &started)) {
        AppendLogLine(L"Không thể khởi chạy AutoTorvane");
        return;
    }
    // Released in reverse order on every path: the thread handle, then the process handle.
    ScopedHandle process(started.hProcess);
    ScopedHandle thread(started.hThread);

    AppendLogLine(L"Đã khởi chạy AutoTorvane");
    const std::wstring pidPath = AppPath(L"app.pid");
    const ULONGLONG waitStart = GetTickCount64();
    for (;;) {
        if (PidFileNamesRunningProcess(pidPath)) break;
        // It ended before it came up: leave the window open so Start can be pressed again.
        if (!IsRunning(process.get())) return;
        if (GetTickCount64() - waitStart > kWaitLimitMs) break;
        Sleep(kPollIntervalMs);
    }
    thread.reset();
    process.reset();
    PostMessageW(MainWindow(), WM_CLOSE, 0, 0);
}
