// The publishing tool: a folder published reads as the launcher reads it and verifies; bad input
// is refused with its reason and nothing written.
#include "tools/publish_release.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "base/hex.h"
#include "base/sha256.h"
#include "base/app_directory.h"
#include "base/text.h"
#include "install/extract_zip.h"
#include "tests/support/support.h"
#include "tools/signing_key.h"
#include "update/manifest.h"
#include "update/mirrors.h"
#include "update/updater_thread.h"

namespace {

using Files = std::map<std::wstring, std::string>;
constexpr uint64_t k2030 = 135379296000000000, kDay = 864000000000;  // 2030-01-01T00:00:00Z

class Publish : public testing::Test {
protected:
    TempDir dir;
    const std::wstring release = dir.File(L"release"), key = dir.File(L"key.txt");
    const std::string zip = ReadBytes(HostPath(HOPWELL_TEST_ARCHIVES "/good.zip"));
    std::string publicKey, privateKey, error;
    std::vector<std::string> report;

    void SetUp() override {
        CreateDirectoryW(release.c_str(), nullptr);
        ASSERT_TRUE(CreateKeyFile(key, report, error)) << error;
        publicKey = report.at(0);
        ASSERT_TRUE(ParsePrivateKeyText(ReadBytes(key), privateKey));
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

// Mirrors too are signed as the launcher reads them.
TEST_F(Publish, AFolderPublishedReadsAsTheLauncherReadsItAndVerifies) {
    Put({{L"1.0.0.zip", zip}, {L"1.10.0.zip", zip + "x"}, {L"1.9.0.zip", zip}});
    ASSERT_TRUE(PublishFolder(key, release, L"https://h.example/r/", L"1.10.0", report, error, L"",
                              CurrentUtcTime(), {L"https://m.example/r", L"https://n.example/x//"}))
        << error;
    // What a launcher without a key reads from it: nothing but what it always read.
    UpdateManifest manifest;
    ASSERT_TRUE(ParseManifest(ReadBytes(release + L"\\version.json"), manifest));
    EXPECT_EQ(manifest.latest_version, L"1.10.0");
    EXPECT_EQ(manifest.download_urls,
              (std::map<std::wstring, std::wstring>{{L"1.0.0", L"https://h.example/r/1.0.0.zip"},
                                                    {L"1.10.0", L"https://h.example/r/1.10.0.zip"},
                                                    {L"1.9.0", L"https://h.example/r/1.9.0.zip"}}));
    EXPECT_EQ(ParseMirrors(ReadBytes(release + L"\\version.json")),
              (std::vector<std::wstring>{L"https://m.example/r/", L"https://n.example/x/"}));
    const int64_t size = static_cast<int64_t>(zip.size());
    EXPECT_EQ(ParseArchiveSizes(ReadBytes(release + L"\\version.json")),
              (ArchiveSizes{{L"1.0.0", size}, {L"1.10.0", size + 1}, {L"1.9.0", size}}));
    EXPECT_TRUE(VerifyFolder(release, publicKey, report, error)) << error;
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
        std::wstring latest;
        std::string error;
        std::wstring days = L"", baseUrl = L"https://h/r", keyName = L"key.txt";
        std::vector<std::wstring> mirrors = {};
    } cases[] = {
        {{{L"1.0.0.zip", zip}, {L"1.0-beta.zip", zip}}, L"1.0.0",
         "not a version (digits and dots): 1.0-beta.zip"},
        {one, L"1.x", "not a version (digits and dots): 1.x"},
        {{{L"1.2.zip", zip}, {L"1.2.0.zip", zip}}, L"1.2", "two archives of the same version: 1.2"},
        {one, L"1.1.0", "no archive of the latest version 1.1.0"},
        {{}, L"1.0.0", "no archive of the latest version 1.0.0"},
        {{{L"1.0.0.zip", "PK\x03\x04 but no archive"}}, L"1.0.0", "not a ZIP archive: 1.0.0.zip"},
        {{{L"1.0.0.zip", zip}, {L"notes.txt", "x"}}, L"1.0.0", "not a ZIP archive: notes.txt"},
        {{{L"1.0.0.zip", ReadBytes(HostPath(HOPWELL_TEST_ARCHIVES "/record.zip"))}}, L"1.0.0",
         "1.0.0.zip: the launcher cannot read record 2 of its central directory"},
        {one, L"1.0.0", "not a number of days from 1 to 36500: 0", L"0"},
        {one, L"1.0.0", "not a number of days from 1 to 36500: 36501", L"36501"},
        {one, L"1.0.0", "not a number of days from 1 to 36500: 1x", L"1x"},
        {one, L"1.0.0", "not an https URL: http://h/r", L"", L"http://h/r"},
        {one, L"1.0.0", "not an https URL: https://h/a\"b", L"", L"https://h/a\"b"},
        {one, L"1.0.0", "not an https URL: https:///r", L"", L"https://h/r", L"key.txt",
         {L"https://m.example/", L"https:///r"}},
        {one, L"1.0.0", "cannot read the key file ", L"", L"https://h/r", L"missing.txt"},
        {one, L"1.0.0", "public.txt is not a private key made by hopwell-publish keygen", L"",
         L"https://h/r", L"public.txt"},
    };
    for (const auto& c : cases) {
        ClearDirectory(release);
        Put(c.files);
        const Files before = Snapshot();
        EXPECT_FALSE(PublishFolder(dir.File(c.keyName), release, c.baseUrl, c.latest, report,
                                   error, c.days, CurrentUtcTime(), c.mirrors));
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

// One check of entry names for the launcher, publish and verify: each name refused by all three
// with its reason (nothing written), each accepted one unpacked and published.
TEST_F(Publish, EveryEntryNameIsJudgedAlikeByTheLauncherPublishAndVerify) {
    const char *control = "holds a control character",
               *character = "holds a character Windows refuses in names (<>\"|?*)",
               *kept = "is a name the launcher keeps for itself",
               *alias = "may be the short name of a name the launcher keeps for itself";
    const struct {
        std::string name;
        const char* reason;  // null: accepted
    } rows[] = {
        {"tab\there.txt", control}, {"line\nend.txt", control}, {"a\rb", control},
        {"\x01x", control}, {"sub/x\x1f", control},
        {"a<b", character}, {"a>b", character}, {"a\"b", character}, {"a|b", character},
        {"a?b", character}, {"sub/a*b", character},
        {"hopwell-commit.journal", kept}, {"HOPWELL-COMMIT.JOURNAL", kept},
        {"hopwell-commit.journal. ", kept}, {"./hopwell-commit.journal", kept},
        {"hopwell-commit.journal.tmp", kept}, {"hopwell-shell-staging/x.txt", kept},
        {"hopwell-shell-staging/", kept}, {"hopwell.lock", kept}, {"version.ini.tmp", kept},
        {"a.txt.hopwell-new", kept}, {"sub/a.txt.hopwell-old", kept}, {"a.hopwell-new12", kept},
        {"A.HOPWELL-OLD3", kept}, {"version.files.tmp", kept},
        {"HOPWEL~1.JOU", alias}, {"hopwe~12.jou", alias}, {"HO3A1F~1.JOU", alias},
        {"HOPW~K2Q.JOU", alias}, {"HOPWEL~2.TMP", alias}, {"VERSIO~1.TMP", alias},
        {"HOPWEL~1/x.txt", alias}, {"HOPWEL~1.LOC", alias}, {"FILE~1.HOP", alias},
        {"sub/LONGNA~2.HOP", alias},
        {"sub/hopwell.lock", nullptr}, {"sub/version.ini.tmp", nullptr},
        {"hopwell-commit.journal.bak", nullptr}, {"x.hopwell-newer", nullptr},
        {"hopwell-shell-staging-notes.txt", nullptr}, {"FOO~1.TXT", nullptr},
        {"README~1", nullptr}, {"VERSIO~1.INI", nullptr}, {"PROGRA~1.JOU", nullptr},
        {"sub/HOPWEL~1.JOU", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ClearDirectory(release);
        ClearDirectory(AppDirectory());
        const std::string archive = StoredArchive({{"first.txt", "1"}, {row.name, "2"}});
        Put({{L"1.0.0.zip", archive}});
        const Files before = Snapshot();
        const bool accepted = row.reason == nullptr;
        EXPECT_EQ(PublishFolder(key, release, L"https://h/r", L"1.0.0", report, error), accepted);
        if (accepted) {
            EXPECT_TRUE(VerifyFolder(release, publicKey, report, error)) << error;
        } else {
            const std::string refused = "1.0.0.zip holds an entry every launcher refuses: " +
                                        row.name + " (" + row.reason + ")";
            EXPECT_EQ(error, refused);
            EXPECT_EQ(Snapshot(), before);
            // A manifest signed over it, as another tool might have written.
            std::string digest, signature;
            ASSERT_TRUE(Sha256OfBytes(archive, digest));
            const std::string body =
                R"({"latest_version":"1.0.0","download_urls":{"1.0.0":"https://h/1.0.0.zip"},)"
                R"("sha256":{"1.0.0":")" + HexText(digest) + "\"}}";
            ASSERT_TRUE(SignData(privateKey, body, signature));
            Put({{L"version.json", body}, {L"version.json.sig", signature}});
            EXPECT_FALSE(VerifyFolder(release, publicKey, report, error));
            EXPECT_EQ(error, refused);
        }
        std::wstring shown = Utf8ToWide(row.name);
        std::replace(shown.begin(), shown.end(), L'/', L'\\');
        bool unpacked = !accepted;
        const std::vector<std::wstring> lines =
            LoggedBy([&](HWND) { unpacked = ExtractZip(release + L"\\1.0.0.zip", L"1"); });
        const std::vector<std::wstring> expected =
            accepted ? std::vector<std::wstring>{L"Miniz giải nén thành công!"}
                     : std::vector<std::wstring>{L"Đường dẫn không hợp lệ trong file ZIP: " + shown,
                                                 L"Miniz giải nén thất bại!"};
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(unpacked, accepted);
        EXPECT_EQ(FileExists(AppPath(L"first.txt")), accepted);
    }
    ClearDirectory(AppDirectory());
}

// Both files take the place of the earlier ones, or neither does: either held by a reader
// that does not share deletion (a sync client, a web server) leaves the folder as it was.
TEST_F(Publish, AHeldManifestFileLeavesTheEarlierReleaseAsItWas) {
    Put({{L"1.0.0.zip", zip}});
    ASSERT_TRUE(PublishFolder(key, release, L"https://h/r", L"1.0.0", report, error)) << error;
    Put({{L"1.1.0.zip", zip}});
    for (const std::wstring held : {L"version.json.sig", L"version.json"}) {
        const Files before = Snapshot();
        const HeldFile holder(release + L"\\" + held, FILE_SHARE_READ | FILE_SHARE_WRITE);
        EXPECT_FALSE(PublishFolder(key, release, L"https://h/r", L"1.1.0", report, error));
        const std::string named = "cannot replace " + WideToUtf8(release + L"\\" + held);
        EXPECT_EQ(error.rfind(named + " (error ", 0), 0u) << error;
        EXPECT_EQ(Snapshot(), before) << error;
    }
    EXPECT_TRUE(PublishFolder(key, release, L"https://h/r", L"1.1.0", report, error)) << error;
    EXPECT_TRUE(VerifyFolder(release, publicKey, report, error)) << error;
    EXPECT_EQ(Snapshot().size(), 4u);
}

// The expiry is written whole seconds after now, verify refuses the folder from that moment
// on, and a launcher with the key refuses the manifest with its line; without a key, or
// without an expiry, the pass goes on.
TEST_F(Publish, AnExpiryIsSignedAndRefusedFromItsMomentOn) {
    Put({{L"1.0.0.zip", zip}});
    ASSERT_TRUE(PublishFolder(key, release, L"https://h/r", L"1.0.0", report, error, L"31",
                              k2030 + 5000000))
        << error;
    EXPECT_NE(ReadBytes(release + L"\\version.json").find("\"expires\": \"2030-02-01T00:00:00Z\""),
              std::string::npos);
    EXPECT_TRUE(VerifyFolder(release, publicKey, report, error, k2030 + 31 * kDay - 1)) << error;
    EXPECT_FALSE(VerifyFolder(release, publicKey, report, error, k2030 + 31 * kDay));
    EXPECT_EQ(error, "version.json expired at 2030-02-01T00:00:00Z; publish again");

    std::string signature;
    const std::wstring expired = L"Thông tin phiên bản đã hết hạn.",
                       current = L"Bạn đang ở phiên bản mới nhất (0.0.0).";
    const std::string in2030 = R"(, "expires": "2030-01-01T00:00:00Z")";
    // The expiry of the manifest served; whether the launcher has the key; its clock.
    for (const auto& [member, keyed, now, line] :
         std::initializer_list<std::tuple<std::string, bool, uint64_t, std::wstring>>{
             {in2030, true, k2030 - 1, current}, {in2030, true, k2030, expired},
             {in2030, false, k2030 + kDay, current}, {"", true, k2030 + kDay, current},
             {R"(, "expires": "2030-02-30T00:00:00Z")", true, k2030 - kDay, expired}}) {
        const std::string body = R"({"latest_version": "0.0.0")" + member + "}";
        ASSERT_TRUE(SignData(privateKey, body, signature));
        const std::wstring url = Serve("expiring.json", body);
        Serve("expiring.json.sig", signature);
        const std::string trusted = keyed ? publicKey : "";
        EXPECT_EQ(LoggedBy([&](HWND w) { RunUpdatePass(w, url, trusted, now); }),
                  (std::vector<std::wstring>{L"Đang kiểm tra cập nhật...", line, L"enable-start"}))
            << body << " at " << now;
    }
}

// Manifest URLs are tried in order: one that is down, answers an error page or (under a key)
// comes without a valid signature hands over to the next, which is held to the same key.
TEST_F(Publish, AFallbackManifestUrlIsTriedWhenTheFirstFails) {
    const std::string body = R"({"latest_version": "0.0.0"})";
    std::string signature, forged;
    ASSERT_TRUE(SignData(privateKey, body, signature));
    ASSERT_TRUE(SignData(privateKey, R"({"latest_version": "9.9.9"})", forged));
    const std::wstring good = Serve("fallback-good.json", body);
    Serve("fallback-good.json.sig", signature);
    const std::wstring badSig = Serve("fallback-badsig.json", body);
    Serve("fallback-badsig.json.sig", forged);
    const std::wstring unsigned_ = Serve("fallback-unsigned.json", body);
    const std::wstring down = L"http://127.0.0.1:1/version.json", missing = ServerUrl("/none.json");
    const std::wstring current = L"Bạn đang ở phiên bản mới nhất (0.0.0).",
                       unreachable = L"Không thể lấy thông tin phiên bản từ server.",
                       invalid = L"Chữ ký thông tin phiên bản không hợp lệ.";
    for (const auto& [urls, keyed, line] :
         std::initializer_list<std::tuple<std::vector<std::wstring>, bool, std::wstring>>{
             {{down, good}, false, current}, {{missing, down, good}, false, current},
             {{down, missing}, false, unreachable}, {{down, good}, true, current},
             {{badSig, good}, true, current}, {{unsigned_, good}, true, current},
             {{badSig, down}, true, invalid}, {{down, unsigned_}, true, invalid},
             {{down, down}, true, unreachable}}) {
        const std::string trusted = keyed ? publicKey : "";
        EXPECT_EQ(LoggedBy([&](HWND w) { RunUpdatePass(w, urls, trusted, k2030); }),
                  (std::vector<std::wstring>{L"Đang kiểm tra cập nhật...", line, L"enable-start"}))
            << WideToUtf8(urls[0]) << " then " << WideToUtf8(urls[1]) << " keyed " << keyed;
    }
}

}  // namespace
