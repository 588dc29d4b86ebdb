// A scripted UpdaterThread for the window launcher of the tests (hopwell-window.exe): it shows
// the window's life without a server. Linked ahead of the core library, it replaces the real one.
//
// The pass sends or posts, in order: the log line "AppDirectory: " + AppDirectory(), the status text
// "Fake pass", progress 40; then, if HOPWELL_FAKE_GATE names a file, waits (at most 60 s) until that
// file exists; then progress 100, the log line "Fake pass done" and WM_APP_ENABLE_START.
#include <windows.h>

#include <string>

#include "base/app_directory.h"
#include "base/worker_messages.h"
#include "update/updater_thread.h"

DWORD WINAPI UpdaterThread(LPVOID parameter) {
    HWND window = static_cast<HWND>(parameter);
    PostLogLine(window, L"AppDirectory: " + AppDirectory());
    PostStatusText(window, L"Fake pass");
    PostProgress(window, 40);

    wchar_t gate[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"HOPWELL_FAKE_GATE", gate, MAX_PATH) > 0) {
        const ULONGLONG start = GetTickCount64();
        while (GetFileAttributesW(gate) == INVALID_FILE_ATTRIBUTES &&
               GetTickCount64() - start < 60000) {
            Sleep(50);
        }
    }
    PostProgress(window, 100);
    PostLogLine(window, L"Fake pass done");
    PostEnableStart(window);
    return 0;
}
