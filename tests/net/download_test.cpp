#include "net/download.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <random>
#include <system_error>

#include "base/scoped_handle.h"
#include "base/sha256.h"
#include "tests/support/http_test_server.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr uint64_t kThreshold = 2097152;

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator() & 0xff);
    return bytes;
}

struct ProgressCall {
    uint64_t done;
    uint64_t total;
    DWORD thread;
    uint64_t tick;
};

class DownloadFileTest : public testing::Test {
protected:
    TempDir dir;
    HttpTestServer server;
    std::wstring destination = dir.File(L"1.2.0.zip");
    std::vector<ProgressCall> calls;

    ProgressCallback Recorder() {
        return [this](uint64_t done, uint64_t total) {
            calls.push_back({done, total, GetCurrentThreadId(), GetTickCount64()});
        };
    }
    std::wstring Part(int index) const { return destination + L".part" + std::to_wstring(index); }
    std::vector<std::string> RangesAsked(const std::string& path) const {
        std::vector<std::string> ranges;
        for (const TestRequest& request : server.Requests()) {
            if (request.path == path && request.method == "GET") {
                ranges.push_back(request.Header("range"));
            }
        }
        std::sort(ranges.begin(), ranges.end(), [](const std::string& a, const std::string& b) {
            return a.size() != b.size() ? a.size() < b.size() : a < b;
        });
        return ranges;
    }
};

TEST_F(DownloadFileTest, SegmentsAFileOfExactlyTwoMebibytes) {
    const std::string body = RandomBytes(kThreshold, 1);
    server.Route("/a.zip", {body});
    ASSERT_TRUE(DownloadFile(server.Url("/a.zip"), destination, Recorder()));
    EXPECT_EQ(ReadBytes(destination), body);
    EXPECT_EQ(server.Count("/a.zip", "HEAD"), 1);
    EXPECT_EQ(RangesAsked("/a.zip"),
              (std::vector<std::string>{"bytes=0-524287", "bytes=524288-1048575",
                                        "bytes=1048576-1572863", "bytes=1572864-2097151"}));
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(FileExists(Part(i))) << i;
    // Quick segments still get the report after the join.
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().done, kThreshold);
    EXPECT_EQ(calls.back().total, kThreshold);
}

TEST_F(DownloadFileTest, StreamsAFileOneByteBelowTheThreshold) {
    const std::string body = RandomBytes(kThreshold - 1, 2);
    server.Route("/a.zip", {body});
    ASSERT_TRUE(DownloadFile(server.Url("/a.zip"), destination, Recorder()));
    EXPECT_EQ(ReadBytes(destination), body);
    EXPECT_EQ(RangesAsked("/a.zip"), std::vector<std::string>{""});
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().done, kThreshold - 1);
}

TEST_F(DownloadFileTest, StreamsWhenRangesAreNotOffered) {
    const std::string body = RandomBytes(kThreshold + 10, 3);
    TestRoute none{body};
    none.acceptRanges = "none";
    TestRoute absent{body};
    absent.acceptRanges = "";
    TestRoute silentHead{body};
    silentHead.dropHead = true;
    server.Route("/none.zip", none);
    server.Route("/absent.zip", absent);
    server.Route("/silent.zip", silentHead);
    for (const std::string path : {"/none.zip", "/absent.zip", "/silent.zip"}) {
        ASSERT_TRUE(DownloadFile(server.Url(path), destination, Recorder())) << path;
        EXPECT_EQ(ReadBytes(destination), body) << path;
        EXPECT_EQ(RangesAsked(path), std::vector<std::string>{""}) << path;
    }
    // The single stream's result is passed on unchanged.
    TestRoute missing{"<html>gone</html>"};
    missing.status = 404;
    missing.dropHead = true;
    server.Route("/gone.zip", missing);
    EXPECT_FALSE(DownloadFile(server.Url("/gone.zip"), dir.File(L"gone.zip"), Recorder()));
}

TEST_F(DownloadFileTest, DigestsTheBytesAsTheyArrive) {
    // Dripped, so the hasher catches up with parts still being written and has to wait.
    const std::string body = RandomBytes(kThreshold + 4099, 9);
    std::string expected;
    ASSERT_TRUE(Sha256OfBytes(body, expected));
    TestRoute segmented{body};
    segmented.dripBytes = 65536;
    segmented.dripDelayMs = 10;
    TestRoute single = segmented;
    single.acceptRanges = "";
    server.Route("/segmented.zip", segmented);
    server.Route("/single.zip", single);
    for (const std::string path : {"/segmented.zip", "/single.zip"}) {
        std::string digest;
        ASSERT_TRUE(DownloadFile(server.Url(path), destination, Recorder(), kLowSpeedWindowMs,
                                 &digest))
            << path;
        EXPECT_EQ(digest, expected) << path;
        for (int i = 0; i < 4; ++i) EXPECT_FALSE(FileExists(Part(i))) << path << i;
    }
}

TEST_F(DownloadFileTest, GivesTheLastSegmentTheRemainder) {
    const uint64_t q = kThreshold / 4;
    const std::string body = RandomBytes(4 * q + 3, 4);
    server.Route("/a.zip", {body});
    ASSERT_TRUE(DownloadFile(server.Url("/a.zip"), destination, Recorder()));
    EXPECT_EQ(ReadBytes(destination), body);
    EXPECT_EQ(RangesAsked("/a.zip"),
              (std::vector<std::string>{"bytes=0-524287", "bytes=524288-1048575",
                                        "bytes=1048576-1572863", "bytes=1572864-2097154"}));
}

TEST_F(DownloadFileTest, OverwritesPartsOfAnEarlierAttempt) {
    const std::string body = RandomBytes(kThreshold, 5);
    server.Route("/a.zip", {body});
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(WriteBytes(Part(i), std::string(kThreshold, 'x')));
    ASSERT_TRUE(WriteBytes(destination, std::string(3 * kThreshold, 'y')));
    ASSERT_TRUE(DownloadFile(server.Url("/a.zip"), destination, Recorder()));
    EXPECT_EQ(ReadBytes(destination), body);
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(FileExists(Part(i))) << i;
}

// A server that offers ranges but answers a Range request with the whole file would otherwise
// yield four copies of the file joined together.
TEST_F(DownloadFileTest, FailsWhenASegmentIsNotTheRangeAskedFor) {
    const std::string body = RandomBytes(kThreshold, 6);
    TestRoute whole{body};
    whole.honourRange = false;
    TestRoute shifted{body};
    shifted.rangeShift = 1;
    TestRoute early{body};
    early.rangeShift = -1;
    server.Route("/whole.zip", whole);
    server.Route("/shifted.zip", shifted);
    server.Route("/early.zip", early);
    for (const std::string path : {"/whole.zip", "/shifted.zip", "/early.zip"}) {
        EXPECT_FALSE(DownloadFile(server.Url(path), destination, Recorder())) << path;
        EXPECT_FALSE(FileExists(destination)) << path;
        EXPECT_EQ(RangesAsked(path).size(), 4u) << path;
    }
}

// Parts of an earlier attempt with the right lengths must not stand in for failed segments.
TEST_F(DownloadFileTest, DoesNotMergeStalePartsForFailedSegments) {
    const std::string body = RandomBytes(kThreshold, 7);
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(WriteBytes(Part(i), body.substr(i * kThreshold / 4, kThreshold / 4)));
    }
    TestRoute whole{body};
    whole.honourRange = false;
    server.Route("/a.zip", whole);
    EXPECT_FALSE(DownloadFile(server.Url("/a.zip"), destination, Recorder()));
    EXPECT_FALSE(FileExists(destination));
}

TEST_F(DownloadFileTest, FailsOnADroppedSegmentAndKeepsTheParts) {
    const std::string body = RandomBytes(kThreshold, 8);
    TestRoute dropping{body};
    dropping.dropAfter = 100000;
    server.Route("/a.zip", dropping);
    EXPECT_FALSE(DownloadFile(server.Url("/a.zip"), destination, Recorder()));
    EXPECT_FALSE(FileExists(destination));
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(FileExists(Part(i))) << i;
        EXPECT_EQ(ReadBytes(Part(i)), body.substr(i * kThreshold / 4, 100000)) << i;
    }
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().done, 400000u);
}

TEST_F(DownloadFileTest, FailsWhenTheDestinationIsLockedAndKeepsTheParts) {
    const std::string body = RandomBytes(kThreshold, 9);
    server.Route("/a.zip", {body});
    ScopedFile holder(CreateFileW(destination.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_FALSE(DownloadFile(server.Url("/a.zip"), destination, Recorder()));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(ReadBytes(Part(i)), body.substr(i * kThreshold / 4, kThreshold / 4)) << i;
    }
}

TEST_F(DownloadFileTest, ReportsProgressOnTheCallingThreadOnly) {
    const std::string body = RandomBytes(kThreshold, 10);
    TestRoute slow{body};
    slow.dripBytes = 65536;
    slow.dripDelayMs = 60;  // about half a second per segment
    server.Route("/a.zip", slow);
    const uint64_t start = GetTickCount64();
    ASSERT_TRUE(DownloadFile(server.Url("/a.zip"), destination, Recorder()));
    EXPECT_EQ(ReadBytes(destination), body);
    ASSERT_GE(calls.size(), 2u);  // from the wait loop, then after the join
    EXPECT_GE(calls.front().tick - start, 200u);
    uint64_t previous = 0;
    for (const ProgressCall& call : calls) {
        EXPECT_EQ(call.thread, GetCurrentThreadId());
        EXPECT_EQ(call.total, kThreshold);
        EXPECT_GE(call.done, previous);
        previous = call.done;
    }
    EXPECT_EQ(calls.back().done, kThreshold);
}

// Lengths past 32 bits must still be split into the right four ranges.
TEST_F(DownloadFileTest, SegmentsLengthsOfFourGibibytesAndMore) {
    TestRoute huge{"tiny"};
    huge.contentLengthText = "5000000003";
    server.Route("/huge.zip", huge);
    EXPECT_FALSE(DownloadFile(server.Url("/huge.zip"), destination, Recorder()));
    EXPECT_EQ(RangesAsked("/huge.zip"),
              (std::vector<std::string>{"bytes=0-1249999999", "bytes=1250000000-2499999999",
                                        "bytes=2500000000-3749999999",
                                        "bytes=3750000000-5000000002"}));
    EXPECT_FALSE(FileExists(destination));
}

std::atomic<int> threadStarts{0};
std::atomic<int> workersFinished{0};

template <bool outOfMemory>
std::thread StartTwoThenFail(std::function<void()> work) {
    if (++threadStarts > 2) {
        if (outOfMemory) throw std::bad_alloc();
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    return std::thread([work] {
        work();
        ++workersFinished;
    });
}

TEST_F(DownloadFileTest, FailsCleanlyWhenAWorkerCannotStart) {
    TestRoute slow{RandomBytes(kThreshold, 12)};
    slow.dripBytes = 131072;
    slow.dripDelayMs = 50;
    server.Route("/a.zip", slow);
    auto original = StartSegmentThread;
    for (auto start : {StartTwoThenFail<false>, StartTwoThenFail<true>}) {
        threadStarts = 0;
        workersFinished = 0;
        StartSegmentThread = start;
        const bool result = DownloadFile(server.Url("/a.zip"), destination, Recorder());
        StartSegmentThread = original;
        EXPECT_FALSE(result);
        EXPECT_EQ(threadStarts.load(), 3);
        EXPECT_EQ(workersFinished.load(), 2);  // both started workers were joined
        EXPECT_FALSE(FileExists(destination));
    }
}

}  // namespace
