#pragma once
#include <windows.h>

// Control identifiers of the main window's children.
constexpr int IDC_LOG = 1001;
constexpr int IDC_PROGRESS = 1002;
constexpr int IDC_START = 1003;
constexpr int IDC_ZALO = 1004;
constexpr int IDC_TELEGRAM = 1005;
constexpr int IDC_STATUS = 1006;

// The window procedure of "HopwellWindow": creates the controls, starts UpdaterThread, applies
// the worker messages, paints, and runs the three buttons.
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
