#pragma once
// A hidden window that stands in for the main window and its log box in console programs and
// tests: every worker message and every AppendLogLine line is handed on, in the order the
// window receives them. A line appended directly arrives as message EM_REPLACESEL.
#include <windows.h>

#include <functional>
#include <string>

#include "base/worker_messages.h"

using SinkLine = std::function<void(const WorkerMessage& message)>;

// One line of text for a message: "progress N", "status TEXT", "enable-start", log lines as
// they are.
std::wstring SinkLineText(const WorkerMessage& message);

// Creates the window on the calling thread and makes it the log box. Destroy it on that thread.
HWND CreateWorkerSink(SinkLine onLine);
void DestroyWorkerSink(HWND sink);

// Runs work on a new thread while this thread dispatches its messages (AppendLogLine from the
// worker waits for them). Returns after the thread ended and the queue is drained, or false
// after timeoutMs with the thread still running.
bool RunWithMessagePump(const std::function<void()>& work, DWORD timeoutMs);
