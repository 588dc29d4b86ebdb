// hopwell-unzip ARCHIVE DIR: unpacks ARCHIVE over DIR with ExtractZip and prints every log line
// it writes. Exit code 0 when ExtractZip succeeded, 1 when it failed, 2 on bad usage.
// With HOPWELL_REPORT_MEMORY set, the process's private memory figures go to stderr at exit.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

#include "base/app_directory.h"
#include "base/text.h"
#include "install/commit.h"
#include "install/extract_zip.h"
#include "tools/worker_sink.h"

namespace {

void WriteOut(HANDLE stream, const std::string& bytes) {
    DWORD written = 0;
    WriteFile(stream, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void ReportMemory() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters))
        return;
    const std::string text =
        "private-bytes " + std::to_string(counters.PrivateUsage) + "\npeak-private-bytes " +
        std::to_string(counters.PeakPagefileUsage) + "\npeak-working-set " +
        std::to_string(counters.PeakWorkingSetSize) + "\n";
    WriteOut(GetStdHandle(STD_ERROR_HANDLE), text);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        WriteOut(GetStdHandle(STD_ERROR_HANDLE), "usage: hopwell-unzip ARCHIVE DIR\n");
        return 2;
    }
    // AppDirectory is a full path without a trailing backslash (except at a drive root).
    wchar_t full[32768];
    const DWORD length = GetFullPathNameW(argv[2], 32768, full, nullptr);
    std::wstring directory = length > 0 && length < 32768 ? std::wstring(full, length) : argv[2];
    if (directory.size() > 3 && directory.back() == L'\\') directory.pop_back();
    SetAppDirectory(directory);
    HWND sink = CreateWorkerSink([](const WorkerMessage& line) {
        WriteOut(GetStdHandle(STD_OUTPUT_HANDLE), WideToUtf8(line.text) + "\n");
    });
    // A journal names a version: one without reads as damaged, and would never be finished.
    const bool extracted = ExtractZip(argv[1], L"hopwell-unzip");
    if (extracted) CompleteCommit();
    if (sink) DestroyWorkerSink(sink);
    if (GetEnvironmentVariableW(L"HOPWELL_REPORT_MEMORY", nullptr, 0) > 0) ReportMemory();
    return extracted ? 0 : 1;
}
