#include "net/progress.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/worker_messages.h"

namespace {

// A message-only window that collects what the reporter posts.
class MessageSink {
public:
    MessageSink()
        : window_(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr)) {}
    ~MessageSink() {
        Take();
        DestroyWindow(window_);
    }
    HWND window() const { return window_; }

    // Every worker message posted so far, in order; each posted string is freed.
    std::vector<WorkerMessage> Take() {
        std::vector<WorkerMessage> taken;
        MSG msg;
        while (PeekMessageW(&msg, window_, WM_APP_PROGRESS, WM_APP_STATUS, PM_REMOVE)) {
            WorkerMessage message;
            if (TakeWorkerMessage(msg.message, msg.wParam, msg.lParam, message)) {
                taken.push_back(message);
            }
        }
        return taken;
    }

private:
    HWND window_;
};

class ProgressReporterTest : public testing::Test {
protected:
    MessageSink sink;
    uint64_t startTick = 100000;
    uint64_t lastReportTick = startTick;
    uint64_t stepNumber = 1;
    uint64_t stepCount = 1;
    HWND window = sink.window();
    std::wstring version = L"1.2.0";
    ProgressReporter reporter{lastReportTick, stepNumber, stepCount, window, startTick, version};

    // One report at startTick + ms: the bar position and the status text, or none.
    bool ReportAfter(uint64_t ms, uint64_t done, uint64_t total, int& percent,
                     std::wstring& status) {
        reporter.ReportAt(done, total, startTick + ms);
        const std::vector<WorkerMessage> posted = sink.Take();
        if (posted.empty()) return false;
        EXPECT_EQ(posted.size(), 2u);
        if (posted.size() != 2) return false;
        EXPECT_EQ(posted[0].message, WM_APP_PROGRESS);
        EXPECT_EQ(posted[1].message, WM_APP_STATUS);
        percent = posted[0].percent;
        status = posted[1].text;
        return true;
    }
    std::wstring StatusAfter(uint64_t ms, uint64_t done, uint64_t total) {
        int percent = 0;
        std::wstring status;
        EXPECT_TRUE(ReportAfter(ms, done, total, percent, status));
        return status;
    }
    int PercentAfter(uint64_t ms, uint64_t done, uint64_t total) {
        int percent = -1;
        std::wstring status;
        EXPECT_TRUE(ReportAfter(ms, done, total, percent, status));
        return percent;
    }
};

TEST_F(ProgressReporterTest, ThrottlesToOneReportPer200Milliseconds) {
    ASSERT_TRUE(sink.window());
    int percent = 0;
    std::wstring status;
    EXPECT_FALSE(ReportAfter(0, 1, 100, percent, status));
    EXPECT_FALSE(ReportAfter(199, 1, 100, percent, status));
    EXPECT_EQ(lastReportTick, startTick);
    EXPECT_TRUE(ReportAfter(200, 1, 100, percent, status));
    EXPECT_EQ(lastReportTick, startTick + 200);
    EXPECT_FALSE(ReportAfter(399, 2, 100, percent, status));
    EXPECT_TRUE(ReportAfter(400, 2, 100, percent, status));
    // The final report always passes.
    EXPECT_TRUE(ReportAfter(401, 100, 100, percent, status));
    EXPECT_EQ(lastReportTick, startTick + 401);
}

TEST_F(ProgressReporterTest, FormatsTheStatusLine) {
    stepNumber = 2;
    stepCount = 3;
    int percent = 0;
    std::wstring status;
    ASSERT_TRUE(ReportAfter(5320, 13107200, 41943040, percent, status));
    EXPECT_EQ(percent, 43);
    EXPECT_EQ(status, L"Đang tải 1.2.0 (12.50 MB/40.00 MB) - 31% @ 2.35 MB/s");
}

TEST_F(ProgressReporterTest, SharesTheBarEquallyBetweenSteps) {
    EXPECT_EQ(PercentAfter(1000, 50, 100), 50);
    stepNumber = 3;
    stepCount = 4;
    EXPECT_EQ(PercentAfter(2000, 0, 100), 50);
    EXPECT_EQ(PercentAfter(3000, 100, 100), 75);
    stepCount = 3;
    EXPECT_EQ(PercentAfter(4000, 99, 100), 99);  // (200 + 99) / 3, truncated
}

TEST_F(ProgressReporterTest, ShowsZeroPercentWithoutATotal) {
    stepNumber = 2;
    stepCount = 4;
    int percent = 0;
    std::wstring status;
    ASSERT_TRUE(ReportAfter(1000, 2048, 0, percent, status));
    EXPECT_EQ(percent, 25);
    EXPECT_EQ(status, L"Đang tải 1.2.0 (2.00 KB/0 B) - 0% @ 2.00 KB/s");
}

TEST_F(ProgressReporterTest, ShowsMoreThanAHundredPercentUnclamped) {
    int percent = 0;
    std::wstring status;
    ASSERT_TRUE(ReportAfter(1000, 150, 100, percent, status));
    EXPECT_EQ(percent, 150);
    EXPECT_EQ(status, L"Đang tải 1.2.0 (150 B/100 B) - 150% @ 150 B/s");
}

TEST_F(ProgressReporterTest, ShowsNoSpeedInTheFirstMillisecond) {
    EXPECT_EQ(StatusAfter(0, 5000, 5000), L"Đang tải 1.2.0 (4.88 KB/4.88 KB) - 100% @ 0 B/s");
}

TEST_F(ProgressReporterTest, SwitchesSpeedUnitsAtTheThresholds) {
    const uint64_t total = 4ULL << 40;
    auto speedOf = [&](uint64_t ms, uint64_t done) {
        const std::wstring status = StatusAfter(ms, done, total);
        return status.substr(status.find(L"@ ") + 2);
    };
    EXPECT_EQ(speedOf(500, 100), L"200 B/s");
    EXPECT_EQ(speedOf(3000, 3 * 1023), L"1023 B/s");
    EXPECT_EQ(speedOf(4000, 4 * 1024), L"1.00 KB/s");
    EXPECT_EQ(speedOf(5000, 5 * 1048575ULL), L"1024.00 KB/s");
    EXPECT_EQ(speedOf(6000, 6 * 1048576ULL), L"1.00 MB/s");
    EXPECT_EQ(speedOf(7000, 7 * 1073741824ULL), L"1024.00 MB/s");  // never GB/s
}

TEST_F(ProgressReporterTest, ReportsThroughTheCallOperator) {
    lastReportTick = startTick = GetTickCount64();
    reporter(10, 10);
    EXPECT_EQ(sink.Take().size(), 2u);
    EXPECT_GE(lastReportTick, startTick);
    ProgressCallback callback = reporter;
    callback(20, 20);
    EXPECT_EQ(sink.Take().size(), 2u);
}

TEST(FormatByteSize, SwitchesUnitsAtTheThresholds) {
    EXPECT_EQ(FormatByteSize(0), L"0 B");
    EXPECT_EQ(FormatByteSize(1023), L"1023 B");
    EXPECT_EQ(FormatByteSize(1024), L"1.00 KB");
    EXPECT_EQ(FormatByteSize(1536), L"1.50 KB");
    EXPECT_EQ(FormatByteSize(1048575), L"1024.00 KB");
    EXPECT_EQ(FormatByteSize(1048576), L"1.00 MB");
    EXPECT_EQ(FormatByteSize(13107200), L"12.50 MB");
    EXPECT_EQ(FormatByteSize(1073741823), L"1024.00 MB");
    EXPECT_EQ(FormatByteSize(1073741824), L"1.00 GB");
    EXPECT_EQ(FormatByteSize(5ULL << 40), L"5120.00 GB");
    EXPECT_EQ(FormatByteSize(UINT64_MAX), L"17179869184.00 GB");
}

}  // namespace
