// Starting the application with the test-built AutoTorvane.exe: the log lines, the command line
// and working directory, and when the launcher is closed.
#include "app/launch.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app_state.h"
#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "base/worker_messages.h"
#include "tests/support/gui.h"
#include "tests/support/temp_dir.h"

namespace {

std::wstring TestProgramDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory = path;
    return directory.substr(0, directory.find_last_of(L'\\'));
}

std::vector<std::wstring> Lines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// A stand-in main window and log box, the fake application in AppDirectory, and the test's own
// working directory somewhere else.
class LaunchTest : public testing::Test {
protected:
    TempDir elsewhere;
    std::wstring previousDir;
    HWND mainWindow = nullptr;
    HWND logBox = nullptr;
    ULONGLONG elapsed = 0;
    bool fakeInstalled = false;

    void SetUp() override {
        wchar_t current[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, current);
        previousDir = current;
        ASSERT_TRUE(SetCurrentDirectoryW(elsewhere.path().c_str()));
        mainWindow = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 100, 100, nullptr,
                                     nullptr, GetModuleHandleW(nullptr), nullptr);
        // Styled as the real log box: without ES_AUTOVSCROLL an edit refuses lines past its height.
        logBox = CreateWindowExW(
            0, L"EDIT", L"", WS_CHILD | ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_READONLY,
            0, 0, 90, 90, mainWindow, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(logBox, nullptr);
        SetMainWindow(mainWindow);
        SetLogBox(logBox);
        ClearDirectory(AppDirectory());
    }

    void TearDown() override {
        // Nothing the test started may outlive it (a live one would also hold the test runner's
        // output open). The launch can return before the fake has written its record.
        const ULONGLONG start = GetTickCount64();
        while (fakeInstalled && !RecordedPid() && GetTickCount64() - start < 10000) Sleep(20);
        const DWORD pid = RecordedPid();
        if (pid) {
            ScopedHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
            if (process) {
                TerminateProcess(process.get(), 1);
                WaitForSingleObject(process.get(), 5000);
            }
        }
        for (const wchar_t* name : {L"HOPWELL_FAKE_MODE", L"HOPWELL_FAKE_PID_DELAY_MS",
                                    L"HOPWELL_FAKE_LIFETIME_MS"}) {
            SetEnvironmentVariableW(name, nullptr);
        }
        SetLogBox(nullptr);
        SetMainWindow(nullptr);
        DestroyWindow(mainWindow);
        PumpPending();
        ClearDirectory(AppDirectory());
        SetCurrentDirectoryW(previousDir.c_str());
    }

    void InstallFake(const wchar_t* mode) {
        ASSERT_TRUE(CopyFileW((TestProgramDirectory() + L"\\AutoTorvane.exe").c_str(),
                              AppPath(L"AutoTorvane.exe").c_str(), FALSE));
        SetEnvironmentVariableW(L"HOPWELL_FAKE_MODE", mode);
        SetEnvironmentVariableW(L"HOPWELL_FAKE_LIFETIME_MS", L"30000");
        fakeInstalled = true;
    }

    // Runs the launch as the Start button does; true when it asked the window to close.
    bool Launch() {
        const ULONGLONG start = GetTickCount64();
        LaunchApplication();
        elapsed = GetTickCount64() - start;
        MSG msg;
        return PeekMessageW(&msg, mainWindow, WM_CLOSE, WM_CLOSE, PM_REMOVE) != FALSE;
    }

    std::wstring Log() const { return TextOf(logBox); }

    // What the fake wrote: command line, working directory, process id.
    std::vector<std::wstring> Record() const {
        return Lines(Utf8ToWide(ReadBytes(AppPath(L"autotorvane-run.txt"))));
    }
    DWORD RecordedPid() const {
        const std::vector<std::wstring> record = Record();
        return record.size() == 3 ? std::wcstoul(record[2].c_str(), nullptr, 10) : 0;
    }
};

TEST_F(LaunchTest, MissingProgramIsNamedAndTheWindowStays) {
    EXPECT_FALSE(Launch());
    EXPECT_EQ(Log(), L"Không tìm thấy AutoTorvane.exe\r\n");
}

TEST_F(LaunchTest, ProgramThatCannotStartIsReported) {
    // A directory by that name exists, but nothing can be run from it.
    ASSERT_TRUE(CreateDirectoryW(AppPath(L"AutoTorvane.exe").c_str(), nullptr));
    EXPECT_FALSE(Launch());
    EXPECT_EQ(Log(), L"Không thể khởi chạy AutoTorvane\r\n");
    RemoveDirectoryW(AppPath(L"AutoTorvane.exe").c_str());
}

TEST_F(LaunchTest, StartsInTheApplicationDirectoryWithTheSwitch) {
    InstallFake(L"exit");
    Launch();
    const std::vector<std::wstring> record = Record();
    ASSERT_EQ(record.size(), 3u);
    EXPECT_EQ(record[0], L"\"" + AppDirectory() + L"\\AutoTorvane.exe\" --run-auto-torvane");
    EXPECT_EQ(record[1], AppDirectory());
}

TEST_F(LaunchTest, ProgramThatExitsAtOnceLeavesTheWindowOpen) {
    InstallFake(L"exit");
    EXPECT_FALSE(Launch());
    EXPECT_EQ(Log(), L"Đã khởi chạy AutoTorvane\r\n");
    const DWORD first = RecordedPid();
    // Start can be pressed again, and starts the program again.
    EXPECT_FALSE(Launch());
    EXPECT_EQ(Log(), L"Đã khởi chạy AutoTorvane\r\nĐã khởi chạy AutoTorvane\r\n");
    EXPECT_NE(RecordedPid(), first);
    EXPECT_FALSE(FileExists(AppPath(L"app.pid")));
}

TEST_F(LaunchTest, ProgramThatWritesItsPidClosesTheLauncher) {
    InstallFake(L"pid");
    EXPECT_TRUE(Launch());
    EXPECT_EQ(Log(), L"Đã khởi chạy AutoTorvane\r\n");
    EXPECT_LT(elapsed, 4000u) << "the wait should end when app.pid appears, not at the limit";
    EXPECT_EQ(ReadBytes(AppPath(L"app.pid")), std::to_string(RecordedPid()));
}

TEST_F(LaunchTest, PidWrittenAfterASecondIsWaitedFor) {
    InstallFake(L"pid");
    SetEnvironmentVariableW(L"HOPWELL_FAKE_PID_DELAY_MS", L"1000");
    EXPECT_TRUE(Launch());
    EXPECT_GE(elapsed, 1000u);
    EXPECT_LT(elapsed, 4500u);
}

TEST_F(LaunchTest, ProgramThatNeverWritesItsPidClosesTheLauncherAfterTheLimit) {
    // Text without digits in app.pid counts as not written yet.
    ASSERT_TRUE(WriteBytes(AppPath(L"app.pid"), "abc\r\n"));
    InstallFake(L"nopid");
    EXPECT_TRUE(Launch());
    EXPECT_GT(elapsed, 5000u);
    EXPECT_LT(elapsed, 20000u);
    EXPECT_EQ(Log(), L"Đã khởi chạy AutoTorvane\r\n");
}

TEST_F(LaunchTest, LeftoverPidOfARunningProcessEndsTheWaitAtOnce) {
    // Any running process counts, here the test itself; the id ends at the line break.
    ASSERT_TRUE(WriteBytes(AppPath(L"app.pid"), std::to_string(GetCurrentProcessId()) + "\r\n"));
    InstallFake(L"nopid");
    EXPECT_TRUE(Launch());
    EXPECT_LT(elapsed, 4000u);
}

}  // namespace
