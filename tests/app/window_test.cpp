// Start-up and the main window, with a scripted updater thread in place of the real one.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/app_state.h"
#include "app/main_window.h"
#include "app/site.h"
#include "app/startup.h"
#include "tests/support/support.h"
#include "update/updater_thread.h"

// Linked ahead of the library's: records the window it was given and posts one line.
namespace {
std::atomic<int> updaterCalls{0};
std::atomic<HWND> updaterWindow{nullptr};
}  // namespace

DWORD WINAPI UpdaterThread(LPVOID parameter) {
    updaterWindow = static_cast<HWND>(parameter);
    PostLogLine(updaterWindow, L"Dòng một");
    ++updaterCalls;
    return 0;
}

namespace {

std::wstring TextOf(HWND window) {
    wchar_t text[512] = {};
    SendMessageW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
    return text;
}

bool WaitFor(const std::function<bool()>& done) {
    for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < 10000; Sleep(20))
        if (done()) return true;
    return false;
}

int IconWidth(HWND window, WPARAM which) {
    ICONINFO info{};
    BITMAP bitmap{};
    if (!GetIconInfo(reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, which, 0)), &info)) return 0;
    GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return bitmap.bmWidth;
}

// Runs RunLauncher on this thread; observe() runs on another once the window shows, and is
// expected to close it. A loop left running is ended after a while.
int RunWith(const std::function<void(HWND)>& observe) {
    updaterCalls = 0;
    SetMainWindow(nullptr);
    const DWORD uiThread = GetCurrentThreadId();
    std::atomic<bool> finished{false};
    std::thread helper([&] {
        HWND found = nullptr;
        WaitFor([&] {
            return finished || ((found = FindWindowW(kMainWindowClass, nullptr)) && IsWindowVisible(found));
        });
        if (found && IsWindowVisible(found)) observe(found);
        if (!WaitFor([&] { return finished.load(); })) PostThreadMessageW(uiThread, WM_QUIT, 7, 0);
    });
    const int code = RunLauncher(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
    finished = true;
    helper.join();
    UnregisterClassW(kMainWindowClass, GetModuleHandleW(nullptr));
    return code;
}

TEST(Startup, RunsTheWindowUntilItIsClosed) {
    HWND seen = nullptr;
    std::vector<std::wstring> texts;
    std::wstring log;
    int bigIcon = 0, smallIcon = 0;
    EXPECT_EQ(RunWith([&](HWND window) {
                  seen = window;
                  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
                      if (GetDlgCtrlID(child) != IDC_LOG) texts.push_back(TextOf(child));
                  texts.push_back(TextOf(window));
                  bigIcon = IconWidth(window, ICON_BIG);
                  smallIcon = IconWidth(window, ICON_SMALL);
                  // A line goes in where the caret stands, after a click into the log.
                  HWND logBox = GetDlgItem(window, IDC_LOG);
                  WaitFor([&] { return TextOf(logBox) == L"Dòng một\r\n"; });
                  SendMessageW(logBox, EM_SETSEL, 3, 3);
                  PostLogLine(window, L"chen");
                  WaitFor([&] { return TextOf(logBox) == L"Dònchen\r\ng một\r\n"; });
                  // Start acts whatever its notification; here nothing is there to start.
                  SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_START, BN_DOUBLECLICKED), 0);
                  log = TextOf(logBox);
                  PostMessageW(window, WM_CLOSE, 0, 0);
              }),
              0);
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(MainWindow(), seen);
    EXPECT_EQ(updaterWindow.load(), seen);
    EXPECT_FALSE(IsWindow(seen));
    EXPECT_EQ(texts, (std::vector<std::wstring>{L"", L"Ready", L"🚀 Start Auto", L"🔄 Zalo Hỗ trợ", L"🏠 Telegram",
                                                std::wstring(L"🚀 Auto Update ") + kSiteName}));
    EXPECT_EQ(log, L"Dònchen\r\nKhông tìm thấy AutoTorvane.exe\r\ng một\r\n");
    EXPECT_EQ(bigIcon, 64);
    EXPECT_EQ(smallIcon, 32);
}

// Refuses the launcher's window, as a failing CreateWindowExW would.
LRESULT CALLBACK RefuseMainWindow(int code, WPARAM wParam, LPARAM lParam) {
    wchar_t name[64] = {};
    if (code == HCBT_CREATEWND && GetClassNameW(reinterpret_cast<HWND>(wParam), name, 64) &&
        lstrcmpW(name, kMainWindowClass) == 0)
        return 1;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

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
