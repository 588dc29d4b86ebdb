// Test entry point: every test program gets its own fresh AppDirectory.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>

#include "base/app_directory.h"
#include "tests/support/support.h"

namespace {

// Wine's debugger ends a crashed program with exit code 0, which would read as a pass.
LONG WINAPI FailOnCrash(EXCEPTION_POINTERS* crash) {
    std::fprintf(stderr, "crashed: exception 0x%08lx at %p\n",
                 crash->ExceptionRecord->ExceptionCode, crash->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetUnhandledExceptionFilter(FailOnCrash);
    testing::InitGoogleTest(&argc, argv);
    TempDir appDirectory;
    SetAppDirectory(appDirectory.path());
    return RUN_ALL_TESTS();
}
