#pragma once
// A stand-in for the log box: a hidden message-only window of the tests' own class that
// records the text of every EM_REPLACESEL. It is the log box (SetLogBox) while it exists.
#include <windows.h>

#include <string>
#include <vector>

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    HWND window() const { return window_; }
    // Everything inserted so far, CR LF included.
    const std::wstring& Text() const { return text_; }
    // The text split into lines at CR LF.
    std::vector<std::wstring> Lines() const;
    void Clear() { text_.clear(); }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND window_ = nullptr;
    std::wstring text_;
};

// Handles this thread's messages until the handle is signalled or the time runs out, so that
// lines sent from another thread (AppendLogLine on a worker) reach the window.
// True when the handle was signalled.
bool PumpMessagesUntilSignaled(HANDLE handle, DWORD timeoutMilliseconds);
