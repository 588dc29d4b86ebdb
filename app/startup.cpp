#include "app/startup.h"


#include <string>

#include "app/app_state.h"
#include "app/main_window.h"
#include "app/site.h"
#include "base/app_directory.h"

namespace {
constexpr int kIconId = 101;
constexpr int kWindowWidth = 550;
constexpr int kWindowHeight = 350;
// WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX: movable, closable, minimizable, not resizable.
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

HICON LoadAppIcon(HINSTANCE instance, int size) {
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconId), IMAGE_ICON, size,
                                         size, LR_DEFAULTCOLOR));
}

void CentreOnScreen(HWND window) {
    RECT outer{};
    GetWindowRect(window, &outer);
    const int w = outer.right - outer.left;
    const int h = outer.bottom - outer.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}
}  // namespace

const wchar_t* MainWindowTitle() {
    static const std::wstring title = std::wstring(L"\U0001F680 Auto Update ") + kSiteName;
    return title.c_str();
}

bool RegisterMainWindowClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = 0;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadAppIcon(instance, 64);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kMainWindowClass;
    windowClass.hIconSm = LoadAppIcon(instance, 32);
    // A class of our name registered by anyone else would route our window elsewhere.
    return RegisterClassExW(&windowClass) != 0;
}

HWND CreateMainWindow(HINSTANCE instance) {
    HWND window = CreateWindowExW(WS_EX_APPWINDOW, kMainWindowClass, MainWindowTitle(),
                                  kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT, kWindowWidth,
                                  kWindowHeight, nullptr, nullptr, instance, nullptr);
    if (window) CentreOnScreen(window);
    SetMainWindow(window);
    if (!window) return nullptr;
    // The class holds the icons for the life of the process; the window shows the same ones.
    SendMessageW(window, WM_SETICON, ICON_BIG, GetClassLongPtrW(window, GCLP_HICON));
    SendMessageW(window, WM_SETICON, ICON_SMALL, GetClassLongPtrW(window, GCLP_HICONSM));
    return window;
}

namespace {

// The folder of this program's image, however long its path: the buffer grows until the whole
// name fits (a name that fills it may have been cut).
std::wstring LauncherDirectory() {
    std::wstring image(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, &image[0], static_cast<DWORD>(image.size()));
        if (length == 0) return std::wstring();
        if (length < image.size()) {
            image.resize(length);
            break;
        }
        image.resize(image.size() * 2);
    }
    std::wstring directory = image.substr(0, image.find_last_of(L'\\') + 1);
    // No trailing backslash, except at a drive's root.
    if (directory.size() > 3 && directory.back() == L'\\') directory.pop_back();
    return directory;
}

}  // namespace

int RunLauncher(HINSTANCE instance, int showCommand) {
    SetAppInstance(instance);

    // Before the window exists: creating it starts the updater thread, which reads it at once.
    SetAppDirectory(LauncherDirectory());

    if (!RegisterMainWindowClass(instance)) return kStartupClassFailed;
    HWND window = CreateMainWindow(instance);
    // Without a window nothing could ever end the message loop.
    if (!window) return kStartupWindowFailed;

    ShowWindow(window, showCommand);
    UpdateWindow(window);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
