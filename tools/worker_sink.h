#pragma once
// A hidden window that stands in for the main window and its log box in console programs and
// tests: every worker message and every AppendLogLine line arrives as one text line, in the
// order the window receives them ("progress N", "status TEXT", "enable-start", log lines as
// they are).
#include <windows.h>

#include <functional>
#include <string>

using SinkLine = std::function<void(const std::wstring& line)>;

// Creates the window on the calling thread and makes it the log box. Destroy it on that thread.
HWND CreateWorkerSink(SinkLine onLine);
void DestroyWorkerSink(HWND sink);

// Runs work on a new thread while this thread dispatches its messages (AppendLogLine from the
// worker waits for them). Returns after the thread ended and the queue is drained, or false
// after timeoutMs with the thread still running.
bool RunWithMessagePump(const std::function<void()>& work, DWORD timeoutMs);
