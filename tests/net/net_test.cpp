// The download engine against the misbehaving test server, and the progress reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <system_error>
#include <thread>
#include <tuple>

#include "base/text.h"
#include "net/download.h"
#include "net/http_client.h"
#include "net/http_request.h"
#include "tests/support/support.h"
#include "tools/worker_sink.h"

namespace {

constexpr uint64_t kThreshold = 2097152;  // the smallest file fetched in four ranges

std::string RandomBytes(size_t size) {
    static std::mt19937 generator(11);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator());
    return bytes;
}

// Puts bytes on the test server under a name of this test's own; returns its path.
std::string Serve(const std::string& bytes, const std::string& suffix = "") {
    const std::string name =
        testing::UnitTest::GetInstance()->current_test_info()->name() + suffix + ".bin";
    EXPECT_TRUE(WriteBytes(ServerFile(name), bytes));
    return "/" + name;
}

// The Range lines of the GETs for a path, in the order of the four segments.
std::vector<std::string> RangesAsked(const std::string& path) {
    std::vector<std::string> ranges;
    for (const auto& request : ServerRequests(path))
        if (request[0] == "GET") ranges.push_back(request[2]);
    std::sort(ranges.begin(), ranges.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return ranges;
}

struct Reports {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    std::vector<DWORD> threads;
    uint64_t firstTick = 0;
    ProgressCallback Callback() {
        return [this](uint64_t done, uint64_t total) {
            if (calls.empty()) firstTick = GetTickCount64();
            calls.emplace_back(done, total);
            threads.push_back(GetCurrentThreadId());
        };
    }
};

TEST(HttpGetToMemory, KeepsWhatArrivedAndFailsOnlyWithoutAnAnswer) {
    const std::string body = RandomBytes(100000);
    const std::string path = Serve(body), empty = Serve("", "-empty");
    const struct {
        std::wstring url;
        bool answered;
        std::string body;
    } rows[] = {
        {ServerUrl(path), true, body},
        {ServerUrl(path + "?status=404"), true, body},  // an error page is a body as well
        {ServerUrl(empty), true, ""},
        {ServerUrl(path + "?drop=40000"), true, body.substr(0, 40000)},
        {ServerUrl(path + "?length=none"), true, body},
        {ServerUrl(path + "?gzip"), true, body},  // never gzip that nobody decodes
        {L"http://127.0.0.1:1/version.json", false, "untouched"},
        {L"http://" + std::wstring(300, L'h') + L"/version.json", false, "untouched"},
    };
    for (const auto& row : rows) {
        std::string got = "untouched";
        EXPECT_EQ(HttpGetToMemory(row.url, got), row.answered) << WideToUtf8(row.url);
        EXPECT_TRUE(got == row.body) << WideToUtf8(row.url) << ": " << got.size() << " bytes";
    }
}

TEST(HttpProbe, ReadsLengthAndRangesAndResetsThem) {
    const std::string path = Serve("12345");
    const struct {
        std::string query;
        bool answered;
        uint64_t length;
        bool ranges;
    } rows[] = {
        {"", true, 5, true},           {"?ranges=none", true, 5, false},
        {"?ranges=", true, 5, false},  {"?ranges=x-bytes-y", true, 5, true},
        {"?length=none", true, 0, true}, {"?drophead", false, 0, false},
    };
    for (const auto& row : rows) {
        uint64_t length = 77;
        bool ranges = !row.ranges;
        EXPECT_EQ(HttpProbe(ServerUrl(path + row.query), length, ranges), row.answered) << row.query;
        EXPECT_EQ(length, row.length) << row.query;
        EXPECT_EQ(ranges, row.ranges) << row.query;
    }
    EXPECT_EQ(ServerRequests(path).size(), std::size(rows));  // a probe is one HEAD, nothing more
}

TEST(ParseUnsigned64, TakesPlainDecimalsOnly) {
    for (const auto& [text, ok, value] : {std::tuple{L"0", true, 0ULL},
                                          {L"18446744073709551615", true, UINT64_MAX},
                                          {L"18446744073709551616", false, 7ULL},
                                          {L"", false, 7ULL},
                                          {L"-1", false, 7ULL},
                                          {L"12a", false, 7ULL}}) {
        uint64_t parsed = 7;
        EXPECT_EQ(ParseUnsigned64(text, parsed), ok) << WideToUtf8(text);
        EXPECT_EQ(parsed, value) << WideToUtf8(text);
    }
}

TEST(DownloadSingleStream, WritesOnlyWholeBodiesOfSuccessfulAnswers) {
    const std::string body = RandomBytes(1500000);
    const std::string path = Serve(body), empty = Serve("", "-empty");
    TempDir dir;
    const std::wstring destination = dir.File(L"1.0.0.zip");
    const std::string untouched = "an older file, longer than nothing";
    const struct {
        std::wstring url;
        bool ok;
        std::string file;  // what the destination holds afterwards
        uint64_t total;    // of every report
    } rows[] = {
        {ServerUrl(path), true, body, body.size()},
        {ServerUrl(path + "?length=none"), true, body, 0},
        {ServerUrl(empty), true, "", 0},
        {ServerUrl(path + "?gzip"), true, body, body.size()},
        {ServerUrl(path + "?drop=300000"), false, body.substr(0, 300000), body.size()},
        {ServerUrl(path + "?status=404"), false, untouched, 0},
        {ServerUrl(path + "?status=500"), false, untouched, 0},
        {L"http://127.0.0.1:1/1.0.0.zip", false, untouched, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(WideToUtf8(row.url));
        ASSERT_TRUE(WriteBytes(destination, untouched));
        Reports reports;
        EXPECT_EQ(DownloadSingleStream(row.url, destination, reports.Callback()), row.ok);
        EXPECT_TRUE(ReadBytes(destination) == row.file);
        uint64_t previous = 0;
        for (const auto& [done, total] : reports.calls) {
            EXPECT_GT(done, previous);
            EXPECT_EQ(total, row.total);
            previous = done;
        }
        if (row.ok) {
            EXPECT_EQ(previous, row.file.size());
        }
    }
    EXPECT_FALSE(DownloadSingleStream(ServerUrl(path), dir.File(L"missing\\1.0.0.zip"), nullptr));
    EXPECT_TRUE(DownloadSingleStream(ServerUrl(path), destination, nullptr));
    // A body longer than its Content-Length is never taken whole.
    const bool ok = DownloadSingleStream(ServerUrl(path + "?length=5000"), destination, nullptr);
    EXPECT_TRUE(!ok || ReadBytes(destination) == body.substr(0, 5000));
}

TEST(DownloadFile, SegmentsFromTwoMebibytesWhenRangesAreOffered) {
    const std::string exact = RandomBytes(kThreshold), odd = RandomBytes(kThreshold + 3);
    const std::vector<std::string> four = {"bytes=0-524287", "bytes=524288-1048575",
                                           "bytes=1048576-1572863", "bytes=1572864-2097151"};
    const std::vector<std::string> remainder = {"bytes=0-524287", "bytes=524288-1048575",
                                                "bytes=1048576-1572863", "bytes=1572864-2097154"};
    const struct {
        std::string body, suffix, query;
        std::vector<std::string> ranges;
    } rows[] = {
        {exact, "-exact", "", four},
        {odd, "-remainder", "", remainder},
        {exact.substr(1), "-short", "", {""}},
        {odd, "-none", "?ranges=none", {""}},
        {odd, "-absent", "?ranges=", {""}},
        {odd, "-silent", "?drophead", {""}},
    };
    TempDir dir;
    const std::wstring destination = dir.File(L"1.2.0.zip");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.suffix);
        const std::string path = Serve(row.body, row.suffix);
        // Parts and a destination of an earlier attempt are overwritten.
        for (int i = 0; i < 4; ++i)
            WriteBytes(destination + L".part" + std::to_wstring(i), std::string(kThreshold, 'x'));
        WriteBytes(destination, std::string(3 * kThreshold, 'y'));
        Reports reports;
        ASSERT_TRUE(DownloadFile(ServerUrl(path + row.query), destination, reports.Callback()));
        EXPECT_TRUE(ReadBytes(destination) == row.body);
        EXPECT_EQ(RangesAsked(path), row.ranges);
        ASSERT_FALSE(reports.calls.empty());
        EXPECT_EQ(reports.calls.back(), std::make_pair<uint64_t>(row.body.size(), row.body.size()));
        for (int i = 0; i < 4 && row.ranges.size() == 4; ++i)
            EXPECT_FALSE(FileExists(destination + L".part" + std::to_wstring(i)));
    }
}

TEST(DownloadFile, FailsUnlessEverySegmentIsTheRangeAskedFor) {
    const std::string body = RandomBytes(kThreshold);
    const std::string path = Serve(body);
    const std::string quarter = body.substr(0, kThreshold / 4);
    TempDir dir;
    const std::wstring destination = dir.File(L"1.2.0.zip");
    auto part = [&](int i) { return destination + L".part" + std::to_wstring(i); };
    // Parts of an earlier attempt with the right lengths must not stand in for failed segments.
    for (const std::string query : {"?whole", "?shift=1", "?shift=-1", "?drop=100000"}) {
        SCOPED_TRACE(query);
        for (int i = 0; i < 4; ++i) WriteBytes(part(i), body.substr(i * quarter.size(), quarter.size()));
        Reports reports;
        EXPECT_FALSE(DownloadFile(ServerUrl(path + query), destination, reports.Callback()));
        EXPECT_FALSE(FileExists(destination));
        ASSERT_FALSE(reports.calls.empty());
        EXPECT_EQ(reports.calls.back().second, kThreshold);
    }
    // The parts of a dropped download stay as written; so do whole parts that cannot be
    // joined because the destination is held.
    EXPECT_EQ(ReadBytes(part(3)), body.substr(3 * quarter.size(), 100000));
    ScopedFile holder(CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_FALSE(DownloadFile(ServerUrl(path), destination, nullptr));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ReadBytes(part(i)), body.substr(i * quarter.size(), quarter.size()));
}

TEST(DownloadFile, ReportsOnTheCallingThreadAsTheSegmentsGo) {
    const std::string path = Serve(RandomBytes(kThreshold));
    TempDir dir;
    Reports reports;
    const uint64_t start = GetTickCount64();
    ASSERT_TRUE(DownloadFile(ServerUrl(path + "?slow=60"), dir.File(L"a.zip"), reports.Callback()));
    ASSERT_GE(reports.calls.size(), 2u);  // from the wait loop, then after the join
    EXPECT_GE(reports.firstTick - start, 200u);
    for (size_t i = 0; i < reports.calls.size(); ++i) {
        EXPECT_EQ(reports.threads[i], GetCurrentThreadId());
        EXPECT_EQ(reports.calls[i].second, kThreshold);
        EXPECT_GE(reports.calls[i].first, i ? reports.calls[i - 1].first : 0);
    }
    EXPECT_EQ(reports.calls.back().first, kThreshold);
}

TEST(DownloadFile, SplitsLengthsBeyondFourGibibytes) {
    const std::string path = Serve("tiny");
    TempDir dir;
    Reports reports;
    EXPECT_FALSE(DownloadFile(ServerUrl(path + "?length=5000000003"), dir.File(L"a.zip"),
                              reports.Callback()));
    EXPECT_EQ(RangesAsked(path),
              (std::vector<std::string>{"bytes=0-1249999999", "bytes=1250000000-2499999999",
                                        "bytes=2500000000-3749999999",
                                        "bytes=3750000000-5000000002"}));
    ASSERT_FALSE(reports.calls.empty());
    EXPECT_EQ(reports.calls.back().second, 5000000003ULL);
}

std::atomic<int> threadStarts{0}, workersJoined{0};

TEST(DownloadFile, AWorkerThatCannotStartFailsItAfterTheOthersAreJoined) {
    const std::string path = Serve(RandomBytes(kThreshold));
    auto original = StartSegmentThread;
    StartSegmentThread = [](std::function<void()> work) {
        if (++threadStarts > 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread([work] {
            work();
            ++workersJoined;
        });
    };
    TempDir dir;
    EXPECT_FALSE(DownloadFile(ServerUrl(path + "?slow=50"), dir.File(L"a.zip"), nullptr));
    StartSegmentThread = original;
    EXPECT_EQ(threadStarts.load(), 3);
    EXPECT_EQ(workersJoined.load(), 2);
    EXPECT_FALSE(FileExists(dir.File(L"a.zip")));
}

TEST(ProgressReporter, PostsThrottledReportsOfTheWholeUpdate) {
    std::vector<WorkerMessage> posted;
    HWND window = CreateWorkerSink([&](const WorkerMessage& m) { posted.push_back(m); });
    uint64_t startTick = 100000, lastTick = startTick, step = 0, steps = 0;
    const std::wstring version = L"1.2.0";
    const ProgressReporter reporter{lastTick, step, steps, window, startTick, version};
    const struct {
        uint64_t ms, done, total, step, steps;
        const wchar_t* status;  // after "Đang tải 1.2.0 "; null: no report
        int percent;
    } rows[] = {
        {0, 5000, 5000, 1, 1, L"(4.88 KB/4.88 KB) - 100% @ 0 B/s", 100},
        {199, 1, 100, 1, 1, nullptr, 0},
        {200, 1, 100, 1, 1, L"(1 B/100 B) - 1% @ 5 B/s", 1},
        {399, 2, 100, 1, 1, nullptr, 0},
        {400, 2, 100, 1, 1, L"(2 B/100 B) - 2% @ 5 B/s", 2},
        {401, 100, 100, 1, 1, L"(100 B/100 B) - 100% @ 249 B/s", 100},  // the last always goes
        {5320, 13107200, 41943040, 2, 3, L"(12.50 MB/40.00 MB) - 31% @ 2.35 MB/s", 43},
        {6000, 2048, 0, 2, 4, L"(2.00 KB/0 B) - 0% @ 341 B/s", 25},
        {7000, 150, 100, 3, 3, L"(150 B/100 B) - 150% @ 21 B/s", 116},
        {8000, 8184, 8184, 1, 1, L"(7.99 KB/7.99 KB) - 100% @ 1023 B/s", 100},
        {9000, 9216, 9216, 1, 1, L"(9.00 KB/9.00 KB) - 100% @ 1.00 KB/s", 100},
        {10000, 10485750, 10485750, 1, 1, L"(10.00 MB/10.00 MB) - 100% @ 1024.00 KB/s", 100},
        {11000, 11534336, 11534336, 1, 1, L"(11.00 MB/11.00 MB) - 100% @ 1.00 MB/s", 100},
        {12000, 12ULL << 30, 12ULL << 30, 1, 1, L"(12.00 GB/12.00 GB) - 100% @ 1024.00 MB/s", 100},
        {13000, 1023, 1024, 1, 1, L"(1023 B/1.00 KB) - 99% @ 79 B/s", 99},
        {14000, 1048575, 1048576, 1, 1, L"(1024.00 KB/1.00 MB) - 99% @ 73.14 KB/s", 99},
        {15000, 1073741823, 1ULL << 30, 1, 1, L"(1024.00 MB/1.00 GB) - 99% @ 68.27 MB/s", 99},
    };
    for (const auto& row : rows) {
        step = row.step;
        steps = row.steps;
        reporter.ReportAt(row.done, row.total, startTick + row.ms);
        PumpUntil([] { return false; }, 0);
        if (!row.status) {
            EXPECT_TRUE(posted.empty()) << row.ms;
            continue;
        }
        ASSERT_EQ(posted.size(), 2u) << row.ms;
        EXPECT_EQ(posted[0].message, WM_APP_PROGRESS);
        EXPECT_EQ(posted[0].percent, row.percent) << row.ms;
        EXPECT_EQ(posted[1].text, std::wstring(L"Đang tải 1.2.0 ") + row.status);
        posted.clear();
    }
    DestroyWorkerSink(window);
}

}  // namespace
