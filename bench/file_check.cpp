// hopwell-file-check DIR [--repair]: the launcher's check of DIR against its kept list
// (version.files), timed in the process so that Wine's start-up is left out. Prints the
// files listed, those found damaged, the bytes hashed (with --repair) and the seconds taken.
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/app_directory.h"
#include "update/file_check.h"
#include "update/file_lists.h"

int wmain(int argc, wchar_t** argv) {
    const bool hashes = argc == 3 && std::wstring(argv[2]) == L"--repair";
    if (argc != 2 && !hashes) {
        std::fputs("usage: hopwell-file-check DIR [--repair]\n", stderr);
        return 2;
    }
    SetAppDirectory(argv[1]);
    FileList list;
    if (!ReadKeptList(list)) {
        std::fputs("no readable version.files in DIR\n", stderr);
        return 1;
    }
    LARGE_INTEGER frequency{}, start{}, end{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    uint64_t hashed = 0;
    const size_t damaged =
        FindDamagedFiles(list, hashes, [&](uint64_t done, uint64_t) { hashed = done; }).size();
    QueryPerformanceCounter(&end);
    std::printf("files %zu damaged %zu bytes %llu seconds %.4f\n", list.size(), damaged,
                static_cast<unsigned long long>(hashed),
                static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart);
    return damaged == 0 ? 0 : 1;
}
