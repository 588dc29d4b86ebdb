// hopwell-fetch URL DEST [MIRROR_URL...]: downloads URL to DEST as the launcher does, the
// mirror URLs serving the same file, printing "done total" for every progress call. Exit code 0
// when the download succeeded, 1 otherwise.
#include <cstdio>

#include "net/download.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fputs("usage: hopwell-fetch URL DEST [MIRROR_URL...]\n", stderr);
        return 1;
    }
    DownloadOptions options;
    options.mirrors.assign(argv + 3, argv + argc);
    const bool ok = DownloadFile(
        argv[1], argv[2],
        [](uint64_t done, uint64_t total) {
            std::printf("%llu %llu\n", static_cast<unsigned long long>(done),
                        static_cast<unsigned long long>(total));
        },
        options);
    std::fflush(stdout);
    return ok ? 0 : 1;
}
