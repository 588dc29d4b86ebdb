#pragma once
#include <windows.h>

// The process-wide values start-up writes once.
HINSTANCE AppInstance();
void SetAppInstance(HINSTANCE instance);
HWND MainWindow();
void SetMainWindow(HWND window);
