// hopwell-pass MANIFEST_URL DIR [PUBLIC_KEY] [--repair]: one update pass into DIR, printing
// every worker message; with PUBLIC_KEY, a pass of a launcher built with that key; with
// --repair, one that checks the installed files' SHA-256 too.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "base/app_directory.h"
#include "base/text.h"
#include "tools/worker_sink.h"
#include "update/updater_thread.h"

int wmain(int argc, wchar_t** argv) {
    const bool repair = argc > 3 && std::wstring(argv[argc - 1]) == L"--repair";
    if (repair) --argc;
    if (argc != 3 && argc != 4) {
        std::fputs("usage: hopwell-pass MANIFEST_URL DIR [PUBLIC_KEY] [--repair]\n", stderr);
        return 2;
    }
    _setmode(_fileno(stdout), _O_BINARY);  // UTF-8 lines ending in LF, for scripts
    SetAppDirectory(argv[2]);
    const std::wstring url = argv[1];
    const std::string publicKey = argc == 4 ? WideToUtf8(argv[3]) : std::string();
    HWND sink = CreateWorkerSink([](const WorkerMessage& message) {
        std::string bytes = WideToUtf8(SinkLineText(message)) + "\n";
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        std::fflush(stdout);
    });
    if (!sink) return 2;
    RunWithMessagePump([&] { RunUpdatePass(sink, url, publicKey, CurrentUtcTime(), repair); },
                       INFINITE);
    DestroyWorkerSink(sink);
    return 0;
}
