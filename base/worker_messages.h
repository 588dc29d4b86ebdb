#pragma once
// How the updater thread reports to the main window: four messages and AppendLogLine.
#include <windows.h>

#include <string>

constexpr UINT WM_APP_PROGRESS = WM_APP + 1;      // wParam: overall percent (signed int)
constexpr UINT WM_APP_LOG = WM_APP + 2;           // lParam: new std::wstring, owned by receiver
constexpr UINT WM_APP_ENABLE_START = WM_APP + 3;  // no arguments
constexpr UINT WM_APP_STATUS = WM_APP + 4;        // lParam: new std::wstring, owned by receiver

// Posting side. Each string message carries a fresh heap copy that the receiver deletes.
// PostLogLine alone delivers synchronously (SendMessageW: back once the window has taken the
// line, so the window thread must never wait for the updater thread), so that its lines and
// AppendLogLine's keep the order they were written in; progress, status and Start are queued.
void PostLogLine(HWND window, const std::wstring& line);
void PostStatusText(HWND window, const std::wstring& text);
void PostProgress(HWND window, int percent);
void PostEnableStart(HWND window);

// One worker message taken off the queue. Decoding takes ownership of the string it carries,
// so the string is freed in exactly one place whoever receives it (the main window, the
// console tools, the tests).
struct WorkerMessage {
    UINT message = 0;
    int percent = 0;    // WM_APP_PROGRESS
    std::wstring text;  // WM_APP_LOG, WM_APP_STATUS
};
bool TakeWorkerMessage(UINT message, WPARAM wParam, LPARAM lParam, WorkerMessage& taken);

// The log box that AppendLogLine writes to. Set by the window before the worker starts; tools
// and tests point it at a stand-in window that handles EM_SETSEL and EM_REPLACESEL.
void SetLogBox(HWND logBox);
HWND LogBox();

// Appends line + CR LF at the log box's caret, synchronously: returns once the log box has
// taken the line (SendMessageW), so it may be called from the worker thread. No log box: no-op.
void AppendLogLine(const std::wstring& line);
