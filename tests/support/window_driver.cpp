// hopwell-driver: drives a running launcher window from outside, as a user would, for scripts.
//
//   hopwell-driver wait-window TIMEOUT_MS    waits until a "HopwellWindow" is visible
//   hopwell-driver title | log | status      prints the title, the log box or the status line
//   hopwell-driver progress                  prints the progress bar's position
//   hopwell-driver start-enabled             prints 1 when Start is enabled, else 0
//   hopwell-driver wait-enabled TIMEOUT_MS   waits until Start is enabled
//   hopwell-driver wait-log TEXT TIMEOUT_MS  waits until the log box holds TEXT
//   hopwell-driver press-start               clicks Start; refuses (exit 2) while it is disabled
//   hopwell-driver mouse-down-start          holds the left mouse button down on Start
//   hopwell-driver mouse-up-start            lets it go again (which clicks it)
//   hopwell-driver close                     posts WM_CLOSE, as the close button does
//   hopwell-driver wait-closed TIMEOUT_MS    waits until no "HopwellWindow" is left
//   hopwell-driver geometry                  prints "window X Y W H" and "client X Y W H" (screen)
//   hopwell-driver pixel X Y                 prints #RRGGBB at client X, Y as the screen shows it
//
// Waits print the milliseconds they took. Exit codes: 0 done, 1 timed out or no window,
// 2 refused or bad arguments. Text is printed as UTF-8, one trailing LF.
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <functional>
#include <string>

#include "app/main_window.h"
#include "app/startup.h"
#include "base/scoped_handle.h"
#include "base/text.h"

namespace {

// A window's device context from GetDC, given back with ReleaseDC.
class ScopedWindowDc {
public:
    explicit ScopedWindowDc(HWND window) : window_(window), dc_(GetDC(window)) {}
    ~ScopedWindowDc() {
        if (dc_) ReleaseDC(window_, dc_);
    }
    ScopedWindowDc(const ScopedWindowDc&) = delete;
    ScopedWindowDc& operator=(const ScopedWindowDc&) = delete;
    HDC get() const { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

constexpr UINT kSendTimeoutMs = 10000;  // the window may sit in the launch wait for ~5 s
constexpr DWORD kPollMs = 50;

void Print(const std::wstring& text) {
    const std::string bytes = WideToUtf8(text) + "\n";
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

int Fail(int code, const std::wstring& why) {
    const std::string bytes = "hopwell-driver: " + WideToUtf8(why) + "\n";
    fwrite(bytes.data(), 1, bytes.size(), stderr);
    return code;
}

HWND FindLauncher() { return FindWindowW(kMainWindowClass, nullptr); }

// WM_GETTEXT reaches into another process's controls (GetWindowTextW would not, for an edit).
bool ReadText(HWND control, std::wstring& text) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                             &length)) {
        return false;
    }
    std::wstring buffer(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXT, buffer.size(),
                             reinterpret_cast<LPARAM>(&buffer[0]), SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &copied)) {
        return false;
    }
    buffer.resize(copied);
    text = buffer;
    return true;
}

// Polls until done() holds or the time is up; prints the time taken on success.
int WaitFor(const wchar_t* limitText, const std::function<bool()>& done, const wchar_t* what) {
    const ULONGLONG limit = std::wcstoull(limitText, nullptr, 10);
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (done()) {
            Print(std::to_wstring(GetTickCount64() - start));
            return 0;
        }
        if (GetTickCount64() - start > limit) return Fail(1, std::wstring(L"timed out: ") + what);
        Sleep(kPollMs);
    }
}

int PrintControlText(int id) {
    HWND window = FindLauncher();
    if (!window) return Fail(1, L"no launcher window");
    std::wstring text;
    if (!ReadText(id ? GetDlgItem(window, id) : window, text)) return Fail(1, L"no answer");
    Print(text);
    return 0;
}

int PrintGeometry() {
    HWND window = FindLauncher();
    if (!window) return Fail(1, L"no launcher window");
    RECT outer{}, client{};
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    Print(L"window " + std::to_wstring(outer.left) + L" " + std::to_wstring(outer.top) + L" " +
          std::to_wstring(outer.right - outer.left) + L" " +
          std::to_wstring(outer.bottom - outer.top));
    Print(L"client " + std::to_wstring(origin.x) + L" " + std::to_wstring(origin.y) + L" " +
          std::to_wstring(client.right) + L" " + std::to_wstring(client.bottom));
    return 0;
}

int PrintPixel(int x, int y) {
    HWND window = FindLauncher();
    if (!window) return Fail(1, L"no launcher window");
    POINT point{x, y};
    ClientToScreen(window, &point);
    ScopedWindowDc screen(nullptr);
    const COLORREF color = GetPixel(screen.get(), point.x, point.y);
    if (color == CLR_INVALID) return Fail(1, L"no pixel there");
    wchar_t text[8];
    swprintf(text, 8, L"#%02X%02X%02X", GetRValue(color), GetGValue(color), GetBValue(color));
    Print(text);
    return 0;
}

bool StartEnabled() {
    HWND window = FindLauncher();
    return window && IsWindowEnabled(GetDlgItem(window, IDC_START));
}

bool LogHolds(const std::wstring& needle) {
    HWND window = FindLauncher();
    std::wstring text;
    return window && ReadText(GetDlgItem(window, IDC_LOG), text) &&
           text.find(needle) != std::wstring::npos;
}

int Usage() { return Fail(2, L"unknown command; see the comment at the top of window_driver.cpp"); }
}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2) return Usage();
    const std::wstring command = argv[1];

    if (command == L"wait-window" && argc == 3) {
        return WaitFor(argv[2], [] { return FindLauncher() && IsWindowVisible(FindLauncher()); },
                       L"launcher window");
    }
    if (command == L"title" && argc == 2) return PrintControlText(0);
    if (command == L"log" && argc == 2) return PrintControlText(IDC_LOG);
    if (command == L"status" && argc == 2) return PrintControlText(IDC_STATUS);
    if (command == L"progress" && argc == 2) {
        HWND window = FindLauncher();
        if (!window) return Fail(1, L"no launcher window");
        DWORD_PTR position = 0;
        if (!SendMessageTimeoutW(GetDlgItem(window, IDC_PROGRESS), PBM_GETPOS,
                                 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &position)) {
            return Fail(1, L"no answer");
        }
        Print(std::to_wstring(static_cast<int>(position)));
        return 0;
    }
    if (command == L"start-enabled" && argc == 2) {
        if (!FindLauncher()) return Fail(1, L"no launcher window");
        Print(StartEnabled() ? L"1" : L"0");
        return 0;
    }
    if (command == L"wait-enabled" && argc == 3) {
        return WaitFor(argv[2], StartEnabled, L"Start enabled");
    }
    if (command == L"wait-log" && argc == 4) {
        const std::wstring needle = argv[2];
        return WaitFor(argv[3], [&] { return LogHolds(needle); }, L"log text");
    }
    if (command == L"press-start" && argc == 2) {
        HWND window = FindLauncher();
        if (!window) return Fail(1, L"no launcher window");
        if (!StartEnabled()) return Fail(2, L"Start is disabled");
        // Posted: the click runs the launch wait, which would hold a sent message for ~5 s.
        PostMessageW(GetDlgItem(window, IDC_START), BM_CLICK, 0, 0);
        return 0;
    }
    if ((command == L"mouse-down-start" || command == L"mouse-up-start") && argc == 2) {
        HWND window = FindLauncher();
        if (!window) return Fail(1, L"no launcher window");
        if (!StartEnabled()) return Fail(2, L"Start is disabled");
        const bool down = command == L"mouse-down-start";
        PostMessageW(GetDlgItem(window, IDC_START), down ? WM_LBUTTONDOWN : WM_LBUTTONUP,
                     down ? MK_LBUTTON : 0, MAKELPARAM(10, 10));
        return 0;
    }
    if (command == L"close" && argc == 2) {
        HWND window = FindLauncher();
        if (!window) return Fail(1, L"no launcher window");
        PostMessageW(window, WM_CLOSE, 0, 0);
        return 0;
    }
    if (command == L"wait-closed" && argc == 3) {
        return WaitFor(argv[2], [] { return FindLauncher() == nullptr; }, L"launcher closed");
    }
    if (command == L"geometry" && argc == 2) return PrintGeometry();
    if (command == L"pixel" && argc == 4) return PrintPixel(_wtoi(argv[2]), _wtoi(argv[3]));
    return Usage();
}
