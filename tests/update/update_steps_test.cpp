#include "update/update_steps.h"

#include <gtest/gtest.h>

#include "update/version.h"

namespace {

UpdateManifest Manifest(const std::wstring& latest, std::initializer_list<const wchar_t*> keys) {
    UpdateManifest m;
    m.latest_version = latest;
    for (const wchar_t* key : keys) m.download_urls[key] = std::wstring(L"https://h/") + key;
    return m;
}

std::vector<std::wstring> Versions(const std::vector<UpdateStep>& steps) {
    std::vector<std::wstring> versions;
    for (const UpdateStep& s : steps) {
        EXPECT_EQ(s.url, L"https://h/" + s.version);
        versions.push_back(s.version);
    }
    return versions;
}

TEST(SelectUpdateSteps, FromNothingInstallsEverythingUpToLatestOldestFirst) {
    auto steps = SelectUpdateSteps(Manifest(L"1.10.0", {L"1.10.0", L"1.9.0", L"1.2.0"}), L"0.0.0");
    EXPECT_EQ(Versions(steps), (std::vector<std::wstring>{L"1.2.0", L"1.9.0", L"1.10.0"}));
}

TEST(SelectUpdateSteps, SkipsInstalledAndOlderAndAboveLatest) {
    auto steps = SelectUpdateSteps(
        Manifest(L"2.0", {L"1.0", L"1.5", L"2.0", L"2.0.1", L"3.0"}), L"1.5");
    EXPECT_EQ(Versions(steps), (std::vector<std::wstring>{L"2.0"}));
}

TEST(SelectUpdateSteps, VersionsEqualToInstalledAreNotInstalled) {
    EXPECT_TRUE(SelectUpdateSteps(Manifest(L"1.2.3.4", {L"1.2.3.4"}), L"1.2.3").empty());
    EXPECT_TRUE(SelectUpdateSteps(Manifest(L"9", {L"1", L"1.0"}), L"1.0.0").empty());
}

TEST(SelectUpdateSteps, EmptyInstalledVersionCountsAsZero) {
    auto steps = SelectUpdateSteps(Manifest(L"1", {L"0.0.0", L"0.0.1", L"1"}), L"");
    EXPECT_EQ(Versions(steps), (std::vector<std::wstring>{L"0.0.1", L"1"}));
}

TEST(SelectUpdateSteps, KeysAreUsedVerbatim) {
    auto steps = SelectUpdateSteps(Manifest(L"v2", {L"v1-beta", L"v2"}), L"0.0.0");
    EXPECT_EQ(Versions(steps), (std::vector<std::wstring>{L"v1-beta", L"v2"}));
}

TEST(SelectUpdateSteps, LargeManifestIsOrderedCompletely) {
    UpdateManifest m;
    m.latest_version = L"99.99.0";
    for (int major = 99; major >= 0; major--)
        for (int minor = 0; minor < 100; minor++) {
            std::wstring v = std::to_wstring(major) + L"." + std::to_wstring(minor) + L".0";
            m.download_urls[v] = L"https://h/" + v;
        }
    auto steps = SelectUpdateSteps(m, L"50.0.0");
    ASSERT_EQ(steps.size(), 4999u);
    EXPECT_EQ(steps.front().version, L"50.1.0");
    EXPECT_EQ(steps.back().version, L"99.99.0");
    for (size_t i = 1; i < steps.size(); i++)
        ASSERT_EQ(CompareVersions(steps[i - 1].version, steps[i].version), -1) << i;
}

}  // namespace
