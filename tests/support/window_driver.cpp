// hopwell-driver: drives a running launcher window from outside, as a user would, for scripts.
//   wait-window MS | wait-enabled MS | wait-closed MS | wait-log TEXT MS
//   state         "progress N", "enabled 0|1" (Start), "size W H" (client), "title TEXT",
//                 "buttons START|ZALO|TELEGRAM", "status TEXT", "log", then the log's lines
//   click ID      clicks a button (Start 1003, Zalo 1004, Telegram 1005); down ID and up ID
//                 hold the mouse button down on it and let go (a click)
//   select N      puts the log's caret after N characters, as a click into it does
//   pixel X Y...  #RRGGBB of each client point as the screen shows it
//   close         posts WM_CLOSE, as the close button does
// Exit codes: 0 done, 1 timed out or no window, 2 bad arguments. Text is UTF-8, LF-terminated.
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <functional>
#include <string>

#include "app/main_window.h"
#include "app/startup.h"
#include "base/text.h"

namespace {
HWND Launcher() { return FindWindowW(kMainWindowClass, nullptr); }

void Print(const std::wstring& text) { std::fputs((WideToUtf8(text) + "\n").c_str(), stdout); }

// WM_GETTEXT reaches into another process's controls, where GetWindowTextW would not.
std::wstring TextOf(HWND control) {
    DWORD_PTR length = 0, copied = 0;
    SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 10000, &length);
    std::wstring text(length + 1, L'\0');
    SendMessageTimeoutW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]),
                        SMTO_ABORTIFHUNG, 10000, &copied);
    text.resize(copied);
    return text;
}

bool StartEnabled() { return Launcher() && IsWindowEnabled(GetDlgItem(Launcher(), IDC_START)); }

int WaitFor(const wchar_t* limit, const std::function<bool()>& done) {
    for (ULONGLONG start = GetTickCount64();
         GetTickCount64() - start <= std::wcstoull(limit, nullptr, 10); Sleep(50))
        if (done()) return 0;
    return 1;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"wait-window" && argc == 3)
        return WaitFor(argv[2], [] { return IsWindowVisible(Launcher()); });
    if (command == L"wait-enabled" && argc == 3) return WaitFor(argv[2], StartEnabled);
    if (command == L"wait-closed" && argc == 3) return WaitFor(argv[2], [] { return !Launcher(); });
    if (command == L"wait-log" && argc == 4)
        return WaitFor(argv[3], [&] {
            return TextOf(GetDlgItem(Launcher(), IDC_LOG)).find(argv[2]) != std::wstring::npos;
        });
    HWND window = Launcher();
    if (!window) return 1;
    if (command == L"state" && argc == 2) {
        RECT client{};
        GetClientRect(window, &client);
        DWORD_PTR position = 0;
        SendMessageTimeoutW(GetDlgItem(window, IDC_PROGRESS), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG,
                            10000, &position);
        std::wstring log = TextOf(GetDlgItem(window, IDC_LOG));
        for (size_t at; (at = log.find(L"\r\n")) != std::wstring::npos;) log.replace(at, 2, L"\n");
        auto text = [&](int id) { return TextOf(GetDlgItem(window, id)); };
        Print(L"progress " + std::to_wstring(position) + L"\nenabled " +
              std::to_wstring(StartEnabled()) + L"\nsize " + std::to_wstring(client.right) + L" " +
              std::to_wstring(client.bottom) + L"\ntitle " + TextOf(window) + L"\nbuttons " +
              text(IDC_START) + L"|" + text(IDC_ZALO) + L"|" + text(IDC_TELEGRAM) + L"\nstatus " +
              text(IDC_STATUS) + L"\nlog\n" + log);
    } else if ((command == L"click" || command == L"down" || command == L"up") && argc == 3) {
        // Posted: a click on Start runs the launch wait, which holds a sent message for seconds.
        const UINT message = command == L"click" ? BM_CLICK
                             : command == L"down" ? WM_LBUTTONDOWN : WM_LBUTTONUP;
        PostMessageW(GetDlgItem(window, _wtoi(argv[2])), message, command == L"down", 0);
    } else if (command == L"select" && argc == 3) {
        SendMessageW(GetDlgItem(window, IDC_LOG), EM_SETSEL, _wtoi(argv[2]), _wtoi(argv[2]));
    } else if (command == L"pixel" && argc >= 4 && argc % 2 == 0) {
        HDC screen = GetDC(nullptr);
        for (int i = 2; i + 1 < argc; i += 2) {
            POINT point{_wtoi(argv[i]), _wtoi(argv[i + 1])};
            ClientToScreen(window, &point);
            const COLORREF color = GetPixel(screen, point.x, point.y);
            wchar_t text[8];
            swprintf(text, 8, L"#%02X%02X%02X", GetRValue(color), GetGValue(color),
                     GetBValue(color));
            Print(text);
        }
        ReleaseDC(nullptr, screen);
    } else if (command == L"close" && argc == 2) {
        PostMessageW(window, WM_CLOSE, 0, 0);
    } else {
        return 2;
    }
    std::fflush(stdout);
    return 0;
}
