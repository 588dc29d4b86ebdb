#include "base/worker_messages.h"

namespace {
HWND logBox = nullptr;

// The receiver owns the string from here on; if the window is gone the process is ending.
LPARAM NewString(const std::wstring& text) {
    return reinterpret_cast<LPARAM>(new std::wstring(text));
}
}  // namespace

void PostLogLine(HWND window, const std::wstring& line) {
    // Sent like AppendLogLine's lines, so that neither kind can overtake the other in the log.
    SendMessageW(window, WM_APP_LOG, 0, NewString(line));
}

void PostStatusText(HWND window, const std::wstring& text) {
    PostMessageW(window, WM_APP_STATUS, 0, NewString(text));
}

void PostProgress(HWND window, int percent) {
    PostMessageW(window, WM_APP_PROGRESS, static_cast<WPARAM>(percent), 0);
}

void PostEnableStart(HWND window) { PostMessageW(window, WM_APP_ENABLE_START, 0, 0); }

bool TakeWorkerMessage(UINT message, WPARAM wParam, LPARAM lParam, WorkerMessage& taken) {
    taken = WorkerMessage{};
    taken.message = message;
    switch (message) {
    case WM_APP_PROGRESS:
        taken.percent = static_cast<int>(wParam);
        return true;
    case WM_APP_LOG:
    case WM_APP_STATUS: {
        std::wstring* text = reinterpret_cast<std::wstring*>(lParam);
        if (text) {
            taken.text = std::move(*text);
            delete text;
        }
        return true;
    }
    case WM_APP_ENABLE_START:
        return true;
    default:
        return false;
    }
}

void SetLogBox(HWND box) { logBox = box; }

HWND LogBox() { return logBox; }

void AppendLogLine(const std::wstring& line) {
    if (!logBox) return;
    const std::wstring text = line + L"\r\n";
    SendMessageW(logBox, EM_SETSEL, static_cast<WPARAM>(-1), -1);
    SendMessageW(logBox, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}
