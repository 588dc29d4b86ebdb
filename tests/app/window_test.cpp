// The main window with a scripted UpdaterThread: controls, layout, worker messages, commands,
// colours, and the start-up sequence around it.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/main_window.h"
#include "app/site.h"
#include "app/startup.h"
#include "base/app_directory.h"
#include "base/text.h"
#include "base/worker_messages.h"
#include "tests/support/gui.h"
#include "tests/support/host_path.h"
#include "tests/support/temp_dir.h"
#include "update/updater_thread.h"

// The test's own updater thread: the linker takes it instead of the library's. It records the
// window it was given and posts the scripted messages.
namespace {
std::atomic<int> updaterCalls{0};
std::atomic<HWND> updaterWindow{nullptr};
std::vector<std::wstring> scriptedLines;  // set before the window is created
}  // namespace

DWORD WINAPI UpdaterThread(LPVOID parameter) {
    HWND window = static_cast<HWND>(parameter);
    updaterWindow = window;
    for (const std::wstring& line : scriptedLines) PostLogLine(window, line);
    ++updaterCalls;
    return 0;
}

namespace {

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

void ResetUpdater(std::vector<std::wstring> lines = {}) {
    updaterCalls = 0;
    updaterWindow = nullptr;
    scriptedLines = std::move(lines);
}

bool SameClass(HWND window, const wchar_t* expected) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return lstrcmpiW(name, expected) == 0;
}

bool SameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

std::string Describe(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + " " +
           std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top);
}

// The window as start-up makes it, before it is shown (hiding it again costs ~2 s under Wine
// without a window manager); destroyed and unregistered afterwards.
class MainWindowTest : public testing::Test {
protected:
    HWND window = nullptr;

    void SetUp() override {
        ResetUpdater({L"Dòng một"});
        SetAppInstance(Instance());
        UnregisterClassW(kMainWindowClass, Instance());
        ASSERT_TRUE(RegisterMainWindowClass(Instance()));
        window = CreateMainWindow(Instance());
        ASSERT_NE(window, nullptr);
    }

    void TearDown() override {
        if (window && IsWindow(window)) DestroyWindow(window);
        PumpPending();
        UnregisterClassW(kMainWindowClass, Instance());
        SetLogBox(nullptr);
    }

    HWND Child(int id) const { return GetDlgItem(window, id); }

    // The rectangles the layout gives for the current client area, in creation order.
    std::vector<RECT> ExpectedLayout() const {
        RECT client{};
        GetClientRect(window, &client);
        const int w = client.right, h = client.bottom;
        return {
            {12, 12, 12 + w - 24, 12 + h - 122},              // log box
            {12, h - 98, 12 + w - 24, h - 98 + 22},           // progress bar
            {12, h - 72, 12 + w - 24, h - 72 + 20},           // status line
            {w - 132, h - 40, w - 132 + 120, h - 40 + 32},    // Start
            {w - 388, h - 40, w - 388 + 120, h - 40 + 32},    // Zalo
            {w - 260, h - 40, w - 260 + 120, h - 40 + 32},    // Telegram
        };
    }

    std::vector<RECT> ActualLayout() const {
        std::vector<RECT> rects;
        for (int id : {IDC_LOG, IDC_PROGRESS, IDC_STATUS, IDC_START, IDC_ZALO, IDC_TELEGRAM}) {
            rects.push_back(ChildRect(Child(id)));
        }
        return rects;
    }

    void ExpectLaidOut() const {
        const std::vector<RECT> expected = ExpectedLayout();
        const std::vector<RECT> actual = ActualLayout();
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_TRUE(SameRect(actual[i], expected[i]))
                << "control " << i << ": " << Describe(actual[i]) << " instead of "
                << Describe(expected[i]);
        }
    }
};

TEST_F(MainWindowTest, CreatesTheSixControlsInOrder) {
    struct Expected {
        int id;
        const wchar_t* className;
        const wchar_t* text;
        LONG style;
    };
    const Expected controls[] = {
        {IDC_LOG, L"Edit", L"", 0x502008C4},
        {IDC_PROGRESS, L"msctls_progress32", L"", 0x50000000},
        {IDC_STATUS, L"Static", L"Ready", 0x50000000},
        {IDC_START, L"Button", L"🚀 Start Auto", 0x5001000B},
        {IDC_ZALO, L"Button", L"🔄 Zalo Hỗ trợ", 0x5001000B},
        {IDC_TELEGRAM, L"Button", L"🏠 Telegram", 0x5001000B},
    };
    // Children are kept in z-order, which is the creation order.
    HWND child = GetWindow(window, GW_CHILD);
    for (const Expected& expected : controls) {
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(GetDlgCtrlID(child), expected.id);
        EXPECT_TRUE(SameClass(child, expected.className)) << expected.id;
        EXPECT_EQ(TextOf(child), expected.text) << expected.id;
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        // Start is disabled at first; compare the creation style without it.
        EXPECT_EQ(style & ~WS_DISABLED, expected.style) << expected.id;
        EXPECT_EQ(GetWindowLongW(child, GWL_EXSTYLE) & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE), 0);
        child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr);
}

TEST_F(MainWindowTest, StateBeforeTheFirstWorkerMessage) {
    // Nothing dispatched yet: the scripted line is still queued.
    EXPECT_EQ(TextOf(Child(IDC_LOG)), L"");
    EXPECT_EQ(SendMessageW(Child(IDC_PROGRESS), PBM_GETPOS, 0, 0), 0);
    PBRANGE range{};
    SendMessageW(Child(IDC_PROGRESS), PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 100);
    EXPECT_EQ(TextOf(Child(IDC_STATUS)), L"Ready");
    EXPECT_FALSE(IsWindowEnabled(Child(IDC_START)));
    EXPECT_TRUE(IsWindowEnabled(Child(IDC_ZALO)));
    EXPECT_TRUE(IsWindowEnabled(Child(IDC_TELEGRAM)));

    // The log box and the status line share the 18-pixel Vietnamese UI font; buttons draw their own.
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(Child(IDC_LOG), WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(Child(IDC_STATUS), WM_GETFONT, 0, 0)), font);
    LOGFONTW logFont{};
    ASSERT_EQ(GetObjectW(font, sizeof(logFont), &logFont), static_cast<int>(sizeof(logFont)));
    EXPECT_EQ(logFont.lfHeight, 18);
    EXPECT_EQ(logFont.lfWeight, FW_NORMAL);
    EXPECT_EQ(logFont.lfCharSet, VIETNAMESE_CHARSET);
    EXPECT_STREQ(logFont.lfFaceName, L"Segoe UI");
}

TEST_F(MainWindowTest, StartsTheUpdaterWithItsOwnHandle) {
    ASSERT_TRUE(PumpUntil([] { return updaterCalls.load() == 1; }));
    EXPECT_EQ(updaterWindow.load(), window);
    EXPECT_EQ(MainWindow(), window);
    // Its first line reaches the log box through the worker message.
    EXPECT_TRUE(PumpUntil([&] { return TextOf(Child(IDC_LOG)) == L"Dòng một\r\n"; }));
}

TEST_F(MainWindowTest, WindowIsCentredAndNotResizable) {
    RECT outer{};
    GetWindowRect(window, &outer);
    EXPECT_EQ(outer.right - outer.left, 550);
    EXPECT_EQ(outer.bottom - outer.top, 350);
    EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXSCREEN) - 550) / 2);
    EXPECT_EQ(outer.top, (GetSystemMetrics(SM_CYSCREEN) - 350) / 2);
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_EQ(style & ~(WS_VISIBLE | WS_CLIPSIBLINGS), static_cast<LONG>(0x00CA0000));
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);
    EXPECT_TRUE(GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_APPWINDOW);
    EXPECT_EQ(TextOf(window), L"🚀 Auto Update Hopwell.example");
}

TEST_F(MainWindowTest, LaysTheControlsOutForTheClientArea) {
    // Under Wine the first WM_SIZE of a window created hidden comes with ShowWindow (start-up's
    // next step), not from inside CreateWindowExW.
    ShowWindow(window, SW_SHOWNOACTIVATE);
    PumpPending();
    ExpectLaidOut();
    // Any other client size follows the same formulas.
    SetWindowPos(window, nullptr, 0, 0, 700, 480, SWP_NOMOVE | SWP_NOZORDER);
    RECT client{};
    GetClientRect(window, &client);
    ASSERT_GT(client.right, 600);
    ExpectLaidOut();
}

TEST_F(MainWindowTest, MinimisingKeepsTheLayout) {
    ShowWindow(window, SW_SHOWNORMAL);
    PumpPending();
    const std::vector<RECT> before = ActualLayout();
    ShowWindow(window, SW_MINIMIZE);
    PumpPending();
    ASSERT_TRUE(IsIconic(window));
    RECT client{};
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 0);  // what the formulas would have turned into negative sizes
    std::vector<RECT> minimised = ActualLayout();
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_TRUE(SameRect(minimised[i], before[i]))
            << "control " << i << " moved to " << Describe(minimised[i]);
    }
    ShowWindow(window, SW_RESTORE);
    PumpPending();
    ExpectLaidOut();
}

TEST_F(MainWindowTest, AppliesWorkerMessages) {
    ASSERT_TRUE(PumpUntil([&] { return !TextOf(Child(IDC_LOG)).empty(); }));
    HWND bar = Child(IDC_PROGRESS);
    PostProgress(window, 55);
    ASSERT_TRUE(PumpUntil([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) == 55; }));
    PostProgress(window, 150);
    EXPECT_TRUE(PumpUntil([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) == 100; }));
    PostProgress(window, -5);
    EXPECT_TRUE(PumpUntil([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) == 0; }));

    PostLogLine(window, L"");
    PostLogLine(window, L"Hoàn tất cập nhật 1.2.");
    EXPECT_TRUE(PumpUntil([&] {
        return TextOf(Child(IDC_LOG)) == L"Dòng một\r\n\r\nHoàn tất cập nhật 1.2.\r\n";
    })) << "log: " << testing::PrintToString(TextOf(Child(IDC_LOG)));

    PostStatusText(window, L"1.0 MB / 2.0 MB");
    EXPECT_TRUE(PumpUntil([&] { return TextOf(Child(IDC_STATUS)) == L"1.0 MB / 2.0 MB"; }));

    PostEnableStart(window);
    EXPECT_TRUE(PumpUntil([&] { return IsWindowEnabled(Child(IDC_START)) != FALSE; }));
}

TEST_F(MainWindowTest, MessagesFromAnotherThreadKeepTheirOrder) {
    ASSERT_TRUE(PumpUntil([&] { return !TextOf(Child(IDC_LOG)).empty(); }));
    // Worker messages and lines appended directly, in turn: the log shows them as written.
    std::thread worker([this] {
        for (int i = 0; i < 20; ++i) {
            PostLogLine(window, std::to_wstring(i));
            AppendLogLine(L"+");
        }
        PostEnableStart(window);
    });
    // A window thread that waits on another thread (as Wine's does on its desktop) handles sent
    // messages only; a line still queued there would be overtaken by those sent after it.
    for (const ULONGLONG until = GetTickCount64() + 300; GetTickCount64() < until;) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_SENDMESSAGE);
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    EXPECT_TRUE(PumpUntil([&] { return IsWindowEnabled(Child(IDC_START)) != FALSE; }));
    worker.join();
    std::wstring expected = L"Dòng một\r\n";
    for (int i = 0; i < 20; ++i) expected += std::to_wstring(i) + L"\r\n+\r\n";
    EXPECT_EQ(TextOf(Child(IDC_LOG)), expected);
}

TEST_F(MainWindowTest, LogLinesGoWhereTheCaretStands) {
    ASSERT_TRUE(PumpUntil([&] { return !TextOf(Child(IDC_LOG)).empty(); }));
    // A click into the log moves the caret; the next line goes in there, not at the end.
    SendMessageW(Child(IDC_LOG), EM_SETSEL, 3, 3);
    PostLogLine(window, L"chen");
    EXPECT_TRUE(PumpUntil([&] { return TextOf(Child(IDC_LOG)) == L"Dònchen\r\ng một\r\n"; }))
        << testing::PrintToString(TextOf(Child(IDC_LOG)));
}

TEST_F(MainWindowTest, StartCommandActsWhateverItsNotification) {
    ASSERT_TRUE(PumpUntil([&] { return !TextOf(Child(IDC_LOG)).empty(); }));
    // No AutoTorvane.exe in the application directory: the launch says so and the window stays.
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_START, BN_DOUBLECLICKED), 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_STATUS, BN_CLICKED), 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_LOG, BN_CLICKED), 0);
    EXPECT_EQ(TextOf(Child(IDC_LOG)), L"Dòng một\r\nKhông tìm thấy AutoTorvane.exe\r\n");
    EXPECT_TRUE(IsWindow(window));
}

// The stand-in application registered, for one test, as this prefix's handler of https links;
// the previous handler comes back afterwards.
class HttpsHandler {
public:
    HttpsHandler() {
        wchar_t value[1024] = {};
        DWORD size = sizeof(value);
        hadOld_ = RegGetValueW(HKEY_LOCAL_MACHINE, kKey, nullptr, RRF_RT_REG_SZ, nullptr, value,
                               &size) == ERROR_SUCCESS;
        old_ = value;
        const std::wstring command = L"\"" + HostPath(HOPWELL_FAKE_APP) + L"\" \"%1\"";
        Set(command);
    }
    ~HttpsHandler() {
        if (hadOld_) Set(old_);
    }

private:
    static constexpr const wchar_t* kKey = L"Software\\Classes\\https\\shell\\open\\command";
    static void Set(const std::wstring& command) {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, nullptr, REG_SZ, command.c_str(),
                        static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    }
    bool hadOld_ = false;
    std::wstring old_;
};

TEST_F(MainWindowTest, SupportButtonsOpenTheirLinks) {
    HttpsHandler handler;
    TempDir records;
    for (const auto& button : {std::make_pair(IDC_ZALO, kZaloUrl),
                               std::make_pair(IDC_TELEGRAM, kTelegramUrl)}) {
        const std::wstring record = records.File(std::to_wstring(button.first) + L".txt");
        SetEnvironmentVariableW(L"HOPWELL_FAKE_RECORD", record.c_str());
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(button.first, BN_CLICKED), 0);
        SetEnvironmentVariableW(L"HOPWELL_FAKE_RECORD", nullptr);
        // The record's first line is the started program's command line.
        const std::string url = WideToUtf8(button.second);
        EXPECT_TRUE(PumpUntil(
            [&] {
                const std::string bytes = ReadBytes(record);
                return bytes.substr(0, bytes.find("\r\n")).find(url) != std::string::npos;
            },
            15000))
            << "button " << button.first << " did not open " << url << ": " << ReadBytes(record);
    }
}

TEST_F(MainWindowTest, StaticControlsGetWhiteTextOnDarkGrey) {
    Canvas canvas(4, 4, RGB(0, 0, 0));
    SetTextColor(canvas.dc(), RGB(1, 2, 3));
    SetBkMode(canvas.dc(), OPAQUE);
    for (int id : {IDC_STATUS, IDC_LOG}) {
        HBRUSH brush = reinterpret_cast<HBRUSH>(SendMessageW(
            window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(canvas.dc()),
            reinterpret_cast<LPARAM>(Child(id))));
        LOGBRUSH info{};
        ASSERT_EQ(GetObjectW(brush, sizeof(info), &info), static_cast<int>(sizeof(info)));
        EXPECT_EQ(info.lbColor, RGB(0x1E, 0x1E, 0x1E));
        EXPECT_EQ(GetTextColor(canvas.dc()), RGB(255, 255, 255));
        EXPECT_EQ(GetBkMode(canvas.dc()), TRANSPARENT);
    }
    // Buttons are owner-drawn: their colour message is not answered.
    EXPECT_EQ(SendMessageW(window, WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(canvas.dc()),
                           reinterpret_cast<LPARAM>(Child(IDC_START))),
              DefWindowProcW(window, WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(canvas.dc()),
                             reinterpret_cast<LPARAM>(Child(IDC_START))));
}

TEST_F(MainWindowTest, DrawItemPaintsButtonsOnly) {
    Canvas canvas(120, 32, RGB(255, 0, 255));
    DRAWITEMSTRUCT item{};
    item.CtlType = ODT_BUTTON;
    item.CtlID = IDC_START;
    item.hwndItem = Child(IDC_START);
    item.hDC = canvas.dc();
    item.itemAction = ODA_FOCUS;  // the whole button is drawn whatever the action
    EXPECT_EQ(SendMessageW(window, WM_DRAWITEM, IDC_START, reinterpret_cast<LPARAM>(&item)), TRUE);
    EXPECT_EQ(ColorName(canvas.Pixel(6, 16)), "#646464");  // Start is still disabled

    Canvas other(120, 32, RGB(255, 0, 255));
    item.CtlType = ODT_STATIC;
    item.hDC = other.dc();
    EXPECT_EQ(SendMessageW(window, WM_DRAWITEM, IDC_START, reinterpret_cast<LPARAM>(&item)), FALSE);
    EXPECT_EQ(ColorName(other.Pixel(6, 16)), "#FF00FF");
}

TEST_F(MainWindowTest, EraseIsLeftToPaint) {
    Canvas canvas(4, 4, RGB(9, 9, 9));
    EXPECT_EQ(SendMessageW(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(canvas.dc()), 0), 1);
    EXPECT_EQ(canvas.Pixel(1, 1), RGB(9, 9, 9));
}

TEST_F(MainWindowTest, DestroyFreesTheFontAndEndsTheLoop) {
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageW(Child(IDC_LOG), WM_GETFONT, 0, 0));
    ASSERT_EQ(GetObjectType(font), static_cast<DWORD>(OBJ_FONT));
    PumpPending();
    DestroyWindow(window);
    window = nullptr;
    EXPECT_EQ(GetObjectType(font), 0u);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
}

// Start-up as a whole, on this thread, with a watchdog that ends a message loop left running.
class StartupTest : public testing::Test {
protected:
    void SetUp() override {
        ResetUpdater({L"Đang kiểm tra cập nhật..."});
        UnregisterClassW(kMainWindowClass, Instance());
        SetMainWindow(nullptr);
    }
    void TearDown() override {
        UnregisterClassW(kMainWindowClass, Instance());
        SetLogBox(nullptr);
        PumpPending();
    }

    // Runs RunLauncher; observe() runs on another thread once the window exists (if it ever
    // does) and is expected to close it.
    int Run(int showCommand, const std::function<void(HWND)>& observe) {
        const DWORD uiThread = GetCurrentThreadId();
        std::atomic<bool> finished{false};
        std::thread helper([&] {
            const ULONGLONG start = GetTickCount64();
            HWND found = nullptr;
            while (!finished && GetTickCount64() - start < 20000) {
                found = FindWindowW(kMainWindowClass, nullptr);
                if (found && IsWindowVisible(found)) break;
                if (found && IsIconic(found)) break;
                found = nullptr;
                Sleep(20);
            }
            if (found) observe(found);
            // Whatever happened, never leave the loop running.
            const ULONGLONG stop = GetTickCount64();
            while (!finished && GetTickCount64() - stop < 10000) Sleep(20);
            if (!finished) PostThreadMessageW(uiThread, WM_QUIT, 7, 0);
        });
        const int code = RunLauncher(Instance(), showCommand);
        finished = true;
        helper.join();
        return code;
    }
};

// The window closed mid-update ends the process while the updater thread may still build paths
// from AppDirectory, so it must outlive every static object. This one is destroyed after all
// of ordinary priority, and fails the program when the directory no longer reads right.
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

TEST_F(StartupTest, AppDirectoryOutlivesTheStaticObjects) {
    // A buffer this large goes back to the system when freed: read after that, it faults
    // instead of still showing the old characters.
    const_cast<std::wstring&>(AppDirectory()).reserve(1 << 20);
    appDirectoryAtExit.expected = AppDirectory();  // checked at exit
}

TEST_F(StartupTest, RunsTheWindowUntilItIsClosed) {
    RECT outer{};
    std::wstring title;
    bool visible = false, bigIcon = false, smallIcon = false, classIcons = false;
    int bigSize = 0, smallSize = 0;
    HWND seen = nullptr;
    const int code = Run(SW_SHOWNORMAL, [&](HWND window) {
        seen = window;
        GetWindowRect(window, &outer);
        visible = IsWindowVisible(window) != FALSE;
        title = TextOf(window);
        HICON big = reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, ICON_BIG, 0));
        HICON small = reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, ICON_SMALL, 0));
        bigIcon = big != nullptr;
        smallIcon = small != nullptr;
        classIcons = reinterpret_cast<HICON>(GetClassLongPtrW(window, GCLP_HICON)) == big &&
                     reinterpret_cast<HICON>(GetClassLongPtrW(window, GCLP_HICONSM)) == small;
        for (auto [icon, size] : {std::pair{big, &bigSize}, std::pair{small, &smallSize}}) {
            ICONINFO info{};
            if (icon && GetIconInfo(icon, &info)) {
                BITMAP bitmap{};
                GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap);
                *size = bitmap.bmWidth;
                DeleteObject(info.hbmColor);
                DeleteObject(info.hbmMask);
            }
        }
        PostMessageW(window, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(code, 0);
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(MainWindow(), seen);
    EXPECT_EQ(updaterWindow.load(), seen);
    EXPECT_TRUE(visible);
    EXPECT_EQ(outer.right - outer.left, 550);
    EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXSCREEN) - 550) / 2);
    EXPECT_EQ(title, L"🚀 Auto Update Hopwell.example");
    EXPECT_TRUE(bigIcon);
    EXPECT_TRUE(smallIcon);
    EXPECT_TRUE(classIcons);
    EXPECT_EQ(bigSize, 64);
    EXPECT_EQ(smallSize, 32);
    EXPECT_FALSE(IsWindow(seen));
    EXPECT_EQ(AppInstance(), Instance());
}

TEST_F(StartupTest, StartedMinimisedTheUpdateStillRuns) {
    bool iconic = false;
    std::wstring log;
    const int code = Run(SW_SHOWMINNOACTIVE, [&](HWND window) {
        iconic = IsIconic(window) != FALSE;
        HWND logBox = GetDlgItem(window, IDC_LOG);
        const ULONGLONG start = GetTickCount64();
        while (GetTickCount64() - start < 5000 && (log = TextOf(logBox)).empty()) Sleep(20);
        PostMessageW(window, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(iconic);
    EXPECT_EQ(log, L"Đang kiểm tra cập nhật...\r\n");
}

TEST_F(StartupTest, ClassTakenByAnotherProcedureEndsWithoutALoop) {
    WNDCLASSEXW foreign{};
    foreign.cbSize = sizeof(foreign);
    foreign.lpfnWndProc = DefWindowProcW;
    foreign.hInstance = Instance();
    foreign.lpszClassName = kMainWindowClass;
    ASSERT_NE(RegisterClassExW(&foreign), 0);
    bool windowSeen = false;
    EXPECT_EQ(Run(SW_SHOWNORMAL, [&](HWND) { windowSeen = true; }), kStartupClassFailed);
    EXPECT_FALSE(windowSeen);
    EXPECT_EQ(updaterCalls.load(), 0);
    EXPECT_EQ(MainWindow(), nullptr);
}

// Refuses the creation of the launcher's window, as a failing CreateWindowExW would.
LRESULT CALLBACK RefuseMainWindow(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        wchar_t name[64] = {};
        GetClassNameW(reinterpret_cast<HWND>(wParam), name, 64);
        if (lstrcmpW(name, kMainWindowClass) == 0) return 1;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST_F(StartupTest, WindowThatCannotBeCreatedEndsWithoutALoop) {
    HHOOK hook = SetWindowsHookExW(WH_CBT, RefuseMainWindow, nullptr, GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    bool windowSeen = false;
    const int code = Run(SW_SHOWNORMAL, [&](HWND) { windowSeen = true; });
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(code, kStartupWindowFailed);
    EXPECT_FALSE(windowSeen);
    EXPECT_EQ(updaterCalls.load(), 0);
    EXPECT_EQ(MainWindow(), nullptr);
}

}  // namespace
