// Start-up, with a scripted updater thread in place of the real one.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "app/app_state.h"
#include "app/startup.h"
#include "update/updater_thread.h"

// Linked ahead of the library's: records the window it was given.
namespace {
std::atomic<HWND> updaterWindow{nullptr};
}  // namespace

DWORD WINAPI UpdaterThread(LPVOID parameter) {
    updaterWindow = static_cast<HWND>(parameter);
    return 0;
}

namespace {

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

TEST(Startup, TheWindowHasItsIconsAndStartsTheUpdater) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    ASSERT_TRUE(RegisterMainWindowClass(instance));
    HWND window = CreateMainWindow(instance);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(MainWindow(), window);
    EXPECT_EQ(IconWidth(window, ICON_BIG), 64);
    EXPECT_EQ(IconWidth(window, ICON_SMALL), 32);
    for (ULONGLONG start = GetTickCount64(); !updaterWindow && GetTickCount64() - start < 5000;)
        Sleep(10);
    EXPECT_EQ(updaterWindow.load(), window);
    DestroyWindow(window);
    UnregisterClassW(kMainWindowClass, instance);
}

// Refuses the launcher's window, as a failing CreateWindowExW would.
LRESULT CALLBACK RefuseMainWindow(int code, WPARAM wParam, LPARAM lParam) {
    wchar_t name[64] = {};
    if (code == HCBT_CREATEWND && GetClassNameW(reinterpret_cast<HWND>(wParam), name, 64) &&
        lstrcmpW(name, kMainWindowClass) == 0)
        return 1;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Without a window nothing could ever end the message loop: start-up returns at once.
TEST(Startup, EndsWithoutALoopWhenThereIsNoWindow) {
    updaterWindow = nullptr;
    WNDCLASSEXW foreign{};
    foreign.cbSize = sizeof foreign;
    foreign.lpfnWndProc = DefWindowProcW;
    foreign.hInstance = GetModuleHandleW(nullptr);
    foreign.lpszClassName = kMainWindowClass;
    ASSERT_NE(RegisterClassExW(&foreign), 0);
    EXPECT_EQ(RunLauncher(foreign.hInstance, SW_SHOWNORMAL), kStartupClassFailed);
    UnregisterClassW(kMainWindowClass, foreign.hInstance);
    HHOOK hook = SetWindowsHookExW(WH_CBT, RefuseMainWindow, nullptr, GetCurrentThreadId());
    EXPECT_EQ(RunLauncher(foreign.hInstance, SW_SHOWNORMAL), kStartupWindowFailed);
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(updaterWindow.load(), nullptr);
    EXPECT_EQ(MainWindow(), nullptr);
}

}  // namespace
