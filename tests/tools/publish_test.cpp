// The publishing tool: a folder published reads as the launcher reads it and verifies; bad input
// is refused with its reason and nothing written.
#include "tools/publish_release.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "tests/support/support.h"
#include "update/manifest.h"

namespace {

using Files = std::map<std::wstring, std::string>;

class Publish : public testing::Test {
protected:
    TempDir dir;
    const std::wstring release = dir.File(L"release"), key = dir.File(L"key.txt");
    const std::string zip = ReadBytes(HostPath(HOPWELL_TEST_ARCHIVES "/good.zip"));
    std::string publicKey, error;
    std::vector<std::string> report;

    void SetUp() override {
        CreateDirectoryW(release.c_str(), nullptr);
        ASSERT_TRUE(CreateKeyFile(key, report, error)) << error;
        publicKey = report.at(0);
    }
    void Put(const Files& files) {
        for (const auto& [name, bytes] : files)
            ASSERT_TRUE(WriteStringToFile(release + L"\\" + name, bytes));
    }
    // Every file of the release folder with its bytes.
    Files Snapshot() {
        Files files;
        for (const auto& entry : std::filesystem::directory_iterator(release))
            files[entry.path().filename().wstring()] = ReadBytes(entry.path().wstring());
        return files;
    }
};

TEST_F(Publish, AFolderPublishedReadsAsTheLauncherReadsItAndVerifies) {
    Put({{L"1.0.0.zip", zip}, {L"1.10.0.zip", zip + "x"}, {L"1.9.0.zip", zip}});
    ASSERT_TRUE(PublishFolder(key, release, L"https://h.example/r/", L"1.10.0", report, error))
        << error;
    // What a launcher without a key reads from it: nothing but what it always read.
    UpdateManifest manifest;
    ASSERT_TRUE(ParseManifest(ReadBytes(release + L"\\version.json"), manifest));
    EXPECT_EQ(manifest.latest_version, L"1.10.0");
    EXPECT_EQ(manifest.download_urls,
              (std::map<std::wstring, std::wstring>{{L"1.0.0", L"https://h.example/r/1.0.0.zip"},
                                                    {L"1.10.0", L"https://h.example/r/1.10.0.zip"},
                                                    {L"1.9.0", L"https://h.example/r/1.9.0.zip"}}));
    const int64_t size = static_cast<int64_t>(zip.size());
    EXPECT_EQ(ParseArchiveSizes(ReadBytes(release + L"\\version.json")),
              (ArchiveSizes{{L"1.0.0", size}, {L"1.10.0", size + 1}, {L"1.9.0", size}}));
    EXPECT_TRUE(VerifyFolder(release, publicKey, report, error)) << error;
    // A second run replaces its own files.
    EXPECT_TRUE(PublishFolder(key, release, L"https://h.example/r", L"1.9.0", report, error))
        << error;
    // Verifying refuses another key, and a changed archive.
    ASSERT_TRUE(CreateKeyFile(dir.File(L"other.txt"), report, error));
    EXPECT_FALSE(VerifyFolder(release, report.at(0), report, error));
    EXPECT_EQ(error, "version.json.sig is not a signature of version.json by this key");
    ASSERT_TRUE(WriteStringToFile(release + L"\\1.0.0.zip", zip + " "));
    EXPECT_FALSE(VerifyFolder(release, publicKey, report, error));
    EXPECT_EQ(error, "1.0.0.zip does not match its sha256 entry");
}

TEST_F(Publish, BadInputIsRefusedWithItsReasonAndNothingWritten) {
    ASSERT_TRUE(WriteStringToFile(dir.File(L"public.txt"), publicKey + "\n"));
    const Files one = {{L"1.0.0.zip", zip}};
    const struct {
        Files files;
        std::wstring latest, baseUrl, keyName;
        std::string error;
    } cases[] = {
        {{{L"1.0.0.zip", zip}, {L"1.0-beta.zip", zip}},
         L"1.0.0",
         L"https://h/r",
         L"key.txt",
         "not a version (digits and dots): 1.0-beta.zip"},
        {one, L"1.x", L"https://h/r", L"key.txt", "not a version (digits and dots): 1.x"},
        {{{L"1.2.zip", zip}, {L"1.2.0.zip", zip}},
         L"1.2",
         L"https://h/r",
         L"key.txt",
         "two archives of the same version: 1.2"},
        {one, L"1.1.0", L"https://h/r", L"key.txt", "no archive of the latest version 1.1.0"},
        {{}, L"1.0.0", L"https://h/r", L"key.txt", "no archive of the latest version 1.0.0"},
        {{{L"1.0.0.zip", "PK\x03\x04 but no archive"}},
         L"1.0.0",
         L"https://h/r",
         L"key.txt",
         "not a ZIP archive: 1.0.0.zip"},
        {{{L"1.0.0.zip", zip}, {L"notes.txt", "x"}},
         L"1.0.0",
         L"https://h/r",
         L"key.txt",
         "not a ZIP archive: notes.txt"},
        {one, L"1.0.0", L"http://h/r", L"key.txt", "not an https URL: http://h/r"},
        {one, L"1.0.0", L"https://h/a\"b", L"key.txt", "not an https URL: https://h/a\"b"},
        {one, L"1.0.0", L"https://h/r", L"missing.txt", "cannot read the key file "},
        {one, L"1.0.0", L"https://h/r", L"public.txt",
         "public.txt is not a private key made by hopwell-publish keygen"},
    };
    for (const auto& c : cases) {
        ClearDirectory(release);
        Put(c.files);
        const Files before = Snapshot();
        EXPECT_FALSE(
            PublishFolder(dir.File(c.keyName), release, c.baseUrl, c.latest, report, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(Snapshot(), before) << c.error;
    }
    const std::string keyText = ReadBytes(key);
    EXPECT_FALSE(CreateKeyFile(key, report, error));
    EXPECT_NE(error.find("key.txt already exists; keygen never overwrites a key"),
              std::string::npos)
        << error;
    EXPECT_EQ(ReadBytes(key), keyText);
}

}  // namespace
