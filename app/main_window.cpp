#include "app/main_window.h"

#include <commctrl.h>
#include <shellapi.h>
#include <uxtheme.h>

#include "app/app_state.h"
#include "app/launch.h"
#include "app/paint.h"
#include "app/site.h"
#include "app/worker_controls.h"
#include "base/scoped_handle.h"
#include "update/updater_thread.h"

namespace {

constexpr DWORD kLogStyle = WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL |
                            ES_AUTOHSCROLL | ES_READONLY;
constexpr DWORD kBarStyle = WS_CHILD | WS_VISIBLE;
constexpr DWORD kStatusStyle = WS_CHILD | WS_VISIBLE | SS_LEFT;
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW;
constexpr COLORREF kControlBackground = RGB(30, 30, 30);

// Owned by the window until WM_DESTROY.
ScopedGdiObject<HFONT> uiFont;
ScopedGdiObject<HBRUSH> controlBrush;

HWND CreateControl(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style,
                   int x, int y, int width, int height, int id) {
    return CreateWindowExW(0, className, text, style, x, y, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), AppInstance(),
                           nullptr);
}

LRESULT OnCreate(HWND window) {
    INITCOMMONCONTROLSEX common{};
    common.dwSize = sizeof(common);
    common.dwICC = ICC_BAR_CLASSES;
    InitCommonControlsEx(&common);

    // Creation order is also the z-order.
    // The controls are found again by their identifiers; the window keeps no copies.
    HWND logBox = CreateControl(window, L"EDIT", L"", kLogStyle, 20, 200, 540, 120, IDC_LOG);
    HWND progressBar =
        CreateControl(window, PROGRESS_CLASSW, L"", kBarStyle, 20, 160, 540, 25, IDC_PROGRESS);
    HWND statusLine =
        CreateControl(window, L"STATIC", L"Ready", kStatusStyle, 20, 130, 540, 25, IDC_STATUS);
    HWND startButton = CreateControl(window, L"BUTTON", L"🚀 Start Auto", kButtonStyle, 20, 80,
                                     150, 40, IDC_START);
    CreateControl(window, L"BUTTON", L"🔄 Zalo Hỗ trợ", kButtonStyle, 190, 80, 150, 40, IDC_ZALO);
    CreateControl(window, L"BUTTON", L"🏠 Telegram", kButtonStyle, 360, 80, 150, 40,
                  IDC_TELEGRAM);
    // AppendLogLine's target, set before the updater thread can write to it.
    SetLogBox(logBox);

    SendMessageW(progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    EnableWindow(startButton, FALSE);

    uiFont.reset(CreateFontW(18, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, VIETNAMESE_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI"));
    controlBrush.reset(CreateSolidBrush(kControlBackground));
    SendMessageW(logBox, WM_SETFONT, reinterpret_cast<WPARAM>(uiFont.get()), TRUE);

    SCROLLINFO scroll{};
    scroll.cbSize = sizeof(scroll);
    scroll.fMask = SIF_RANGE | SIF_PAGE;
    scroll.nMin = 0;
    scroll.nMax = 100;
    scroll.nPage = 10;
    SetScrollInfo(logBox, SB_VERT, &scroll, TRUE);
    SetWindowTheme(logBox, L"Explorer", nullptr);
    SendMessageW(statusLine, WM_SETFONT, reinterpret_cast<WPARAM>(uiFont.get()), TRUE);

    // The pass runs on its own; nothing waits for it, so its handle is let go at once.
    ScopedHandle thread(CreateThread(nullptr, 0, UpdaterThread, window, 0, nullptr));
    return 0;
}

LRESULT OnSize(HWND window, WPARAM sizeType) {
    // Minimised, the client area is 0 x 0; restoring lays the controls out again.
    if (sizeType == SIZE_MINIMIZED) return 0;
    RECT client{};
    GetClientRect(window, &client);
    const int w = client.right;
    const int h = client.bottom;
    MoveWindow(GetDlgItem(window, IDC_LOG), 12, 12, w - 24, h - 122, TRUE);
    MoveWindow(GetDlgItem(window, IDC_PROGRESS), 12, h - 98, w - 24, 22, TRUE);
    MoveWindow(GetDlgItem(window, IDC_STATUS), 12, h - 72, w - 24, 20, TRUE);
    MoveWindow(GetDlgItem(window, IDC_START), w - 132, h - 40, 120, 32, TRUE);
    MoveWindow(GetDlgItem(window, IDC_TELEGRAM), w - 260, h - 40, 120, 32, TRUE);
    MoveWindow(GetDlgItem(window, IDC_ZALO), w - 388, h - 40, 120, 32, TRUE);
    return 0;
}

LRESULT OnPaint(HWND window) {
    ScopedPaint paint(window);
    RECT client{};
    GetClientRect(window, &client);
    PaintBackground(paint.get(), client);
    PaintHeader(paint.get(), client);
    return 0;
}

LRESULT OnDrawItem(HWND window, WPARAM wParam, LPARAM lParam) {
    const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
    if (item->CtlType != ODT_BUTTON) return DefWindowProcW(window, WM_DRAWITEM, wParam, lParam);
    DrawOwnerButton(item->hDC, item->hwndItem, (item->itemState & ODS_SELECTED) != 0);
    return TRUE;
}

LRESULT OnCommand(HWND window, WPARAM wParam) {
    // Any notification counts: an owner-drawn button's double-click acts twice.
    switch (LOWORD(wParam)) {
    case IDC_START:
        LaunchApplication();
        break;
    case IDC_ZALO:
        ShellExecuteW(window, L"open", kZaloUrl, nullptr, nullptr, SW_SHOWNORMAL);
        break;
    case IDC_TELEGRAM:
        ShellExecuteW(window, L"open", kTelegramUrl, nullptr, nullptr, SW_SHOWNORMAL);
        break;
    }
    return 0;
}

// The status line and the read-only log box both ask here: white text on #1E1E1E.
LRESULT OnCtlColorStatic(WPARAM wParam) {
    HDC dc = reinterpret_cast<HDC>(wParam);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(255, 255, 255));
    return reinterpret_cast<LRESULT>(controlBrush.get());
}

LRESULT OnWorkerMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WorkerMessage taken;
    if (TakeWorkerMessage(message, wParam, lParam, taken)) {
        ApplyWorkerMessage(WorkerControls{GetDlgItem(window, IDC_PROGRESS),
                                          GetDlgItem(window, IDC_STATUS),
                                          GetDlgItem(window, IDC_START)},
                           taken);
    }
    return 0;
}

LRESULT OnDestroy() {
    uiFont.reset();
    controlBrush.reset();
    PostQuitMessage(0);
    return 0;
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_SIZE:
        return OnSize(window, wParam);
    case WM_PAINT:
        return OnPaint(window);
    case WM_ERASEBKGND:
        return 1;  // WM_PAINT covers the whole client area
    case WM_DRAWITEM:
        return OnDrawItem(window, wParam, lParam);
    case WM_COMMAND:
        return OnCommand(window, wParam);
    case WM_CTLCOLORSTATIC:
        return OnCtlColorStatic(wParam);
    case WM_APP_PROGRESS:
    case WM_APP_LOG:
    case WM_APP_ENABLE_START:
    case WM_APP_STATUS:
        return OnWorkerMessage(window, message, wParam, lParam);
    case WM_DESTROY:
        return OnDestroy();
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
