#include "tools/worker_sink.h"

#include <memory>

#include "base/scoped_handle.h"

namespace {

const wchar_t kSinkClass[] = L"HopwellWorkerSink";

LRESULT CALLBACK SinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* onLine = reinterpret_cast<SinkLine*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    WorkerMessage taken;
    if (TakeWorkerMessage(message, wParam, lParam, taken)) {
        if (onLine) (*onLine)(taken);
        return 0;
    }
    switch (message) {
    case EM_SETSEL:
        return 0;
    case EM_REPLACESEL: {
        WorkerMessage line;
        line.message = EM_REPLACESEL;
        line.text = reinterpret_cast<const wchar_t*>(lParam);
        if (line.text.size() >= 2 && line.text.compare(line.text.size() - 2, 2, L"\r\n") == 0)
            line.text.resize(line.text.size() - 2);
        if (onLine) (*onLine)(line);
        return 0;
    }
    case WM_NCDESTROY:
        delete onLine;
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

std::wstring SinkLineText(const WorkerMessage& message) {
    switch (message.message) {
    case WM_APP_PROGRESS: return L"progress " + std::to_wstring(message.percent);
    case WM_APP_STATUS: return L"status " + message.text;
    case WM_APP_ENABLE_START: return L"enable-start";
    default: return message.text;
    }
}

HWND CreateWorkerSink(SinkLine onLine) {
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof(cls);
    cls.lpfnWndProc = SinkProc;
    cls.hInstance = GetModuleHandleW(nullptr);
    cls.lpszClassName = kSinkClass;
    RegisterClassExW(&cls);  // already registered by an earlier sink: fine
    HWND window = CreateWindowExW(0, kSinkClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  cls.hInstance, nullptr);
    if (!window) return nullptr;
    SetWindowLongPtrW(window, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(new SinkLine(std::move(onLine))));
    SetLogBox(window);
    return window;
}

void DestroyWorkerSink(HWND sink) {
    if (LogBox() == sink) SetLogBox(nullptr);
    DestroyWindow(sink);
}

namespace {
DWORD WINAPI RunWork(LPVOID parameter) {
    (*static_cast<const std::function<void()>*>(parameter))();
    return 0;
}

void DrainMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}
}  // namespace

bool RunWithMessagePump(const std::function<void()>& work, DWORD timeoutMs) {
    ScopedHandle thread(CreateThread(nullptr, 0, RunWork, const_cast<std::function<void()>*>(&work),
                                     0, nullptr));
    if (!thread) return false;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        HANDLE h = thread.get();
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        DWORD wait = MsgWaitForMultipleObjects(1, &h, FALSE, static_cast<DWORD>(deadline - now),
                                               QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0) break;
        DrainMessages();
    }
    DrainMessages();
    return true;
}
