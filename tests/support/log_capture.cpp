#include "tests/support/log_capture.h"

#include "base/worker_messages.h"

namespace {
constexpr wchar_t ClassName[] = L"HopwellTestLogBox";
}

LogCapture::LogCapture() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = ClassName;
    RegisterClassW(&windowClass);  // fails harmlessly when already registered
    window_ = CreateWindowExW(0, ClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              windowClass.hInstance, this);
    SetLogBox(window_);
}

LogCapture::~LogCapture() {
    if (LogBox() == window_) SetLogBox(nullptr);
    if (window_) DestroyWindow(window_);
}

std::vector<std::wstring> LogCapture::Lines() const {
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (;;) {
        const size_t end = text_.find(L"\r\n", start);
        if (end == std::wstring::npos) break;
        lines.push_back(text_.substr(start, end - start));
        start = end + 2;
    }
    if (start < text_.size()) lines.push_back(text_.substr(start));
    return lines;
}

LRESULT CALLBACK LogCapture::WindowProc(HWND window, UINT message, WPARAM wParam,
                                        LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    LogCapture* capture = reinterpret_cast<LogCapture*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (capture && message == EM_REPLACESEL) {
        capture->text_ += reinterpret_cast<const wchar_t*>(lParam);
        return 0;
    }
    if (message == EM_SETSEL) return 0;
    return DefWindowProcW(window, message, wParam, lParam);
}

bool PumpMessagesUntilSignaled(HANDLE handle, DWORD timeoutMilliseconds) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMilliseconds;
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
        const DWORD wait = MsgWaitForMultipleObjects(1, &handle, FALSE,
                                                     static_cast<DWORD>(deadline - now),
                                                     QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0) return true;
        if (wait != WAIT_OBJECT_0 + 1) return false;
    }
}
