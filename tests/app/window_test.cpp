// The main window's log, and AppDirectory at the end of the process.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

#include "app/main_window.h"
#include "app/startup.h"
#include "base/app_directory.h"
#include "base/worker_messages.h"
#include "update/updater_thread.h"

// Linked ahead of the library's: the window gets no pass of its own.
DWORD WINAPI UpdaterThread(LPVOID) { return 0; }

namespace {

void PumpWhile(DWORD inputs, const std::function<bool()>& more) {
    for (const ULONGLONG start = GetTickCount64(); more() && GetTickCount64() - start < 5000;) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, inputs);
        MSG msg;
        if (inputs != QS_SENDMESSAGE) {
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        } else {
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
    }
}

TEST(MainWindow, ShowsTheLinesInTheOrderWritten) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    ASSERT_TRUE(RegisterMainWindowClass(instance));
    HWND window = CreateMainWindow(instance);
    ASSERT_NE(window, nullptr);
    // Worker messages and lines appended directly, in turn. A window thread that waits on another
    // thread (as Wine's does on its desktop) handles sent messages only: a line still queued
    // there would be overtaken by those sent after it.
    std::thread worker([window] {
        for (int i = 0; i < 20; ++i) {
            PostLogLine(window, std::to_wstring(i));
            AppendLogLine(L"+");
        }
        PostEnableStart(window);
    });
    PumpWhile(QS_SENDMESSAGE,
              [start = GetTickCount64()] { return GetTickCount64() - start < 300; });
    PumpWhile(QS_ALLINPUT, [&] { return !IsWindowEnabled(GetDlgItem(window, IDC_START)); });
    worker.join();
    std::wstring expected, log(4096, L'\0');
    for (int i = 0; i < 20; ++i) expected += std::to_wstring(i) + L"\r\n+\r\n";
    log.resize(GetWindowTextW(GetDlgItem(window, IDC_LOG), &log[0], 4096));
    EXPECT_EQ(log, expected);
    DestroyWindow(window);
    UnregisterClassW(kMainWindowClass, instance);
}

// The window closed mid-update ends the process while the updater thread may still build paths
// from AppDirectory, so it must outlive every static object. This one is destroyed after all of
// ordinary priority, and fails the program when the directory no longer reads right.
[[noreturn]] void AppDirectoryWasDestroyed() {
    std::fputs("AppDirectory was destroyed before the process ended\n", stderr);
    std::_Exit(1);
}
struct AppDirectoryAtExit {
    std::wstring expected;
    ~AppDirectoryAtExit() {
        if (expected.empty()) return;
        // A read of freed memory faults: reported at once rather than left to a debugger.
        AddVectoredExceptionHandler(1, [](EXCEPTION_POINTERS* e) -> LONG {
            if (e->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION)
                AppDirectoryWasDestroyed();
            return EXCEPTION_CONTINUE_SEARCH;
        });
        if (AppDirectory() != expected) AppDirectoryWasDestroyed();
    }
} appDirectoryAtExit __attribute__((init_priority(101)));

TEST(Startup, AppDirectoryOutlivesTheStaticObjects) {
    // A buffer this large goes back to the system when freed: read after that, it faults
    // instead of still showing the old characters.
    const_cast<std::wstring&>(AppDirectory()).reserve(1 << 20);
    appDirectoryAtExit.expected = AppDirectory();  // checked at exit
}

}  // namespace
