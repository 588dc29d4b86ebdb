#include "net/http_client.h"

#include <gtest/gtest.h>

#include "net/http_request.h"
#include "tests/support/http_test_server.h"

namespace {

const std::string kErrorPage = "<html><body><h1>404 Not Found</h1></body></html>";

TEST(HttpGetToMemory, ReturnsTheBodyAndSendsTheUserAgent) {
    HttpTestServer server;
    server.Route("/version.json", {"{\"latest_version\":\"1.2.0\"}"});
    std::string body = "old content";
    ASSERT_TRUE(HttpGetToMemory(server.Url("/version.json"), body));
    EXPECT_EQ(body, "{\"latest_version\":\"1.2.0\"}");
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].method, "GET");
    EXPECT_EQ(server.Requests()[0].Header("user-agent"), "Hopwell/1.0");
}

TEST(HttpGetToMemory, ReturnsAnErrorPageAsABody) {
    HttpTestServer server;
    TestRoute missing{kErrorPage};
    missing.status = 404;
    server.Route("/version.json", missing);
    std::string body;
    ASSERT_TRUE(HttpGetToMemory(server.Url("/version.json"), body));
    EXPECT_EQ(body, kErrorPage);
}

TEST(HttpGetToMemory, ReturnsAnEmptyBody) {
    HttpTestServer server;
    server.Route("/empty", {""});
    std::string body = "old";
    ASSERT_TRUE(HttpGetToMemory(server.Url("/empty"), body));
    EXPECT_EQ(body, "");
}

TEST(HttpGetToMemory, KeepsTheBytesBeforeADroppedConnection) {
    HttpTestServer server;
    TestRoute dropping{std::string(100000, 'm')};
    dropping.dropAfter = 40000;
    server.Route("/version.json", dropping);
    std::string body;
    ASSERT_TRUE(HttpGetToMemory(server.Url("/version.json"), body));
    EXPECT_EQ(body, std::string(40000, 'm'));
}

TEST(HttpGetToMemory, ReadsABodyWithoutContentLength) {
    HttpTestServer server;
    TestRoute unsized{std::string(700000, 'u')};
    unsized.contentLength = false;
    server.Route("/version.json", unsized);
    std::string body;
    ASSERT_TRUE(HttpGetToMemory(server.Url("/version.json"), body));
    EXPECT_EQ(body.size(), 700000u);
}

// Where WinHTTP cannot decode gzip, advertising it would hand compressed bytes to the parser.
TEST(HttpGetToMemory, NeverReceivesUndecodedGzip) {
    HttpTestServer server;
    TestRoute negotiated{"{\"latest_version\":\"2.0.0\"}"};
    negotiated.gzip = TestRoute::Gzip::WhenAccepted;
    server.Route("/version.json", negotiated);
    std::string body;
    ASSERT_TRUE(HttpGetToMemory(server.Url("/version.json"), body));
    EXPECT_EQ(body, "{\"latest_version\":\"2.0.0\"}");
}

TEST(HttpGetToMemory, FailsWithoutAResponseAndLeavesTheBody) {
    std::string body = "untouched";
    EXPECT_FALSE(HttpGetToMemory(
        L"http://127.0.0.1:" + std::to_wstring(UnusedLoopbackPort()) + L"/version.json", body));
    EXPECT_FALSE(HttpGetToMemory(L"not a url", body));
    EXPECT_FALSE(HttpGetToMemory(L"http://" + std::wstring(300, L'h') + L"/x", body));
    EXPECT_FALSE(HttpGetToMemory(L"http://127.0.0.1/" + std::wstring(2100, L'p'), body));
    EXPECT_EQ(body, "untouched");
}

TEST(HttpProbe, ReadsLengthAndRangeSupport) {
    HttpTestServer server;
    server.Route("/a.zip", {std::string(12345, 'z')});
    uint64_t length = 0;
    bool ranges = false;
    ASSERT_TRUE(HttpProbe(server.Url("/a.zip"), length, ranges));
    EXPECT_EQ(length, 12345u);
    EXPECT_TRUE(ranges);
    EXPECT_EQ(server.Count("/a.zip", "HEAD"), 1);
    EXPECT_EQ(server.Count("/a.zip"), 1);
}

TEST(HttpProbe, FindsBytesAnywhereInAcceptRanges) {
    HttpTestServer server;
    const std::pair<std::string, bool> cases[] = {
        {"bytes", true}, {"none", false}, {"x-bytes-y", true}, {"Bytes", false}, {"", false}};
    for (const auto& [value, expected] : cases) {
        TestRoute route{"body"};
        route.acceptRanges = value;
        server.Route("/a.zip", route);
        uint64_t length = 0;
        bool ranges = !expected;
        ASSERT_TRUE(HttpProbe(server.Url("/a.zip"), length, ranges)) << value;
        EXPECT_EQ(ranges, expected) << "Accept-Ranges: " << value;
        EXPECT_EQ(length, 4u);
    }
}

TEST(HttpProbe, ReportsLengthZeroWithoutContentLength) {
    HttpTestServer server;
    TestRoute unsized{"body"};
    unsized.contentLength = false;
    server.Route("/a.zip", unsized);
    uint64_t length = 99;
    bool ranges = false;
    ASSERT_TRUE(HttpProbe(server.Url("/a.zip"), length, ranges));
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(ranges);
}

TEST(HttpProbe, ReadsTheHeadersOfAnErrorResponse) {
    HttpTestServer server;
    uint64_t length = 0;
    bool ranges = false;
    ASSERT_TRUE(HttpProbe(server.Url("/missing.zip"), length, ranges));
    EXPECT_GT(length, 0u);  // the length of the 404 page
}

// Content-Length read as a 32-bit number would wrap or saturate here.
TEST(HttpProbe, ReadsLengthsOfFourGibibytesAndMore) {
    HttpTestServer server;
    const std::pair<std::string, uint64_t> cases[] = {{"4294967295", 4294967295ULL},
                                                      {"4294967296", 4294967296ULL},
                                                      {"5000000000", 5000000000ULL},
                                                      {"1099511627776", 1099511627776ULL}};
    for (const auto& [text, expected] : cases) {
        TestRoute huge{"x"};
        huge.contentLengthText = text;
        server.Route("/huge.zip", huge);
        uint64_t length = 0;
        bool ranges = false;
        ASSERT_TRUE(HttpProbe(server.Url("/huge.zip"), length, ranges));
        EXPECT_EQ(length, expected);
    }
}

TEST(HttpProbe, FailsWithoutAResponseAndResetsItsResults) {
    uint64_t length = 77;
    bool ranges = true;
    EXPECT_FALSE(HttpProbe(
        L"http://127.0.0.1:" + std::to_wstring(UnusedLoopbackPort()) + L"/a.zip", length, ranges));
    EXPECT_EQ(length, 0u);
    EXPECT_FALSE(ranges);

    HttpTestServer server;
    TestRoute silent{"body"};
    silent.dropHead = true;
    server.Route("/a.zip", silent);
    length = 77;
    ranges = true;
    EXPECT_FALSE(HttpProbe(server.Url("/a.zip"), length, ranges));
    EXPECT_EQ(length, 0u);
    EXPECT_FALSE(ranges);
}

TEST(OpenHttpRequest, AddsEachKindsHeaderLines) {
    HttpTestServer server;
    server.Route("/f", {std::string(100, 'f')});
    HttpRequest opened;
    ASSERT_TRUE(OpenHttpRequest(server.Url("/f"), HttpRequestKind::Segment, opened,
                                L"Range: bytes=10-19\r\n"));
    EXPECT_EQ(HttpStatusCode(opened), 206u);
    std::wstring contentRange;
    ASSERT_TRUE(HttpHeaderText(opened, WINHTTP_QUERY_CONTENT_RANGE, contentRange));
    EXPECT_EQ(contentRange, L"bytes 10-19/100");
    ASSERT_TRUE(OpenHttpRequest(server.Url("/f"), HttpRequestKind::SingleStream, opened));
    const bool decompressing = opened.decompressing;

    const std::vector<TestRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Header("range"), "bytes=10-19");
    EXPECT_EQ(requests[0].Header("accept-encoding"), "identity");
    EXPECT_EQ(requests[1].Header("range"), "");
    EXPECT_EQ(requests[1].Header("accept-encoding"),
              decompressing ? "gzip, deflate" : "identity");
}

TEST(ParseUnsigned64, AcceptsOnlyPlainDecimals) {
    uint64_t value = 7;
    EXPECT_TRUE(ParseUnsigned64(L"0", value));
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(ParseUnsigned64(L"18446744073709551615", value));
    EXPECT_EQ(value, UINT64_MAX);
    value = 7;
    EXPECT_FALSE(ParseUnsigned64(L"18446744073709551616", value));
    EXPECT_FALSE(ParseUnsigned64(L"", value));
    EXPECT_FALSE(ParseUnsigned64(L"-1", value));
    EXPECT_FALSE(ParseUnsigned64(L"12a", value));
    EXPECT_EQ(value, 7u);
}

}  // namespace
