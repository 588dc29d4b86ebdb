#include "update/manifest.h"

#include <gtest/gtest.h>

namespace {

using Urls = std::map<std::wstring, std::wstring>;

TEST(FindQuotedValue, TakesTheFirstQuotedTextAfterTheColon) {
    EXPECT_EQ(FindQuotedValue("{\"latest_version\": \"1.4.2\"}", "latest_version"), "1.4.2");
    EXPECT_EQ(FindQuotedValue("{\"latest_version\"\n :\n\t\"2.0\"}", "latest_version"), "2.0");
    // A non-string value pairs with the next quoted text in the body.
    EXPECT_EQ(FindQuotedValue("{\"latest_version\": 3, \"x\": \"y\"}", "latest_version"), "x");
    EXPECT_EQ(FindQuotedValue("{\"latest_version\": \"\"}", "latest_version"), "");
}

TEST(FindQuotedValue, MissingPiecesGiveEmpty) {
    EXPECT_EQ(FindQuotedValue("", "latest_version"), "");
    EXPECT_EQ(FindQuotedValue("{latest_version: \"1\"}", "latest_version"), "");
    EXPECT_EQ(FindQuotedValue("{\"latest_version\" \"1\"}", "latest_version"), "");
    EXPECT_EQ(FindQuotedValue("{\"latest_version\": 1}", "latest_version"), "");
    EXPECT_EQ(FindQuotedValue("{\"latest_version\": \"1", "latest_version"), "");
}

TEST(ParseManifest, ReadsLatestVersionAndUrls) {
    UpdateManifest m;
    ASSERT_TRUE(ParseManifest(R"({
        "latest_version": "1.10.0",
        "download_urls": {
            "1.9.0": "https://h.example/1.9.0.zip",
            "1.10.0": "https://h.example/1.10.0.zip"
        }
    })", m));
    EXPECT_EQ(m.latest_version, L"1.10.0");
    EXPECT_EQ(m.download_urls, (Urls{{L"1.10.0", L"https://h.example/1.10.0.zip"},
                                     {L"1.9.0", L"https://h.example/1.9.0.zip"}}));
    // Code-unit order, not version order.
    EXPECT_EQ(m.download_urls.begin()->first, L"1.10.0");
}

TEST(ParseManifest, WhiteSpaceAndMemberOrderDoNotMatter) {
    UpdateManifest a, b;
    ASSERT_TRUE(ParseManifest(R"({"download_urls":{"1":"u1","2":"u2"},"latest_version":"2"})", a));
    ASSERT_TRUE(ParseManifest("{ \"latest_version\" : \"2\" ,\r\n \"download_urls\" :\n{\n\"2\"\t:\t\"u2\" ,\n \"1\" : \"u1\"\n}\n}", b));
    EXPECT_EQ(a.download_urls, b.download_urls);
    EXPECT_EQ(a.latest_version, b.latest_version);
}

TEST(ParseManifest, UnusableLatestVersionLeavesManifestUnchanged) {
    const char* bodies[] = {
        R"({"latest_version": "", "download_urls": {"1": "u"}})",
        R"({"Latest_Version": "1.0", "download_urls": {"1": "u"}})",
        R"({latest_version: "1.0"})",
        "",
        "<html>404 Not Found</html>",
    };
    for (const char* body : bodies) {
        UpdateManifest m;
        m.latest_version = L"keep";
        m.download_urls[L"k"] = L"v";
        EXPECT_FALSE(ParseManifest(body, m)) << body;
        EXPECT_EQ(m.latest_version, L"keep");
        EXPECT_EQ(m.download_urls, (Urls{{L"k", L"v"}}));
    }
}

TEST(ParseManifest, MissingOrBrokenUrlsGiveAnEmptyMap) {
    const char* bodies[] = {
        R"({"latest_version": "1.0"})",
        R"({"latest_version": "1.0", "download_urls": {}})",
        R"({"latest_version": "1.0", "download_urls": "none"})",
        R"({"latest_version": "1.0", "download_urls": { "1.0": "u")",
    };
    for (const char* body : bodies) {
        UpdateManifest m;
        EXPECT_TRUE(ParseManifest(body, m)) << body;
        EXPECT_EQ(m.latest_version, L"1.0");
        EXPECT_TRUE(m.download_urls.empty()) << body;
    }
}

TEST(ParseManifest, LastDuplicateWins) {
    UpdateManifest m;
    ASSERT_TRUE(ParseManifest(R"({"latest_version":"1","download_urls":{"1":"a","1":"b"}})", m));
    EXPECT_EQ(m.download_urls, (Urls{{L"1", L"b"}}));
}

TEST(ParseManifest, NothingIsUnescaped) {
    UpdateManifest m;
    ASSERT_TRUE(ParseManifest(R"({"latest_version":"1","download_urls":{"1":"https:\/\/h\/a.zip"}})", m));
    EXPECT_EQ(m.download_urls[L"1"], L"https:\\/\\/h\\/a.zip");
}

TEST(ParseManifest, ClosingBraceInsideAValueCutsTheList) {
    UpdateManifest m;
    ASSERT_TRUE(ParseManifest(
        R"({"latest_version":"3","download_urls":{"1":"a","2":"b}c","3":"d"}})", m));
    EXPECT_EQ(m.download_urls, (Urls{{L"1", L"a"}}));
}

TEST(ParseManifest, PairWithoutColonEndsTheWalk) {
    UpdateManifest m;
    ASSERT_TRUE(ParseManifest(R"({"latest_version":"3","download_urls":{"1":"a","2" "b"}})", m));
    EXPECT_EQ(m.download_urls, (Urls{{L"1", L"a"}}));
}

TEST(ParseManifest, AcceptsAnyBodyWithTheQuotedKey) {
    UpdateManifest m;
    ASSERT_TRUE(ParseManifest("garbage \"latest_version\" junk : more \"7.0\" trailing", m));
    EXPECT_EQ(m.latest_version, L"7.0");
}

TEST(ParseManifest, DecodesUtf8AndReplacesInvalidBytes) {
    UpdateManifest m;
    ASSERT_TRUE(ParseManifest("{\"latest_version\":\"1.0-\xC3\xA1\",\"download_urls\":"
                              "{\"1.0\":\"https://h/\xE1\xBA\xA1.zip\",\"2\":\"\xFF\"}}",
                              m));
    EXPECT_EQ(m.latest_version, L"1.0-\u00E1");
    EXPECT_EQ(m.download_urls[L"1.0"], L"https://h/\u1EA1.zip");
    EXPECT_EQ(m.download_urls[L"2"], L"\uFFFD");
}

TEST(ParseManifest, EmbeddedNulBytesDoNotEndTheBody) {
    std::string body = std::string("{\"latest_version\":\"1\",") + '\0' +
                       "\"download_urls\":{\"1\":\"u\"}}";
    UpdateManifest m;
    ASSERT_TRUE(ParseManifest(body, m));
    EXPECT_EQ(m.download_urls, (Urls{{L"1", L"u"}}));
}

}  // namespace
