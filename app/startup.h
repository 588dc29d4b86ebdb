#pragma once
#include <windows.h>

// The main window's class; no other window of the launcher uses it.
constexpr const wchar_t* kMainWindowClass = L"HopwellWindow";

// Start-up codes that RunLauncher returns instead of running a message loop with no window.
constexpr int kStartupClassFailed = 1;   // "HopwellWindow" could not be registered
constexpr int kStartupWindowFailed = 2;  // the main window could not be created

// The title bar text: rocket, "Auto Update" and the web site's name.
const wchar_t* MainWindowTitle();

// Registers "HopwellWindow" with MainWindowProc and icon 101 at 64 and 32 pixels.
// False when the class cannot be registered (also when a class of that name already exists).
bool RegisterMainWindowClass(HINSTANCE instance);

// Creates the 550 x 350 window centred on the primary screen, gives it its icons and records it
// as MainWindow(). Creating it starts the updater thread. Null when it could not be created.
HWND CreateMainWindow(HINSTANCE instance);

// The whole start-up: instance, AppDirectory, class, window, show, message loop. Returns 0 when
// the window ran and was closed, or a kStartup* code when there was no window to run.
int RunLauncher(HINSTANCE instance, int showCommand);
