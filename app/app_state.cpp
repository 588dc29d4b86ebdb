#include "app/app_state.h"

namespace {
HINSTANCE appInstance = nullptr;
HWND mainWindow = nullptr;
}  // namespace

HINSTANCE AppInstance() { return appInstance; }
void SetAppInstance(HINSTANCE instance) { appInstance = instance; }
HWND MainWindow() { return mainWindow; }
void SetMainWindow(HWND window) { mainWindow = window; }
