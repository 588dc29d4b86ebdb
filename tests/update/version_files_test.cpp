// Versions known file by file: a pass removes what the next version drops within its commit,
// never a file no list named nor a user file, and repairs what is missing or wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include "base/app_directory.h"
#include "base/hex.h"
#include "base/scoped_handle.h"
#include "base/sha256.h"
#include "base/text.h"
#include "install/commit.h"
#include "install/extract_zip.h"
#include "tests/support/support.h"
#include "tools/pack_release.h"
#include "tools/publish_release.h"
#include "tools/signing_key.h"
#include "update/file_lists.h"
#include "update/local_files.h"
#include "update/updater_thread.h"

namespace {

using Files = std::map<std::wstring, std::string>;
using Lines = std::vector<std::wstring>;

const Files kBuild1 = {{L"engine.dll", "engine 1"},        {L"data\\a.txt", "data"},
                       {L"plugins\\old.dll", "old plugin"}, {L"config.ini", "defaults 1"},
                       {L"AutoTorvane.exe", "app 1"}};
const Files kBuild2 = {{L"engine.dll", "engine 2"}, {L"data\\a.txt", "data"},
                       {L"config.ini", "defaults 2"}, {L"AutoTorvane.exe", "app 1"}};

// Every file below root with its bytes.
Files Tree(const std::wstring& root = AppDirectory()) {
    Files files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        if (entry.is_regular_file() && entry.path().filename() != L"hopwell.lock")
            files[entry.path().lexically_relative(root).wstring()] = ReadBytes(entry.path().wstring());
    return files;
}

class VersionFiles : public testing::Test {
protected:
    TempDir dir;
    const std::wstring release = dir.File(L"release");
    std::map<std::wstring, std::string> listDigests;  // version -> hex
    std::string privateKey, publicKey;
    std::string archiveQuery;  // after every archive's URL

    void SetUp() override {
        ClearDirectory(AppDirectory());
        std::vector<std::string> report;
        std::string error;
        CreateDirectoryW(release.c_str(), nullptr);
        ASSERT_TRUE(CreateKeyFile(dir.File(L"key.txt"), report, error));
        publicKey = report.at(0);
        ASSERT_TRUE(ParsePrivateKeyText(ReadBytes(dir.File(L"key.txt")), privateKey));
    }
    // Packs the build as version and serves its archive and list.
    void Release(const std::wstring& version, const Files& build, bool full = false) {
        const std::wstring folder = dir.File(L"build-" + version);
        std::filesystem::remove_all(folder);  // an earlier build of this version
        for (const auto& [name, bytes] : build) {
            std::filesystem::create_directories(std::filesystem::path(folder + L"\\" + name).parent_path());
            ASSERT_TRUE(WriteStringToFile(folder + L"\\" + name, bytes));
        }
        std::vector<std::string> report;
        std::string error, digest;
        ASSERT_TRUE(PackRelease(folder, version, release, full, {L"*.ini"}, report, error)) << error;
        const std::string list = ReadBytes(release + L"\\" + version + L".files");
        ASSERT_TRUE(Sha256OfBytes(list, digest));
        listDigests[version] = HexText(digest);
        Serve("vf-" + WideToUtf8(version) + ".zip", ReadBytes(release + L"\\" + version + L".zip"));
        Serve("vf-" + WideToUtf8(version) + ".files", list);
    }
    // A manifest offering versions (with lists unless told), signed; returns its URL.
    std::wstring Manifest(const std::wstring& latest, const std::vector<std::wstring>& versions,
                          bool lists = true, const std::string& listDigest = "",
                          const std::wstring& unlisted = L"") {
        std::string urls, digests, sizes, files;
        for (const std::wstring& version : versions) {
            const std::string v = WideToUtf8(version), zip = "vf-" + v + ".zip";
            std::string digest;
            const std::string archive = ReadBytes(release + L"\\" + version + L".zip");
            EXPECT_TRUE(Sha256OfBytes(archive, digest));
            const std::string comma = urls.empty() ? "" : ", ";
            urls += comma + "\"" + v + "\": \"" + WideToUtf8(ServerUrl("/" + zip + archiveQuery)) + "\"";
            digests += comma + "\"" + v + "\": \"" + HexText(digest) + "\"";
            sizes += comma + "\"" + v + "\": " + std::to_string(archive.size());
            if (version != unlisted)
                files += (files.empty() ? "" : ", ") + ("\"" + v + "\": \"") +
                         (listDigest.empty() ? listDigests[version] : listDigest) + "\"";
        }
        const std::string body = "{\"latest_version\": \"" + WideToUtf8(latest) +
                                 "\", \"download_urls\": {" + urls + "}, \"sha256\": {" + digests +
                                 "}, \"size\": {" + sizes + "}" +
                                 (lists ? ", \"files\": {" + files + "}" : "") + "}";
        std::string signature;
        EXPECT_TRUE(SignData(privateKey, body, signature));
        Serve("vf.json.sig", signature);
        return Serve("vf.json", body);
    }
    // A pass's lines, progress and status left out.
    Lines Pass(const std::wstring& manifest, bool keyed = true, bool repair = false) {
        Lines lines;
        for (const std::wstring& line : LoggedBy([&](HWND window) {
                 RunUpdatePass(window, manifest, keyed ? publicKey : "", CurrentUtcTime(), repair);
             })) {
            if (line.rfind(L"progress ", 0) != 0 && line.rfind(L"status ", 0) != 0)
                lines.push_back(line);
        }
        return lines;
    }
    // 1.0.0 installed by a pass, a save file and an edited user file made since.
    void InstallFirst() {
        Release(L"1.0.0", kBuild1);
        Release(L"1.1.0", kBuild2);
        InstallReleased();
    }
    void InstallReleased() {
        Pass(Manifest(L"1.0.0", {L"1.0.0"}));
        ASSERT_EQ(ReadInstalledVersion(AppPath(L"version.ini")), L"1.0.0");
        CreateDirectoryW(AppPath(L"saves").c_str(), nullptr);
        ASSERT_TRUE(WriteStringToFile(AppPath(L"saves\\game.sav"), "progress"));
        ASSERT_TRUE(WriteStringToFile(AppPath(L"config.ini"), "mine"));
    }
    Files Expected(const Files& build, const std::wstring& version) {
        Files files = build;
        files[L"version.ini"] = "version=" + WideToUtf8(version) + "\r\n";
        files[L"version.files"] = ReadBytes(release + L"\\" + version + L".files");
        files[L"saves\\game.sav"] = "progress";
        files[L"config.ini"] = "mine";
        return files;
    }
};

const std::wstring kUpToDate = L"Bạn đang ở phiên bản mới nhất (1.1.0).",
                   kUnfinished = L"Cập nhật chưa hoàn tất.", kUnpacked = L"Miniz giải nén thành công!";

// The dropped plugin goes with its emptied folder; saves and the user's config stay. A failed
// commit, and one killed before its version was recorded, put the plugin back.
TEST_F(VersionFiles, AnInstallRemovesWhatTheVersionDropsWithinItsCommit) {
    for (const char* ending : {"installed", "failed", "killed", "killed recorded"}) {
        SCOPED_TRACE(ending);
        ClearDirectory(AppDirectory());
        InstallFirst();
        const Files before = Tree();
        const std::wstring manifest = Manifest(L"1.1.0", {L"1.0.0", L"1.1.0"});
        if (std::string(ending) == "installed") {
            EXPECT_EQ(Pass(manifest).back(), L"enable-start");
            EXPECT_EQ(Tree(), Expected(kBuild2, L"1.1.0"));
            EXPECT_FALSE(FileExists(AppPath(L"plugins")));
        } else if (std::string(ending) == "failed") {
            // The kept list comes last in the commit, after the plugin was moved aside.
            ScopedFile held(CreateFileW(AppPath(L"version.files").c_str(), GENERIC_READ,
                                        FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
            const Lines lines = Pass(manifest);
            EXPECT_NE(std::find(lines.begin(), lines.end(), kUnfinished), lines.end());
            held.reset();
            Files after = Tree();
            // What was fetched is kept for the next try.
            after.erase(after.lower_bound(L"1.1.0.zip"), after.lower_bound(L"1.1.0.zip~"));
            EXPECT_EQ(after, before);
        } else {
            const bool recorded = std::string(ending) == "killed recorded";
            const std::string list = ReadBytes(release + L"\\1.1.0.files");
            UnpackOptions options;
            options.removals = {L"plugins\\old.dll"};
            options.keptList = &list;
            LoggedBy([&](HWND) {
                ASSERT_TRUE(ExtractZip(release + L"\\1.1.0.zip", L"1.1.0", nullptr, options));
            });
            if (recorded) WriteInstalledVersion(AppPath(L"version.ini"), L"1.1.0");
            Pass(L"http://127.0.0.1:1/v.json");
            Files expected = recorded ? Expected(kBuild2, L"1.1.0") : before;
            if (recorded) expected[L"config.ini"] = "defaults 2";  // told of no user file
            EXPECT_EQ(Tree(), expected);
        }
        EXPECT_FALSE(FileExists(AppPath(L"hopwell-commit.journal")));
    }
}

// Repair from the source version's archive (1.0.0 for data, 1.1.0 for the engine), the
// same-size change found only by --repair; a file whose source is no longer offered is
// named and the pass ends unfinished. version.ini is never touched.
TEST_F(VersionFiles, APassRepairsMissingAndWrongFiles) {
    InstallFirst();
    Pass(Manifest(L"1.1.0", {L"1.0.0", L"1.1.0"}));
    const Lines repaired = {kUpToDate, L"Đang sửa 1 tệp...", kUnpacked, L"Đã sửa 1 tệp."};
    const struct {
        std::wstring file;
        std::string bytes;  // "" deletes it
        bool repair;
        std::vector<std::wstring> offered;
        Lines lines;
    } rows[] = {
        {L"data\\a.txt", "", false, {L"1.0.0", L"1.1.0"}, repaired},
        {L"engine.dll", "eng", false, {L"1.0.0", L"1.1.0"}, repaired},
        {L"engine.dll", "engine 9", false, {L"1.0.0", L"1.1.0"}, {kUpToDate}},
        {L"engine.dll", "engine 9", true, {L"1.0.0", L"1.1.0"}, repaired},
        {L"data\\a.txt", "", true, {L"1.1.0"},
         {kUpToDate, L"Đang sửa 1 tệp...", L"Không sửa được tệp: data\\a.txt", kUnfinished}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(WideToUtf8(row.file) + " " + row.bytes);
        Files expected = Expected(kBuild2, L"1.1.0");
        if (row.bytes.empty()) DeleteFileW(AppPath(row.file).c_str());
        else WriteStringToFile(AppPath(row.file), row.bytes);
        Lines lines = Pass(Manifest(L"1.1.0", row.offered), true, row.repair);
        lines.erase(lines.begin());  // the check line
        lines.pop_back();            // Start enabled
        EXPECT_EQ(lines, row.lines);
        if (row.lines.back() == kUnfinished) expected.erase(row.file);
        if (row.lines.size() == 1) expected[row.file] = row.bytes;
        EXPECT_EQ(Tree(), expected);
        WriteStringToFile(AppPath(row.file), kBuild2.at(row.file));
    }
}

// Under a key, a list whose digest differs is refused with the tamper line and nothing is
// installed; a launcher without a key installs it. Without a kept list, the installed
// version's list from the server says what is dropped. A manifest without lists keeps no list
// and removes nothing, and its install removes the list kept from before.
TEST_F(VersionFiles, ListsTheManifestSignsOrLacks) {
    const std::string other(64, 'a');
    const struct {
        bool keyed, lists;
        std::string listDigest;
        bool keptBefore, installed, keepsList, dropped;
    } rows[] = {
        {true, true, other, true, false, true, false},
        {false, true, other, true, true, true, true},
        {true, true, "", false, true, true, true},
        {true, false, "", true, true, false, false},
    };
    for (const auto& row : rows) {
        ClearDirectory(AppDirectory());
        InstallFirst();
        if (!row.keptBefore) DeleteFileW(AppPath(L"version.files").c_str());
        const Lines lines =
            Pass(Manifest(L"1.1.0", {L"1.0.0", L"1.1.0"}, row.lists, row.listDigest), row.keyed);
        EXPECT_EQ(std::find(lines.begin(), lines.end(),
                            L"Tệp cập nhật bị thay đổi hoặc hỏng: 1.1.0") != lines.end(),
                  !row.installed);
        EXPECT_EQ(ReadInstalledVersion(AppPath(L"version.ini")),
                  row.installed ? L"1.1.0" : L"1.0.0");
        EXPECT_EQ(FileExists(AppPath(L"version.files")), row.keepsList);
        EXPECT_EQ(FileExists(AppPath(L"plugins\\old.dll")), !row.dropped);
        EXPECT_TRUE(FileExists(AppPath(L"saves\\game.sav")));
        EXPECT_EQ(ReadBytes(AppPath(L"config.ini")), row.installed && !row.lists ? "defaults 2" : "mine");
    }
}

// 1.0.0 to 1.2.0 with lists for every version is one step, logged as 1.2.0 alone, that
// fetches the changed entries only, from full builds or patches, by range or, from a server
// without ranges, whole. A version without a list makes it one by one; an entry whose bytes
// differ from the signed list fails it with nothing installed.
TEST_F(VersionFiles, CatchesUpInOneStepFetchingOnlyWhatDiffers) {
    std::string big(400000, '\0');  // stored, as compressed assets are; never changed
    uint32_t seed = 7;
    for (char& c : big) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 24);
    Files b1 = kBuild1, b2 = kBuild2;
    b1[L"assets\\big.pak"] = b2[L"assets\\big.pak"] = big;
    Files b3 = b2, dropOnly = b1;  // 1.0.0 but one file
    // Over a mebibyte, and stored: hashed on a thread of its own, its bytes found below.
    const std::string engine3 = "engine 3" + big + big + big;
    b3[L"engine.dll"] = engine3;
    b3[L"data\\b.txt"] = "new in 3";
    b3.erase(L"data\\a.txt");
    dropOnly.erase(L"data\\a.txt");
    const struct {
        const char* name;
        bool full;
        std::string query;
        std::wstring unlisted;
        bool tampered;
        bool oneStep;
        bool ranged;  // the unchanged asset not asked for
    } rows[] = {
        {"full builds", true, "", L"", false, true, true},
        {"patches", false, "", L"", false, true, true},
        {"no ranges", true, "?ranges=", L"", false, true, false},
        {"one without a list", false, "", L"1.1.0", false, false, true},
        {"wrong entry", true, "", L"", true, true, true},
        {"damaged entry", true, "", L"", true, true, true},
        {"wrong entry, no ranges", true, "?ranges=", L"", true, true, false},
        {"a version that only drops a file", true, "", L"", false, true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ClearDirectory(AppDirectory());
        ClearDirectory(release);
        archiveQuery = row.query;
        Release(L"1.0.0", b1, row.full);
        Release(L"1.1.0", b2, row.full);
        const bool drops = std::string(row.name).find("drops") != std::string::npos;
        const Files& last = drops ? dropOnly : b3;
        Release(L"1.2.0", last, row.full);
        if (std::string(row.name) == "damaged entry") {  // bytes its CRC does not match
            std::string archive = ReadBytes(release + L"\\1.2.0.zip");
            const size_t at = archive.find("engine 3");
            ASSERT_NE(at, std::string::npos);
            archive[at + 7] = '4';
            Serve("vf-1.2.0.zip", archive);
        } else if (row.tampered) {  // the engine's line names other bytes, and the manifest signs it
            std::string list = ReadBytes(release + L"\\1.2.0.files"), digest, engine;
            ASSERT_TRUE(Sha256OfBytes(engine3, engine));
            const size_t at = list.find(HexText(engine));
            ASSERT_NE(at, std::string::npos);
            list.replace(at, 64, std::string(64, '0'));
            ASSERT_TRUE(Sha256OfBytes(list, digest));
            listDigests[L"1.2.0"] = HexText(digest);
            Serve("vf-1.2.0.files", list);
        }
        InstallReleased();
        const Files before = Tree();
        const std::vector<std::wstring> versions = {L"1.0.0", L"1.1.0", L"1.2.0"};
        std::map<std::wstring, size_t> gets;  // of each archive before the pass
        uint64_t archives = 0;
        for (const std::wstring& v : versions) {
            archives += ReadBytes(release + L"\\" + v + L".zip").size();
            gets[v] = Gets("/vf-" + WideToUtf8(v) + ".zip").size();
        }
        const Lines lines = Pass(Manifest(L"1.2.0", versions, true, "", row.unlisted));
        uint64_t asked = 0;
        for (const std::wstring& v : versions)
            asked += BytesAsked("/vf-" + WideToUtf8(v) + ".zip",
                                ReadBytes(release + L"\\" + v + L".zip").size(), gets[v]);
        const auto has = [&](const std::wstring& line) {
            return std::find(lines.begin(), lines.end(), line) != lines.end();
        };
        EXPECT_EQ(has(L"Đang tải bản 1.1.0..."), !row.oneStep);
        EXPECT_TRUE(has(L"Đang tải bản 1.2.0..."));
        EXPECT_EQ(has(L"Tệp cập nhật bị thay đổi hoặc hỏng: 1.2.0"), row.tampered);
        EXPECT_EQ(asked < engine3.size() + big.size(), row.ranged) << asked;
        EXPECT_LE(asked, archives);
        if (row.tampered) {
            EXPECT_TRUE(Tree() == before);
            continue;
        }
        EXPECT_TRUE(has(L"Hoàn tất cập nhật 1.2.0."));
        EXPECT_EQ(has(L"Hoàn tất cập nhật 1.1.0."), !row.oneStep);
        EXPECT_EQ(ReadInstalledVersion(AppPath(L"version.ini")), L"1.2.0");
        EXPECT_TRUE(!row.oneStep || Tree() == Expected(last, L"1.2.0"));
        EXPECT_TRUE(!drops || asked == 0) << asked;
    }
}

// A pass killed while the entries come in by range leaves its parts, plan and record; the
// next pass goes on from them and asks only for the rest.
TEST_F(VersionFiles, AKilledCatchUpGoesOnFromTheRangesItHad) {
    std::string asset(3 << 20, '\0');
    uint32_t seed = 9;
    for (char& c : asset) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 24);
    Files b2 = kBuild2;
    b2[L"assets\\big.pak"] = asset;
    archiveQuery = "?slow=100";  // 64 KiB pieces, 100 ms apart
    Release(L"1.0.0", kBuild1, true);
    Release(L"1.1.0", b2, true);
    Pass(Manifest(L"1.0.0", {L"1.0.0"}));
    ASSERT_EQ(ReadInstalledVersion(AppPath(L"version.ini")), L"1.0.0");
    const std::wstring manifest = Manifest(L"1.1.0", {L"1.0.0", L"1.1.0"});

    ScopedHandle child(StartTool(HOPWELL_FAKE_APP, "hopwell-pass.exe", manifest + L" \"" +
                                 AppDirectory() + L"\" " + Utf8ToWide(publicKey)));
    ASSERT_TRUE(child);
    const std::wstring record = AppPath(L"1.1.0.zip.ranges.resume");
    uint64_t kept = 0;
    for (int i = 0; i < 300 && kept < (1u << 20); ++i) {
        Sleep(50);
        const std::string text = ReadBytes(record);
        kept = 0;
        // The record's fifth line: the count of parts, then the bytes of each.
        std::istringstream lines(text);
        std::string line;
        for (int n = 0; n < 5 && std::getline(lines, line); ++n) {}
        std::istringstream counts(line);
        uint64_t count = 0, bytes = 0;
        for (counts >> count; counts >> bytes;) kept += bytes;
    }
    TerminateProcess(child.get(), 1);
    WaitForSingleObject(child.get(), 10000);
    ASSERT_GE(kept, 1u << 20);
    ASSERT_EQ(ReadInstalledVersion(AppPath(L"version.ini")), L"1.0.0");

    const size_t gets = Gets("/vf-1.1.0.zip").size();
    const Lines lines = Pass(manifest);
    EXPECT_NE(std::find(lines.begin(), lines.end(), L"Hoàn tất cập nhật 1.1.0."), lines.end());
    EXPECT_EQ(ReadBytes(AppPath(L"assets\\big.pak")), asset);
    EXPECT_LE(BytesAsked("/vf-1.1.0.zip", 0, gets), asset.size() + 100000 - kept);
    EXPECT_FALSE(FileExists(record));
}

TEST(RepairOption, IsReadFromTheCommandLine) {
    const struct {
        const wchar_t* line;
        bool repair;
    } rows[] = {{L"launcher.exe --repair", true}, {L"launcher.exe", false}, {L"--repair", false},
                {L"\"C:\\Program Files\\x\\launcher.exe\" -x --repair", true},
                {L"launcher.exe \"--repair now\"", false}};
    for (const auto& row : rows) EXPECT_EQ(RepairRequested(row.line), row.repair) << row.line;
}

}  // namespace
