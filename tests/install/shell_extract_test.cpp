#include "install/shell_extract.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <thread>

#include "base/app_directory.h"
#include "tests/install/host_paths.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

double Milliseconds() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Outcome {
    bool result = false;
    double milliseconds = 0;
};

Outcome TimedShellExtract(const std::wstring& path) {
    const double start = Milliseconds();
    Outcome outcome;
    outcome.result = ShellExtractZip(path);
    outcome.milliseconds = Milliseconds() - start;
    return outcome;
}

// Runs on a thread of its own, so that each case starts from a thread without COM.
template <typename Body>
void OnFreshThread(Body body) {
    std::thread thread(body);
    thread.join();
}

class ShellExtractZipTest : public testing::Test {
protected:
    void SetUp() override {
        ClearDirectory(AppDirectory());
        // The first use loads the shell; later calls are quick unless they wait.
        static const bool warm = ShellExtractZip(L"C:\\hopwell-missing\\warm-up.zip");
        (void)warm;
    }
    void TearDown() override { ClearDirectory(AppDirectory()); }
    LogCapture log_;
};

}  // namespace

TEST_F(ShellExtractZipTest, NoFolderForTheArchiveFailsWithoutTheWait) {
    OnFreshThread([] {
        const Outcome outcome = TimedShellExtract(L"C:\\hopwell-missing\\update.zip");
        EXPECT_FALSE(outcome.result);
        EXPECT_LT(outcome.milliseconds, 400.0);
        // COM is left as it was found: not initialised, so any model may be chosen now.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    });
    EXPECT_TRUE(log_.Text().empty());
}

TEST_F(ShellExtractZipTest, RealArchiveSucceedsOnlyWhenItsFilesArrive) {
    // Wine's shell gives no folder object for a ZIP file, so there the result is false with
    // nothing written; the Windows shell unpacks it.
    OnFreshThread([this] {
        const Outcome outcome = TimedShellExtract(TestArchive(L"with_dirs.zip"));
        EXPECT_EQ(outcome.result, FileExists(AppDirectory() + L"\\sub\\deeper\\numbers.txt"));
        if (!outcome.result) {
            EXPECT_LT(outcome.milliseconds, 400.0);
        }
    });
    EXPECT_TRUE(log_.Text().empty());
}

TEST_F(ShellExtractZipTest, CopyRequestIsFollowedByTheSettleWait) {
    // A plain directory has a folder object everywhere, so the request reaches CopyHere.
    // (Wine refuses the request itself; Windows copies the directory's items.)
    OnFreshThread([this] {
        const Outcome outcome = TimedShellExtract(TestArchive(L"tree"));
        EXPECT_GE(outcome.milliseconds, 490.0);
        EXPECT_EQ(outcome.result, FileExists(AppDirectory() + L"\\a.txt"));
    });
}

TEST_F(ShellExtractZipTest, CallerInTheMultithreadedApartmentKeepsIt) {
    OnFreshThread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        // The call's own single-threaded initialisation fails; it still runs to the request.
        const Outcome outcome = TimedShellExtract(TestArchive(L"tree"));
        EXPECT_GE(outcome.milliseconds, 490.0);
        // Still in the multithreaded apartment: a further initialisation only counts up.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
        CoUninitialize();
        CoUninitialize();
    });
}

TEST_F(ShellExtractZipTest, CallerInASingleThreadedApartmentKeepsIt) {
    OnFreshThread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_FALSE(TimedShellExtract(L"C:\\hopwell-missing\\update.zip").result);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
    });
}
