// The download engine against the misbehaving test server (tests/support/http_server.py,
// started by a ctest fixture that names its directory in HOPWELL_TEST_SERVER).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <new>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "base/scoped_handle.h"
#include "base/sha256.h"
#include "base/text.h"
#include "net/download.h"
#include "net/download_record.h"
#include "net/http_client.h"
#include "net/http_request.h"
#include "tests/support/support.h"
#include "tools/worker_sink.h"

// While set, allocations of 200000 bytes and more fail on every thread but the test's own, as
// when memory runs out for a segment's buffer.
std::atomic<DWORD> failAllocationsOffThread{0};

void* operator new(size_t size) {
    const DWORD spared = failAllocationsOffThread;
    if (spared != 0 && size >= 200000 && GetCurrentThreadId() != spared) throw std::bad_alloc();
    if (void* block = std::malloc(size != 0 ? size : 1)) return block;  // freed with free()
    throw std::bad_alloc();
}

namespace {

constexpr uint64_t kThreshold = 2097152;  // the smallest file fetched in four ranges

std::string RandomBytes(size_t size) {
    static std::mt19937 generator(11);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator());
    return bytes;
}

// Serves bytes under a name of the running test's own; returns the path.
std::string Put(const std::string& bytes, const std::string& suffix = "") {
    const std::string name =
        testing::UnitTest::GetInstance()->current_test_info()->name() + suffix + ".bin";
    Serve(name, bytes);
    return "/" + name;
}

// The Range lines of the GETs of a path, ordered by their first byte.
std::vector<std::string> RangesAsked(const std::string& path) {
    std::vector<std::string> ranges = Gets(path);
    std::sort(ranges.begin(), ranges.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return ranges;
}

// Retries at once, so that a test of them takes milliseconds.
RetryPolicy Quick(int triesPerRange = 5, uint64_t freeTryBytes = 1048576) {
    RetryPolicy policy;
    policy.firstWaitMs = policy.maxWaitMs = 1;
    policy.triesPerRange = triesPerRange;
    policy.freeTryBytes = freeTryBytes;
    return policy;
}

DownloadOptions With(const RetryPolicy& policy, std::string* digest = nullptr,
                     DWORD lowSpeedWindowMs = kLowSpeedWindowMs) {
    DownloadOptions options;
    options.retry = policy;
    options.digest = digest;
    options.lowSpeedWindowMs = lowSpeedWindowMs;
    return options;
}

// Every report, done and total, and when the first came. Reports come on the calling thread,
// never from a segment's.
struct Reports {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    uint64_t begun = GetTickCount64(), first = 0;
    ProgressCallback Callback() {
        return [this, caller = GetCurrentThreadId()](uint64_t done, uint64_t total) {
            EXPECT_EQ(GetCurrentThreadId(), caller);
            if (calls.empty()) first = GetTickCount64() - begun;
            calls.emplace_back(done, total);
        };
    }
    uint64_t LastDone() const { return calls.empty() ? 0 : calls.back().first; }
};

TEST(HttpGetToMemory, TakesOnlyWholeSuccessfulAnswersRetryingTransientFaults) {
    const std::string body = RandomBytes(100000);
    const std::string huge(17 << 20, ' ');  // more than any manifest
    const struct {
        std::string served, query;
        bool answered;
        size_t gets;  // made for it
    } rows[] = {
        {huge, "", false, 1}, {body, "", true, 1}, {"", "", true, 1},
        {body, "?length=none", true, 1},
        {body, "?gzip", true, 1},  // gzip is asked for only where it is decoded
        {body, "?status=404", false, 1},  // an error page is no manifest
        {body, "?busy=3", true, 4}, {body, "?busy=4", false, 4},
        {body, "?drop=40000&dropfor=1", true, 2}, {body, "?drop=40000", false, 4},
    };
    int n = 0;
    for (const auto& row : rows) {
        const std::string path = Put(row.served, std::to_string(n++));
        std::string got = "untouched";
        EXPECT_EQ(HttpGetToMemory(ServerUrl(path + row.query), got, kLowSpeedWindowMs, Quick()),
                  row.answered)
            << row.query;
        EXPECT_TRUE(got == (row.answered ? row.served : "untouched")) << row.query;
        EXPECT_EQ(Gets(path).size(), row.gets) << row.query;
    }
}

// Content-Length and Content-Range numbers: digits only, and never past 64 bits.
TEST(ParseUnsigned64, TakesPlainDecimalsThatFitOnly) {
    uint64_t value = 7;
    EXPECT_TRUE(ParseUnsigned64(L"18446744073709551615", value) && value == UINT64_MAX);
    for (const wchar_t* text : {L"18446744073709551616", L"99999999999999999999", L"", L"-1", L"1a"})
        EXPECT_FALSE(ParseUnsigned64(text, value)) << WideToUtf8(text);
    EXPECT_EQ(value, UINT64_MAX);
}

TEST(DownloadSingleStream, WritesOnlyWholeBodiesOfSuccessfulAnswers) {
    const std::string body = RandomBytes(1500000);
    const std::string path = Put(body), empty = Put("", "-empty");
    TempDir dir;
    const std::wstring destination = dir.File(L"1.0.0.zip");
    const std::string old = "an older file, longer than nothing";
    const struct {
        std::wstring url;
        bool ok;
        std::string file;  // the destination afterwards, named only once whole
        std::string part;  // what is left in its part; "" also for none
        uint64_t total;    // of every report
    } rows[] = {
        {ServerUrl(path), true, body, "", body.size()},
        {ServerUrl(path + "?length=none"), true, body, "", 0},
        {ServerUrl(empty), true, "", "", 0},
        {ServerUrl(path + "?gzip"), true, body, "", body.size()},
        {ServerUrl(path + "?drop=300000"), false, old, body.substr(0, 300000), body.size()},
        {ServerUrl(path + "?status=404"), false, old, "", 0},
        {L"http://127.0.0.1:1/1.0.0.zip", false, old, "", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(WideToUtf8(row.url));
        ASSERT_TRUE(WriteStringToFile(destination, old));
        ASSERT_TRUE(WriteStringToFile(destination + L".part", "a part of no record"));
        Reports reports;
        EXPECT_EQ(DownloadSingleStream(row.url, destination, reports.Callback(), With(Quick(1))),
                  row.ok);
        EXPECT_TRUE(ReadBytes(destination) == row.file);
        EXPECT_TRUE(ReadBytes(destination + L".part") == row.part);
        for (size_t i = 0; i < reports.calls.size(); ++i) {
            EXPECT_GT(reports.calls[i].first, i ? reports.calls[i - 1].first : 0);
            EXPECT_EQ(reports.calls[i].second, row.total);
        }
        EXPECT_TRUE(!row.ok || reports.LastDone() == row.file.size());
    }
    EXPECT_FALSE(DownloadSingleStream(ServerUrl(path), dir.File(L"missing\\1.0.0.zip"), nullptr));
    EXPECT_TRUE(DownloadSingleStream(ServerUrl(path), destination, nullptr));
    // A coded body that identity was asked for: nothing decoded it, its length is compared.
    EXPECT_FALSE(DownloadSingleStream(ServerUrl(path + "?gzip=always&drop=20000"), destination,
                                      nullptr, With(Quick(1))));
    EXPECT_EQ(ReadBytes(destination + L".part").size(), 20000u);
}

TEST(DownloadFile, SegmentsFromTwoMebibytesWhenRangesAreOffered) {
    const std::string exact = RandomBytes(kThreshold), odd = RandomBytes(kThreshold + 3);
    const std::vector<std::string> four = {"bytes=0-524287", "bytes=524288-1048575",
                                           "bytes=1048576-1572863", "bytes=1572864-2097151"};
    std::vector<std::string> remainder = four;
    remainder[3] = "bytes=1572864-2097154";  // the last range takes what is left
    const struct {
        std::string body, suffix, query;
        std::vector<std::string> ranges;
    } rows[] = {
        {exact, "-exact", "", four},          {odd, "-remainder", "", remainder},
        {exact.substr(1), "-short", "", {""}}, {odd, "-none", "?ranges=none", {""}},
        {odd, "-absent", "?ranges=", {""}},   {odd, "-silent", "?drophead", {""}},
        {exact, "-slow", "?slow=60", four},  // half a second a segment: reports as they go
        {odd, "-slow-stream", "?slow=10&ranges=", {""}},
    };
    TempDir dir;
    const std::wstring destination = dir.File(L"1.2.0.zip");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.suffix);
        const std::string path = Put(row.body, row.suffix);
        // What an earlier attempt left is overwritten.
        for (int i = 0; i < 4; ++i)
            WriteStringToFile(destination + L".part" + std::to_wstring(i),
                              std::string(kThreshold, 'x'));
        WriteStringToFile(destination, std::string(3 * kThreshold, 'y'));
        Reports reports;
        std::string digest, expected;  // of the bytes as they arrive
        ASSERT_TRUE(DownloadFile(ServerUrl(path + row.query), destination, reports.Callback(),
                                 With(Quick(), &digest)));
        EXPECT_TRUE(ReadBytes(destination) == row.body);
        EXPECT_TRUE(Sha256OfBytes(row.body, expected) && digest == expected);
        EXPECT_EQ(RangesAsked(path), row.ranges);
        EXPECT_EQ(reports.calls.back(), std::make_pair<uint64_t>(row.body.size(), row.body.size()));
        for (size_t i = 1; i < reports.calls.size(); ++i)
            EXPECT_GE(reports.calls[i].first, reports.calls[i - 1].first);
        if (row.suffix == "-slow") {  // from the wait loop, after 200 ms, then after the join
            EXPECT_GE(reports.calls.size(), 2u);
            EXPECT_GE(reports.first, 200u);
        }
        for (int i = 0; i < 4 && row.ranges.size() == 4; ++i)
            EXPECT_FALSE(FileExists(destination + L".part" + std::to_wstring(i)));
    }
}

// Parts of an earlier attempt, right in length, must not stand in for failed segments. A
// length beyond 4 GiB is split as any other.
TEST(DownloadFile, FailsUnlessEverySegmentIsTheRangeAskedFor) {
    const std::string body = RandomBytes(kThreshold);
    const size_t q = kThreshold / 4;
    TempDir dir;
    const std::wstring destination = dir.File(L"1.2.0.zip");
    auto part = [&](int i) { return destination + L".part" + std::to_wstring(i); };
    int n = 0;
    for (const std::string query :
         {"?whole", "?shift=1", "?shift=-1", "?total=2097153", "?length=5000000003"}) {
        SCOPED_TRACE(query);
        const std::string path = Put(body, std::to_string(n++));
        for (int i = 0; i < 4; ++i) WriteStringToFile(part(i), body.substr(i * q, q));
        Reports reports;
        EXPECT_FALSE(DownloadFile(ServerUrl(path + query), destination, reports.Callback()));
        EXPECT_FALSE(FileExists(destination));
        const bool beyond = query == "?length=5000000003";
        EXPECT_EQ(reports.calls.back().second, beyond ? 5000000003ULL : kThreshold);
        if (beyond) {
            EXPECT_EQ(RangesAsked(path),
                      (std::vector<std::string>{"bytes=0-1249999999", "bytes=1250000000-2499999999",
                                                "bytes=2500000000-3749999999",
                                                "bytes=3750000000-5000000002"}));
        }
    }
    // Whole parts that cannot be joined because the destination is held stay as written.
    ScopedFile holder(
        CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    EXPECT_FALSE(DownloadFile(ServerUrl(Put(body)), destination, nullptr));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ReadBytes(part(i)), body.substr(i * q, q));
}

// A byte every 100 ms never trips WinHTTP's per-read time-outs, yet fails within the window;
// 2 KiB every 100 ms is slow but steady, and lasts longer than the window.
TEST(LowestSpeed, TransfersBelowItFailWithinTheirWindow) {
    constexpr DWORD kWindow = 500;
    const std::string trickle = Put(std::string(kThreshold, 't')) + "?slow=100&piece=1";
    const std::string steady = std::string(16384, 's'), path = Put(steady, "-steady");
    TempDir dir;
    std::string body;
    const uint64_t begun = GetTickCount64();
    RetryPolicy once = Quick(1);
    once.requestTries = 1;
    EXPECT_FALSE(HttpGetToMemory(ServerUrl(trickle + "&ranges="), body, kWindow, once));
    EXPECT_FALSE(DownloadFile(ServerUrl(trickle + "&ranges="), dir.File(L"a"), nullptr,
                              With(once, nullptr, kWindow)));
    EXPECT_FALSE(
        DownloadFile(ServerUrl(trickle), dir.File(L"b"), nullptr, With(once, nullptr, kWindow)));
    EXPECT_LT(GetTickCount64() - begun, 10000u);
    EXPECT_TRUE(HttpGetToMemory(ServerUrl(path + "?slow=100&piece=2048"), body, kWindow, once));
    EXPECT_EQ(body, steady);
    EXPECT_TRUE(DownloadFile(ServerUrl(path + "?slow=100&piece=2048"), dir.File(L"c"), nullptr,
                             With(once, nullptr, kWindow)));
    EXPECT_EQ(ReadBytes(dir.File(L"c")), steady);
}

// Every range or stream goes on from the byte it reached; only tries that moved less than the
// free amount count, and only transient answers are retried. Nothing is fetched for which the
// disk has no room; a body of no length stops 64 MiB short of filling it.
TEST(DownloadFile, RetriesFromTheByteReachedWithinTheRoomOnDisk) {
    const std::string big = RandomBytes(kThreshold + 5), small = RandomBytes(300000);
    RetryPolicy capped = Quick();  // Retry-After: 5 waits 300 ms
    capped.maxRetryAfterMs = 300;
    const int64_t bigSize = kThreshold + 5;
    constexpr uint64_t kKept = 64ULL << 20;
    const uint64_t joined = 2 * big.size() - big.size() / 4;
    const struct {
        const std::string* body;
        std::string query;
        RetryPolicy policy;
        bool ok;
        int gets;                    // all of them; -1: not counted
        int64_t promised = -1;       // by a signed manifest: nothing past it is written
        uint64_t minMs = 0;          // waited for Retry-After, told once
        uint64_t free = 0;           // what the disk is said to have; 0: what it has
        size_t partLeft = SIZE_MAX;  // at most, by a failed one
    } rows[] = {
        // Each try is cut before its range's end: only going on from there ever ends.
        {&big, "?drop=200000", Quick(), true, 12},
        {&big, "?drop=100000", Quick(3), false, -1},
        {&big, "?drop=100000", Quick(3, 100000), true, 24},
        {&big, "?busy=3", Quick(), true, 7},
        {&big, "?busy=1&after=5", capped, true, 5, -1, 600},  // the probe's wait, a range's
        {&big, "", Quick(), true, 4, bigSize}, {&big, "", Quick(), false, -1, bigSize - 1},
        {&small, "?status=404", Quick(), false, 1}, {&small, "?drop=100000", Quick(), true, 3},
        {&small, "?drop=100000&ranges=", Quick(), false, 5},  // each try starts again
        // Free tries must take the furthest byte on: one that only gets as far again counts.
        {&small, "?drop=200000&ranges=", Quick(3, 100000), false, 4},
        {&small, "?drop=200000&ranges=&dropfor=2", Quick(2, 100000), true, 3},
        {&small, "?drop=100000&ranges=&dropfor=2", Quick(), true, 3},
        {&small, "?busy=1", Quick(), true, 2}, {&small, "", Quick(), false, -1, 300001},
        {&small, "?length=none&ranges=", Quick(), false, 1, 1000},
        // Four ranges need the file and the copy that joins them.
        {&big, "", Quick(1), false, 0, -1, 0, joined - 1, 0},
        {&big, "", Quick(1), true, 4, -1, 0, joined, 0},
        {&small, "?ranges=", Quick(1), false, 1, -1, 0, 299999, 0},
        {&small, "?ranges=", Quick(1), true, 1, -1, 0, 300000, 0},
        {&small, "?ranges=&length=none", Quick(1), false, 1, -1, 0, kKept + 299999, 299999},
        {&small, "?ranges=&length=none", Quick(1), true, 1, -1, 0, kKept + 300000, 0},
        {&small, "?ranges=&length=none", Quick(1), false, 1, -1, 0, kKept - 1, 0},
    };
    const auto realFreeSpace = FreeSpaceAt;
    TempDir dir;
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(n) + row.query);
        const std::string path = Put(*row.body, std::to_string(n++));
        const std::wstring destination = dir.File(std::to_wstring(n) + L".zip");
        std::string digest, expected;
        int waits = 0;
        bool lackedSpace = false;
        DownloadOptions options = With(row.policy, &digest);
        options.expectedSize = row.promised;
        options.lackedSpace = &lackedSpace;
        options.retrying = [&, caller = GetCurrentThreadId()] {
            EXPECT_EQ(GetCurrentThreadId(), caller);
            ++waits;
        };
        fakeFreeSpace = row.free;
        FreeSpaceAt = row.free ? FakeFreeSpace : realFreeSpace;
        const uint64_t begun = GetTickCount64();
        EXPECT_EQ(DownloadFile(ServerUrl(path + row.query), destination, nullptr, options), row.ok);
        const uint64_t took = GetTickCount64() - begun;
        FreeSpaceAt = realFreeSpace;
        if (row.ok) {
            EXPECT_TRUE(ReadBytes(destination) == *row.body);
            EXPECT_TRUE(Sha256OfBytes(*row.body, expected) && digest == expected);
        }
        EXPECT_TRUE(row.gets < 0 || Gets(path).size() == static_cast<size_t>(row.gets));
        EXPECT_LE(ReadBytes(destination).size(), static_cast<uint64_t>(row.promised));
        EXPECT_TRUE(!row.minMs || (took >= row.minMs && took < row.minMs + 3000 && waits == 1));
        EXPECT_TRUE(!row.free || lackedSpace == !row.ok);
        EXPECT_TRUE(!row.free || row.ok || ReadBytes(destination).empty());
        EXPECT_LE(ReadBytes(destination + L".part").size(), row.partLeft);
    }
}

// The ranges are dealt out over the URL and its mirrors, the URL first; a range whose source
// fails goes on from another at once. A source that refuses connections or answers its probe
// with an error serves nothing, nor does one of another length than the first's (or, under a
// key, than the signed one). A source's own ETag is what it is asked with. Without ranges, one
// stream is tried from each source, those that answered their probe first.
TEST(DownloadFile, SpreadsRangesOverMirrorsAndFailsOver) {
    const std::string body = RandomBytes(kThreshold * 2);
    struct Source {
        std::string query;  // "refused": a port that refuses connections
        bool otherLength;   // serves one byte more
        int gets;           // GETs it answers: -1 at least one, else exactly
    };
    const struct {
        std::vector<Source> sources;
        int64_t signedSize = -1;
        bool ok = true;
    } rows[] = {
        {{{"", false, 2}, {"", false, 2}}},
        {{{"", false, 2}, {"", false, 1}, {"", false, 1}}},
        {{{"", false, -1}, {"?getstatus=503", false, -1}}},
        {{{"?getstatus=503", false, -1}, {"", false, -1}}},
        {{{"", false, -1}, {"?drop=100000", false, -1}}},
        {{{"refused", false, 0}, {"", false, 4}}},
        {{{"", false, 2}, {"refused", false, 0}, {"?status=503", false, 0}, {"", false, 2}}},
        {{{"?dropfor=2&drop=300000", false, -1}, {"?etag=other&dropfor=2&drop=300000", false, -1}}},
        {{{"", false, 4}, {"", true, 0}}},
        {{{"", true, 0}, {"", false, 4}}, static_cast<int64_t>(body.size())},
        {{{"?status=404", false, 0}, {"?ranges=", false, 1}}},
        {{{"refused", false, 0}, {"?ranges=", false, 1}}},
        {{{"?status=404", false, 1}, {"?getstatus=410&ranges=", false, 1}}, -1, false},
    };
    TempDir dir;
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE("row " + std::to_string(n));
        std::vector<std::string> paths;
        std::vector<std::wstring> urls;
        for (const Source& source : row.sources) {
            const std::string path =
                Put(source.otherLength ? body + "x" : body, "-" + std::to_string(n) + "-" +
                                                                std::to_string(paths.size()));
            paths.push_back(path);
            urls.push_back(source.query == "refused" ? L"http://127.0.0.1:1" + Utf8ToWide(path)
                                                     : ServerUrl(path + source.query));
        }
        const std::wstring destination = dir.File(std::to_wstring(n++) + L".zip");
        std::string digest, expected;
        DownloadOptions options = With(Quick(), &digest);
        options.mirrors.assign(urls.begin() + 1, urls.end());
        options.expectedSize = row.signedSize;
        EXPECT_EQ(DownloadFile(urls[0], destination, nullptr, options), row.ok);
        EXPECT_TRUE(!row.ok || ReadBytes(destination) == body);
        EXPECT_TRUE(!row.ok || (Sha256OfBytes(body, expected) && digest == expected));
        for (size_t i = 0; i < paths.size(); ++i) {
            const int gets = static_cast<int>(Gets(paths[i]).size());
            EXPECT_TRUE(row.sources[i].gets < 0 ? gets > 0 : gets == row.sources[i].gets)
                << "source " << i << " answered " << gets << " GETs";
        }
        EXPECT_FALSE(FileExists(DownloadRecordPath(destination)));
    }
}

// A later start goes on from the parts an earlier one left, as long as the file is the same:
// on every source, each one's own validator recorded.
TEST(DownloadFile, ResumesAcrossStartsOnlyTheSameFile) {
    const std::string big = RandomBytes(kThreshold + 5), small = RandomBytes(600000);
    const struct {
        const std::string* body;
        std::string query;
        const char* between;  // "": nothing; "change": another file; "record": a broken record;
                              // "mirror": the mirror's file written again, its ETag another
        bool resumed;
        bool mirrored = false;  // with a mirror that sends an ETag of its own
    } rows[] = {
        {&big, "&dropfor=4", "", true},          {&big, "&dropfor=4", "change", false},
        {&big, "&dropfor=4&etag=weak", "", false}, {&big, "&dropfor=4", "record", false},
        {&big, "&dropfor=4", "", true, true},    {&big, "&dropfor=4", "mirror", false, true},
        {&small, "&dropfor=1", "", true},        {&small, "&dropfor=1", "change", false},
    };
    TempDir dir;
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(n) + row.query + row.between);
        const std::string name = "-" + std::to_string(n), path = Put(*row.body, name),
                          mirror = Put(*row.body, name + "m");
        const std::wstring url = ServerUrl(path + "?drop=200000" + row.query);
        const std::wstring destination = dir.File(std::to_wstring(n++) + L".zip");
        DownloadOptions options = With(Quick(1));
        if (row.mirrored)
            options.mirrors = {ServerUrl(mirror + "?etag=other&drop=200000" + row.query)};
        EXPECT_FALSE(DownloadFile(url, destination, nullptr, options));
        const size_t firstGets = Gets(path).size(), firstMirrorGets = Gets(mirror).size();
        std::string served = *row.body;
        if (std::string(row.between) == "change") {
            served = RandomBytes(row.body->size());
            Put(served, name);
        } else if (std::string(row.between) == "mirror") {
            Put(served, name + "m");
        } else if (std::string(row.between) == "record") {
            WriteStringToFile(DownloadRecordPath(destination), "hopwell-download 1\n");
        }
        std::string digest, expected;
        options.retry = Quick();  // a GET still cut is retried
        options.digest = &digest;
        ASSERT_TRUE(DownloadFile(url, destination, nullptr, options));
        EXPECT_TRUE(ReadBytes(destination) == served);
        EXPECT_TRUE(Sha256OfBytes(served, expected) && digest == expected);
        EXPECT_EQ(BytesAsked(path, served.size(), firstGets) +
                          BytesAsked(mirror, served.size(), firstMirrorGets) <
                      served.size(),
                  row.resumed);
        EXPECT_FALSE(FileExists(DownloadRecordPath(destination)));
        for (int i = 0; i < 4; ++i)
            EXPECT_FALSE(FileExists(destination + L".part" + std::to_wstring(i)));
    }
}

// Stores the user's Internet Options connection settings as Windows does: a static proxy and
// its bypass list, an auto-config script. Without a proxy or a script the value is removed.
void SetUserProxy(const std::string& proxy, const std::string& bypass, const std::string& script) {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER,
                    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections", 0,
                    nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    std::string blob;
    const uint32_t flags = 1 | (proxy.empty() ? 0 : 2) | (script.empty() ? 0 : 4);
    for (uint32_t number : {0x46u, 1u, flags}) blob.append(reinterpret_cast<char*>(&number), 4);
    for (const std::string& text : {proxy, bypass, script}) {
        const uint32_t size = static_cast<uint32_t>(text.size());
        blob.append(reinterpret_cast<const char*>(&size), 4).append(text);
    }
    blob.append(32, '\0');
    if (proxy.empty() && script.empty()) {
        RegDeleteValueW(key, L"DefaultConnectionSettings");
    } else {
        RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY,
                       reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size()));
    }
    RegCloseKey(key);
}

// A host name that only the proxy (the test server) can reach.
TEST(UserProxy, CarriesTheManifestAndTheArchiveUnlessBypassed) {
    const std::string body = RandomBytes(kThreshold);
    const std::string path = Put(body);
    const std::string server = "127.0.0.1:" + ReadBytes(HostPath(ServerDirectory() + "/port"));
    const std::string script =
        Put("function FindProxyForURL(url, host) { return \"PROXY " + server + "\"; }", "-script");
    // A script that would send everything direct, were it not minutes in coming: the look-up
    // gives up, and the static proxy carries the request.
    const std::string direct =
        Put("function FindProxyForURL(url, host) { return \"DIRECT\"; }", "-direct") +
        "?slow=2000&piece=1";
    const std::wstring url = L"http://updates.hopwell.test" + Utf8ToWide(path);
    const struct {
        std::string proxy, bypass, script;
        bool reached;
    } rows[] = {
        {server, "", "", true},
        {server, "localhost;*.HOPWELL.test", "", false},
        {server, "<local>;other.hopwell.test", "", true},
        {"", "", "http://" + server + script, true},
        {"", "", "", false},  // and the settings are gone again
    };
    TempDir dir;
    RetryPolicy once = Quick(1);
    once.requestTries = 1;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.proxy + " bypass " + row.bypass + " script " + row.script);
        SetUserProxy(row.proxy, row.bypass, row.script);
        std::string got;
        EXPECT_EQ(HttpGetToMemory(url, got, kLowSpeedWindowMs, once), row.reached);
        std::string digest, expected;
        EXPECT_EQ(DownloadFile(url, dir.File(L"a.zip"), nullptr, With(once, &digest)),
                  row.reached);
        if (row.reached) {
            EXPECT_TRUE(got == body && ReadBytes(dir.File(L"a.zip")) == body);
            EXPECT_EQ(RangesAsked(path).size(), 0u);  // nothing came direct
        }
    }
    SetUserProxy(server, "", "http://" + server + direct);
    std::string got;
    EXPECT_TRUE(HttpGetToMemory(url, got, kLowSpeedWindowMs, once) && got == body);
    SetUserProxy("", "", "");
}

std::atomic<int> threadStarts{0}, workersJoined{0};

// The third worker cannot start: no thread, or no memory for it.
template <bool outOfMemory>
std::thread StartTwoThenFail(std::function<void()> work) {
    if (++threadStarts > 2 && outOfMemory) throw std::bad_alloc();
    if (threadStarts > 2)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread([work] {
        work();
        ++workersJoined;
    });
}

// A worker that cannot start or runs out of memory, or a progress callback that throws, fails
// the download once the other workers are joined, and the process lives on.
TEST(DownloadFile, FailsOnceTheWorkersAreJoinedWhenOneCannotGoOn) {
    const std::string path = Put(RandomBytes(kThreshold));
    auto original = StartSegmentThread;
    TempDir dir;
    for (auto start : {StartTwoThenFail<false>, StartTwoThenFail<true>}) {
        threadStarts = workersJoined = 0;
        StartSegmentThread = start;
        EXPECT_FALSE(DownloadFile(ServerUrl(path + "?slow=50"), dir.File(L"a.zip"), nullptr));
        StartSegmentThread = original;
        EXPECT_EQ(threadStarts.load(), 3);
        EXPECT_EQ(workersJoined.load(), 2);
        EXPECT_FALSE(FileExists(dir.File(L"a.zip")));
    }
    int calls = 0;
    const ProgressCallback throwing = [&](uint64_t, uint64_t) {
        ++calls;
        throw std::runtime_error("the window is gone");
    };
    EXPECT_FALSE(DownloadFile(ServerUrl(path + "?slow=60"), dir.File(L"a.zip"), throwing));
    EXPECT_EQ(calls, 1);
    failAllocationsOffThread = GetCurrentThreadId();  // this thread is spared
    EXPECT_FALSE(DownloadFile(ServerUrl(path), dir.File(L"a.zip"), nullptr));
    failAllocationsOffThread = 0;
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
        {201, 100, 100, 1, 1, L"(100 B/100 B) - 100% @ 498 B/s", 100},  // the last always goes
        {399, 2, 100, 1, 1, nullptr, 0},
        {5320, 13107200, 41943040, 2, 3, L"(12.50 MB/40.00 MB) - 31% @ 2.35 MB/s", 43},
        {6000, 2048, 0, 2, 4, L"(2.00 KB/0 B) - 0% @ 341 B/s", 25},
        {7000, 150, 100, 3, 3, L"(150 B/100 B) - 150% @ 21 B/s", 116},
        {8000, 8184, 1023, 1, 1, L"(7.99 KB/1023 B) - 800% @ 1023 B/s", 800},
        {9000, 9216, 1048575, 1, 1, L"(9.00 KB/1024.00 KB) - 0% @ 1.00 KB/s", 0},
        {10000, 10485750, 1048576, 1, 1, L"(10.00 MB/1.00 MB) - 999% @ 1024.00 KB/s", 999},
        {11000, 11534336, 1ULL << 30, 1, 1, L"(11.00 MB/1.00 GB) - 1% @ 1.00 MB/s", 1},
        {12000, 12ULL << 30, 1073741823, 1, 1, L"(12.00 GB/1024.00 MB) - 1200% @ 1024.00 MB/s",
         1200},
    };
    for (const auto& row : rows) {
        step = row.step;
        steps = row.steps;
        reporter.ReportAt(row.done, row.total, startTick + row.ms);
        for (MSG msg; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);) DispatchMessageW(&msg);
        if (!row.status) {
            EXPECT_TRUE(posted.empty()) << row.ms;
            continue;
        }
        ASSERT_EQ(posted.size(), 2u) << row.ms;
        EXPECT_EQ(SinkLineText(posted[0]), L"progress " + std::to_wstring(row.percent));
        EXPECT_EQ(SinkLineText(posted[1]), std::wstring(L"status Đang tải 1.2.0 ") + row.status);
        posted.clear();
    }
    DestroyWorkerSink(window);
}

std::vector<DownloadSource> Sources(const std::wstring& url) {
    std::vector<DownloadSource> sources = ProbeSources(url, {}, Quick());
    DropOtherLengths(sources, -1);
    return sources;
}

std::string Joined(const std::string& body, const std::vector<ByteRange>& ranges) {
    std::string joined;
    for (const ByteRange& range : ranges) joined += body.substr(range.first, range.Length());
    return joined;
}

TEST(FetchByteRange, TakesOnlyTheRangeAskedForOfTheSameFile) {
    const std::string body = RandomBytes(100000), path = Put(body);
    const struct {
        std::string query;
        bool ok;
    } rows[] = {
        {"", true},        {"?busy=2", true},  {"?drop=100&dropfor=2", true}, {"?drop=100", false},
        {"?whole", false}, {"?shift=5", false}, {"?total=7", false},  {"?status=404", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.query);
        std::string got;
        EXPECT_EQ(FetchByteRange(Sources(ServerUrl(path + row.query)), body.size(),
                                 {99000, 99999}, got, With(Quick())),
                  row.ok);
        EXPECT_TRUE(row.ok ? got == body.substr(99000) : got.empty());
    }
}

// A follower that reads the joined ranges in pieces as they arrive, and can give up midway.
struct Follower {
    std::string got;
    uint64_t refuseAt = UINT64_MAX;
    FollowRanges For(uint64_t length) {
        return [this, length](ArrivingBytes& bytes) {
            got.clear();
            for (uint64_t at = 0; at < length; at += 99991) {
                std::string piece(std::min<uint64_t>(99991, length - at), '\0');
                if (at >= refuseAt || !bytes.Read(at, &piece[0], piece.size())) return false;
                got += piece;
            }
            char past = 0;  // nothing lies beyond the ranges
            return !bytes.Read(length, &past, 1);
        };
    }
};

TEST(DownloadRanges, HandsTheJoinedRangesToTheFollowerAndGoesOnFromWhereAStartFailed) {
    const std::string body = RandomBytes(3 * kThreshold);
    const std::vector<ByteRange> few = {{0, 99}, {1000, 1999999}, {2500000, 6000000}};
    const std::vector<ByteRange> other = {{0, 99}, {1000, 1999999}, {2600000, 6000000}};
    const struct {
        std::string query;
        const std::vector<ByteRange>* second;  // null: no second start
        bool firstOk;
        bool resumed;
        uint64_t refuseAt;  // where the follower gives up
    } rows[] = {
        {"", nullptr, true, false, UINT64_MAX},
        {"?drop=150000", nullptr, true, false, UINT64_MAX},  // cut mid-range, retried on
        {"?slow=50", &few, false, true, UINT64_MAX},      // a start that failed on the way
        {"?slow=50", &other, false, false, UINT64_MAX},   // other ranges: all asked again
        {"?slow=20", nullptr, false, false, 300000},      // a wrong entry stops the download
    };
    TempDir dir;
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(n) + row.query);
        const std::string path = Put(body, "-" + std::to_string(n++));
        const std::wstring destination = dir.File(std::to_wstring(n) + L".zip.ranges");
        Reports reports;
        ProgressCallback progress = reports.Callback();
        if (row.second)  // as a window closed while the ranges come in
            progress = [](uint64_t done, uint64_t) {
                if (done > 0) throw std::runtime_error("closed");
            };
        const uint64_t wanted = Joined(body, few).size();
        Follower follower;
        follower.refuseAt = row.refuseAt;
        EXPECT_EQ(DownloadRanges(Sources(ServerUrl(path + row.query)), body.size(), few,
                                 destination, follower.For(wanted), progress, With(Quick())),
                  row.firstOk);
        if (row.firstOk) {
            EXPECT_TRUE(follower.got == Joined(body, few));
            EXPECT_EQ(reports.LastDone(), wanted);
            // Stripes over four connections, nothing around the ranges.
            EXPECT_TRUE(row.query != "" || Gets(path).size() <= 24) << Gets(path).size();
            EXPECT_TRUE(row.query != "" || BytesAsked(path, body.size(), 0) == wanted);
            // The parts stay until discarded: asked again, they are read without a request.
            const size_t gets = Gets(path).size();
            follower.got.clear();
            EXPECT_TRUE(DownloadRanges(Sources(ServerUrl(path + row.query)), body.size(), few,
                                       destination, follower.For(wanted), nullptr, With(Quick())));
            EXPECT_TRUE(follower.got == Joined(body, few));
            EXPECT_EQ(Gets(path).size(), gets);
            DiscardPartialDownload(destination);
            EXPECT_FALSE(FileExists(destination + L".part0"));
        }
        if (row.refuseAt != UINT64_MAX) {  // given up long before the slow server sent it all
            EXPECT_LT(BytesAsked(path, body.size(), 0), wanted / 2);
        }
        if (!row.second) continue;
        const size_t firstGets = Gets(path).size();
        const uint64_t second = Joined(body, *row.second).size();
        ASSERT_TRUE(DownloadRanges(Sources(ServerUrl(path + row.query)), body.size(), *row.second,
                                   destination, follower.For(second), nullptr, With(Quick())));
        EXPECT_TRUE(follower.got == Joined(body, *row.second));
        EXPECT_EQ(BytesAsked(path, body.size(), firstGets) < second, row.resumed);
    }
}

}  // namespace
