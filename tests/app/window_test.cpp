// Start-up as a whole, with a scripted updater thread in place of the real one.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "app/app_state.h"
#include "app/startup.h"
#include "base/worker_messages.h"
#include "update/updater_thread.h"

// Linked ahead of the library's: records the window it was given.
namespace {
std::atomic<int> updaterCalls{0};
std::atomic<HWND> updaterWindow{nullptr};
}  // namespace

DWORD WINAPI UpdaterThread(LPVOID parameter) {
    updaterWindow = static_cast<HWND>(parameter);
    ++updaterCalls;
    return 0;
}

namespace {

bool WaitFor(const std::function<bool()>& done) {
    for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < 10000; Sleep(20))
        if (done()) return true;
    return false;
}

// RunLauncher on this thread; observe(window) runs on another once the window shows, and closes
// it. A message loop left running is ended after a while.
int RunWith(const std::function<void(HWND)>& observe) {
    updaterCalls = 0;
    SetMainWindow(nullptr);
    const DWORD uiThread = GetCurrentThreadId();
    std::atomic<bool> finished{false};
    std::thread helper([&] {
        HWND found = nullptr;
        WaitFor([&] {
            return finished ||
                   ((found = FindWindowW(kMainWindowClass, nullptr)) && IsWindowVisible(found));
        });
        if (found && !finished) observe(found);
        if (!WaitFor([&] { return finished.load(); })) PostThreadMessageW(uiThread, WM_QUIT, 7, 0);
    });
    const int code = RunLauncher(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
    finished = true;
    helper.join();
    UnregisterClassW(kMainWindowClass, GetModuleHandleW(nullptr));
    return code;
}

int IconWidth(HWND window, WPARAM which) {
    ICONINFO info{};
    BITMAP bitmap{};
    if (!GetIconInfo(reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, which, 0)), &info))
        return 0;
    GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return bitmap.bmWidth;
}

TEST(Startup, RunsTheWindowUntilItIsClosed) {
    HWND seen = nullptr;
    int big = 0, small = 0;
    EXPECT_EQ(RunWith([&](HWND window) {
                  seen = window;
                  big = IconWidth(window, ICON_BIG);
                  small = IconWidth(window, ICON_SMALL);
                  PostMessageW(window, WM_CLOSE, 0, 0);
              }),
              0);
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(MainWindow(), seen);
    EXPECT_EQ(updaterWindow.load(), seen);
    EXPECT_FALSE(IsWindow(seen));
    EXPECT_EQ(big, 64);
    EXPECT_EQ(small, 32);
}

// Refuses the launcher's window, as a failing CreateWindowExW would.
LRESULT CALLBACK RefuseMainWindow(int code, WPARAM wParam, LPARAM lParam) {
    wchar_t name[64] = {};
    if (code == HCBT_CREATEWND && GetClassNameW(reinterpret_cast<HWND>(wParam), name, 64) &&
        lstrcmpW(name, kMainWindowClass) == 0)
        return 1;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Without a window nothing could ever end the message loop.
TEST(Startup, EndsWithoutALoopWhenThereIsNoWindow) {
    WNDCLASSEXW foreign{};
    foreign.cbSize = sizeof foreign;
    foreign.lpfnWndProc = DefWindowProcW;
    foreign.hInstance = GetModuleHandleW(nullptr);
    foreign.lpszClassName = kMainWindowClass;
    ASSERT_NE(RegisterClassExW(&foreign), 0);
    bool seen = false;
    EXPECT_EQ(RunWith([&](HWND) { seen = true; }), kStartupClassFailed);
    HHOOK hook = SetWindowsHookExW(WH_CBT, RefuseMainWindow, nullptr, GetCurrentThreadId());
    EXPECT_EQ(RunWith([&](HWND) { seen = true; }), kStartupWindowFailed);
    UnhookWindowsHookEx(hook);
    EXPECT_FALSE(seen);
    EXPECT_EQ(updaterCalls.load(), 0);
    EXPECT_EQ(MainWindow(), nullptr);
}

}  // namespace
