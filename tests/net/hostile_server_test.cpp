// Servers that misbehave, met by whole update passes and downloads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/app_directory.h"
#include "base/text.h"
#include "net/download.h"
#include "net/http_client.h"
#include "tests/support/http_test_server.h"
#include "tests/support/pass_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/zip_builder.h"

namespace {

const std::wstring kCheck = L"Đang kiểm tra cập nhật...";
const std::wstring kDone = L"Cập nhật hoàn tất.";

using HostileServer = PassTest;

TEST_F(HostileServer, BodyLongerThanItsContentLengthIsNeverTakenWhole) {
    // WinHTTP stops at Content-Length or, under Wine when the extra bytes arrive with the
    // rest, hands them on; the download then fails on the length. Either way the archive on
    // disk is never the longer body.
    TestRoute route(std::string(5000, 'a') + std::string(3000, 'b'));
    route.contentLengthText = "5000";
    route.acceptRanges = "";
    server.Route("/long.bin", route);
    TempDir dir;
    for (int attempt = 0; attempt < 5; attempt++) {
        if (DownloadFile(server.Url("/long.bin"), dir.File(L"long.bin"), nullptr)) {
            EXPECT_EQ(ReadBytes(dir.File(L"long.bin")), std::string(5000, 'a'));
        }
    }
}

TEST_F(HostileServer, ArchiveThatStopsComingEndsTheStepWithItsFailureLine) {
    // A few bytes of a long archive, one a second, then silence: the pass must still end.
    TestRoute drip(std::string(4, 'P'));
    drip.contentLengthText = "100000";
    drip.acceptRanges = "";
    drip.dripBytes = 1;
    drip.dripDelayMs = 1000;
    server.Route("/1.0.0.zip", drip);
    server.Route("/version.json", TestRoute(ManifestJson("1.0.0", {{"1.0.0", server.Url("/1.0.0.zip")}})));

    const ULONGLONG started = GetTickCount64();
    auto messages = RunPass(server.Url("/version.json"));
    const ULONGLONG took = GetTickCount64() - started;

    EXPECT_EQ(PostedLines(messages), (std::vector<std::wstring>{kCheck, L"Đang tải bản 1.0.0...",
                                                                L"Tải thất bại: 1.0.0", kDone}));
    EXPECT_FALSE(FileExists(AppPath(L"version.ini")));
    EXPECT_LT(took, 90000u) << "the pass outlived WinHTTP's default time-outs";
}

TEST_F(HostileServer, TransfersBelowTheLowestSpeedFailWithinTheirWindow) {
    // A byte every 100 ms never trips WinHTTP's per-read time-outs; 2 KiB every 100 ms is slow
    // but steady, and lasts longer than the window.
    constexpr DWORD kWindow = 500;
    TestRoute trickle(std::string(2 << 20, 't'));
    trickle.dripBytes = 1;
    trickle.dripDelayMs = 100;
    server.Route("/ranges", trickle);
    trickle.acceptRanges = "";
    server.Route("/whole", trickle);
    TestRoute steady(std::string(16384, 's'));
    steady.dripBytes = 2048;
    steady.dripDelayMs = 100;
    server.Route("/steady", steady);
    TempDir dir;
    std::string body;

    const ULONGLONG started = GetTickCount64();
    EXPECT_FALSE(HttpGetToMemory(server.Url("/whole"), body, kWindow));
    EXPECT_FALSE(DownloadFile(server.Url("/whole"), dir.File(L"a"), nullptr, kWindow));
    EXPECT_FALSE(DownloadFile(server.Url("/ranges"), dir.File(L"b"), nullptr, kWindow));
    EXPECT_LT(GetTickCount64() - started, 10000u);
    EXPECT_TRUE(HttpGetToMemory(server.Url("/steady"), body, kWindow));
    EXPECT_EQ(body, steady.body);
    EXPECT_TRUE(DownloadFile(server.Url("/steady"), dir.File(L"c"), nullptr, kWindow));
    EXPECT_EQ(ReadBytes(dir.File(L"c")), steady.body);
}

TEST_F(HostileServer, ManifestOfTenThousandVersionsChoosesCorrectly) {
    std::vector<std::pair<std::string, std::wstring>> urls;
    for (int i = 9999; i >= 0; i--) {
        std::string v = std::to_string(i / 100) + "." + std::to_string(i % 100) + ".0";
        urls.push_back({v, server.Url("/" + v + ".zip")});
    }
    server.Route("/version.json", TestRoute(ManifestJson("99.98.0", urls)));
    server.Route("/99.98.0.zip", TestRoute(BuildZip({{"marker.txt", "99.98"}})));
    ASSERT_TRUE(WriteBytes(AppPath(L"version.ini"), "version=99.97.5\r\n"));

    const ULONGLONG started = GetTickCount64();
    auto messages = RunPass(server.Url("/version.json"));
    const ULONGLONG took = GetTickCount64() - started;

    // Only 99.98.0 lies above 99.97.5 and not above the latest; 99.99.0 is above it.
    EXPECT_EQ(PostedLines(messages),
              (std::vector<std::wstring>{kCheck, L"Đang tải bản 99.98.0...",
                                         L"Đang giải nén 99.98.0...",
                                         L"Hoàn tất cập nhật 99.98.0.", kDone}));
    EXPECT_EQ(ReadBytes(AppPath(L"version.ini")), "version=99.98.0\r\n");
    EXPECT_EQ(server.Count("/99.99.0.zip"), 0);
    RecordProperty("pass_ms", static_cast<int>(took));
    EXPECT_LT(took, 30000u);
}

TEST_F(HostileServer, RedirectToAnotherHostIsFollowed) {
    // WinHTTP's default policy follows redirects except from HTTPS to HTTP; the manifest and
    // archive then come from wherever the server sends us.
    HttpTestServer other;
    other.Route("/real.json", TestRoute(ManifestJson("1.0.0", {{"1.0.0", other.Url("/1.0.0.zip")}})));
    other.Route("/1.0.0.zip", TestRoute(BuildZip({{"from-other.txt", "x"}})));
    std::string location = "http://localhost:" + std::to_string(other.Port()) + "/real.json";
    TestRoute moved("moved");
    moved.status = 302;
    moved.headers = {"Location: " + location};
    server.Route("/version.json", moved);

    auto messages = RunPass(server.Url("/version.json"));

    EXPECT_EQ(PostedLines(messages).back(), kDone);
    EXPECT_TRUE(FileExists(AppPath(L"from-other.txt")));
    EXPECT_EQ(other.Count("/real.json", "GET"), 1);
}

}  // namespace
