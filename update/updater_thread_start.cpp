#include "update/updater_thread.h"

// Kept apart from RunUpdatePass so programs that run passes against their own URL (tools,
// tests) need no compiled-in manifest URL.
DWORD WINAPI UpdaterThread(LPVOID parameter) {
    RunUpdatePass(static_cast<HWND>(parameter), ManifestUrl(), ManifestPublicKey(),
                  CurrentUtcTime(), RepairRequested(GetCommandLineW()));
    return 0;
}
