#pragma once
// The main window's side of the worker messages.
#include <windows.h>

#include "base/worker_messages.h"

// The controls that the main window changes for worker messages.
struct WorkerControls {
    HWND progressBar = nullptr;
    HWND statusLine = nullptr;
    HWND startButton = nullptr;
};
// The window's action for a taken message: bar position, log line, Start enabled, status text.
void ApplyWorkerMessage(const WorkerControls& controls, const WorkerMessage& taken);
