// The launcher's entry point; start-up lives in the core library so tests can drive it.
#include <windows.h>

#include "app/startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    return RunLauncher(instance, showCommand);
}
