// Test entry point: every test program gets its own fresh AppDirectory.
#include <gtest/gtest.h>

#include "base/app_directory.h"
#include "tests/support/support.h"

int wmain(int argc, wchar_t** argv) {
    testing::InitGoogleTest(&argc, argv);
    TempDir appDirectory;
    SetAppDirectory(appDirectory.path());
    return RUN_ALL_TESTS();
}
