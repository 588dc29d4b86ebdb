// The console tool: what it prints and its exit code.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "base/scoped_handle.h"
#include "tests/install/host_paths.h"
#include "tests/support/temp_dir.h"

namespace {

struct ToolRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;
};

ToolRun RunTool(const std::wstring& archive, const std::wstring& directory) {
    ToolRun run;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return run;
    ScopedHandle reader(readEnd);
    ScopedHandle writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring command = L"\"" + HostPath(HOPWELL_UNZIP_TOOL) + L"\" \"" + archive + L"\" \"" +
                           directory + L"\"";
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process))
        return run;
    ScopedHandle processHandle(process.hProcess);
    ScopedHandle threadHandle(process.hThread);
    writer.reset();  // the child holds the only write end now

    // Read until the tool has ended. The end of the pipe is no sign: helper processes that
    // the tool's first window starts under Wine may inherit the write end and outlive it.
    const ULONGLONG deadline = GetTickCount64() + 60000;
    for (;;) {
        const bool ended = WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0;
        DWORD available = 0;
        while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            char buffer[4096];
            DWORD got = 0;
            if (!ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
            run.output.append(buffer, got);
        }
        if (ended || GetTickCount64() > deadline) break;
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    return run;
}

}  // namespace

TEST(UnzipTool, PrintsEachLineAndExitsWithTheResult) {
    TempDir directory;
    ToolRun run = RunTool(TestArchive(L"with_dirs.zip"), directory.path());
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output, "Miniz giải nén thành công!\n");
    EXPECT_EQ(ReadBytes(directory.File(L"a.txt")), "hello\r\n");

    const std::wstring notZip = directory.File(L"a.txt");
    run = RunTool(notZip, directory.path());
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.output, "Không thể khởi tạo miniz reader\n");

    // The destination is AppDirectory: one that cannot be made is reported as such.
    const std::wstring badDirectory = directory.File(L"bad<name");
    run = RunTool(notZip, badDirectory);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.output, "Không thể tạo thư mục đích: " + WideToUtf8(badDirectory) + "\n");
}
