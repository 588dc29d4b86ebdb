#include "update/updater_thread.h"

// Kept apart from RunUpdatePass so programs that run passes against their own URL (tools,
// tests) need no compiled-in manifest URL.
DWORD WINAPI UpdaterThread(LPVOID parameter) {
    std::vector<std::wstring> urls;
    for (const wchar_t* const* url = ManifestUrls(); url && *url; ++url) urls.push_back(*url);
    RunUpdatePass(static_cast<HWND>(parameter), urls, ManifestPublicKey(), CurrentUtcTime(),
                  RepairRequested(GetCommandLineW()));
    return 0;
}
