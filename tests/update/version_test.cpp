#include "update/version.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

std::vector<int> FirstThree(const std::wstring& text) {
    std::vector<int> parts = ParseVersion(text);
    parts.resize(3);
    return parts;
}

TEST(ParseVersion, WorkedValues) {
    struct Case {
        const wchar_t* text;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {L"1.2.3", {1, 2, 3}},     {L"1.2", {1, 2, 0}},      {L"1.2.", {1, 2, 0}},
        {L".5", {0, 5, 0}},        {L"1..3", {1, 0, 3}},     {L"", {0, 0, 0}},
        {L"build 1.2.3", {1, 2, 3}}, {L"1.2-rc3", {1, 23, 0}}, {L"1-beta.2", {1, 2, 0}},
        {L"1.2.3.4", {1, 2, 3}},
    };
    for (const Case& c : cases) EXPECT_EQ(FirstThree(c.text), c.expected) << c.text;
}

TEST(ParseVersion, KeepsComponentsBeyondThree) {
    EXPECT_EQ(ParseVersion(L"1.2.3.4"), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(ParseVersion(L"7").size(), 3u);
}

TEST(ParseVersion, SaturatesOutOfRangeComponents) {
    EXPECT_EQ(FirstThree(L"2147483647.1"), (std::vector<int>{INT_MAX, 1, 0}));
    EXPECT_EQ(FirstThree(L"2147483648.1"), (std::vector<int>{INT_MAX, 1, 0}));
    EXPECT_EQ(FirstThree(L"99999999999999999999999.0.1"), (std::vector<int>{INT_MAX, 0, 1}));
    // Saturated values still order above every representable one.
    EXPECT_EQ(CompareVersions(L"99999999999", L"2147483646"), 1);
}

TEST(ParseVersion, OnlyAsciiDigitsCount) {
    // Arabic-Indic and full-width digits are digits to iswdigit, not to a version.
    EXPECT_EQ(FirstThree(L"1.\u0663.\uFF15"), (std::vector<int>{1, 0, 0}));
    EXPECT_EQ(FirstThree(L"\u0661\u0662"), (std::vector<int>{0, 0, 0}));
}

TEST(CompareVersions, OrdersNumerically) {
    EXPECT_EQ(CompareVersions(L"1.10", L"1.9"), 1);
    EXPECT_EQ(CompareVersions(L"1.9", L"1.10"), -1);
    EXPECT_EQ(CompareVersions(L"2.0.0", L"1.99.99"), 1);
    EXPECT_EQ(CompareVersions(L"1.2.3", L"1.2.4"), -1);
}

TEST(CompareVersions, EqualOnFirstThreeComponents) {
    EXPECT_EQ(CompareVersions(L"1.2", L"1.2.0"), 0);
    EXPECT_EQ(CompareVersions(L"1.2.3.4", L"1.2.3.5"), 0);
    EXPECT_EQ(CompareVersions(L"", L"0.0.0"), 0);
    EXPECT_EQ(CompareVersions(L"1.2-rc3", L"1.23"), 0);
}

TEST(CompareVersions, EmptyIsOlderThanAnyNonZero) {
    EXPECT_EQ(CompareVersions(L"", L"0.0.1"), -1);
    EXPECT_EQ(CompareVersions(L"0.1", L""), 1);
}

TEST(CompareVersions, ResultIsAlwaysMinusOneZeroOrOne) {
    const wchar_t* texts[] = {L"", L"1", L"100.0.0", L"0.0.5000", L"9.9.9", L"2147483647"};
    for (const wchar_t* a : texts) {
        for (const wchar_t* b : texts) {
            int r = CompareVersions(a, b);
            EXPECT_TRUE(r == -1 || r == 0 || r == 1) << a << " vs " << b;
            EXPECT_EQ(r, -CompareVersions(b, a));
        }
    }
}

}  // namespace
