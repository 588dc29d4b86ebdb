// The update decision: versions, the manifest and its signature, the steps chosen, the local
// files, and a pass when memory runs out.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <cstdlib>
#include <new>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "net/download.h"
#include "tests/support/support.h"
#include "update/local_files.h"
#include "update/manifest.h"
#include "update/manifest_expiry.h"
#include "update/mirrors.h"
#include "update/pass_lock.h"
#include "update/signature.h"
#include "update/update_steps.h"
#include "update/updater_thread.h"
#include "update/version.h"

// While non-zero, allocations of at least this many bytes fail, as when memory runs out.
std::atomic<size_t> failAllocationsFrom{0};

void* operator new(size_t size) {
    if (failAllocationsFrom != 0 && size >= failAllocationsFrom) throw std::bad_alloc();
    if (void* block = std::malloc(size != 0 ? size : 1)) return block;  // freed with free()
    throw std::bad_alloc();
}

namespace {

using Urls = std::map<std::wstring, std::wstring>;
using Lines = std::vector<std::wstring>;
const std::wstring kCheck = L"Đang kiểm tra cập nhật...";

// f0..f7 of version 1.0 alone in AppDirectory.
void WriteOldFiles() {
    ClearDirectory(AppDirectory());
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(WriteStringToFile(AppPath(L"f" + std::to_wstring(i) + L".txt"), "old"));
}

const std::wstring kRetrying = L"status Mất kết nối, đang thử lại...";

// A pass over AppDirectory holding f0..f7 of version 1.0 (in-use.zip has them as 2.0) against a
// manifest offering 2.0 at archiveUrl. Its lines; progress and status are queued while lines are
// sent, so they are noted apart, after them: where the bar was left, then each retry.
Lines PassOverVersionOne(const std::wstring& archiveUrl, const char* installed = "1.0") {
    WriteOldFiles();
    WriteStringToFile(AppPath(L"version.ini"), std::string("version=") + installed + "\r\n");
    const std::wstring manifest =
        Serve("pass.json", R"({"latest_version": "2.0", "download_urls": {"2.0": ")" +
                               WideToUtf8(archiveUrl) + "\"}}");
    Lines lines, retries;
    std::wstring bar;
    for (const std::wstring& line : LoggedBy([&](HWND window) { RunUpdatePass(window, manifest); })) {
        if (line.rfind(L"progress ", 0) == 0) bar = line;
        else if (line == kRetrying) retries.push_back(line);
        else if (line.rfind(L"status ", 0) != 0) lines.push_back(line);
    }
    if (!bar.empty()) lines.push_back(bar);
    lines.insert(lines.end(), retries.begin(), retries.end());
    return lines;
}

// Every ending a user can see, whole and in order; only a pass whose every step succeeded says
// it is complete and leaves the bar full.
TEST(UpdatePass, EndsWithWhatBecameOfIt) {
    const std::wstring fetch = L"Đang tải bản 2.0...", unpack = L"Đang giải nén 2.0...",
                       failed = L"Giải nén thất bại: 2.0", unfinished = L"Cập nhật chưa hoàn tất.";
    const Lines done = {kCheck, fetch, unpack, L"Miniz giải nén thành công!",
                        L"Sử dụng miniz để giải nén (nhanh)", L"Hoàn tất cập nhật 2.0.",
                        L"Cập nhật hoàn tất.", L"enable-start", L"progress 100"};
    const std::wstring archive =
        Serve("in-use.zip", ReadBytes(HostPath(HOPWELL_TEST_ARCHIVES "/in-use.zip")));
    Lines retried = done;
    retried.push_back(kRetrying);  // its archive answered 503 once
    const struct {
        std::wstring archiveUrl;
        const char* installed;
        Lines lines;
        uint64_t freeSpace = 0;  // what the disk is said to have; 0: what it has
        size_t failAllocationsFrom = 0;
    } rows[] = {
        // Ahead of the server's latest (a build of its own): the line names what is installed.
        {archive, "2.1", {kCheck, L"Bạn đang ở phiên bản mới nhất (2.1).", L"enable-start"}},
        {archive, "1.0", done},
        {archive + L"?busy=1", "1.0", retried},
        {ServerUrl("/missing.zip"), "1.0",
         {kCheck, fetch, L"Tải thất bại: 2.0", unfinished, L"enable-start", L"progress 0"}},
        // The download of the only version filled the bar; the failed unpack empties it again.
        {Serve("space.zip", ReadBytes(HostPath(HOPWELL_TEST_ARCHIVES "/space.zip"))), "1.0",
         {kCheck, fetch, unpack, L"Không đủ dung lượng trống để cài 2.0.", failed, unfinished,
          L"enable-start", L"progress 0"}},
        {archive, "1.0",
         {kCheck, fetch, L"Không đủ dung lượng trống để tải 2.0.", L"Tải thất bại: 2.0",
          unfinished, L"enable-start", L"progress 0"},
         100},  // less than the archive
        // Memory runs out for the manifest's read buffer: the process lives on.
        {archive, "1.0", {kCheck, L"Không thể lấy thông tin phiên bản từ server.", L"enable-start"},
         0, 65536},
    };
    const auto realFreeSpace = FreeSpaceAt;
    for (const auto& row : rows) {
        SCOPED_TRACE(WideToUtf8(row.archiveUrl));
        fakeFreeSpace = row.freeSpace;
        FreeSpaceAt = row.freeSpace ? FakeFreeSpace : realFreeSpace;
        failAllocationsFrom = row.failAllocationsFrom;
        const Lines lines = PassOverVersionOne(row.archiveUrl, row.installed);
        failAllocationsFrom = 0;
        FreeSpaceAt = realFreeSpace;
        EXPECT_EQ(lines, row.lines);
        const bool installed =
            std::find(row.lines.begin(), row.lines.end(), L"Cập nhật hoàn tất.") != row.lines.end();
        EXPECT_EQ(WideToUtf8(ReadInstalledVersion(AppPath(L"version.ini"))),
                  installed ? "2.0" : row.installed);
        EXPECT_EQ(ReadBytes(AppPath(L"f3.txt")), installed ? "new 3" : "old");
    }
}

const std::wstring kWaiting = L"Đang chờ một lượt cập nhật khác kết thúc...";

// hopwell-pass over directory, its lines as they come; onLine may answer each before the next.
Lines PassInAnotherProcess(const std::wstring& manifest, const std::wstring& directory,
                           const std::function<void(const std::wstring&)>& onLine) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE reading = nullptr, writing = nullptr;
    if (!CreatePipe(&reading, &writing, &inherit, 0)) return {L"no pipe"};
    ScopedHandle output(reading), input(writing);
    SetHandleInformation(reading, HANDLE_FLAG_INHERIT, 0);
    ScopedHandle child(StartTool(HOPWELL_FAKE_APP, "hopwell-pass.exe",
                                 manifest + L" \"" + directory + L"\"", writing));
    if (!child) return {L"not started"};
    input.reset();  // the pipe ends when the child's end closes
    Lines lines;
    std::string line;
    DWORD read = 0;
    for (char c; ReadFile(output.get(), &c, 1, &read, nullptr) && read;) {
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line.rfind("status ", 0) != 0) onLine(lines.emplace_back(Utf8ToWide(line)));
        line.clear();
    }
    WaitForSingleObject(child.get(), INFINITE);
    return lines;
}

// A journal that would take a file outside the application directory and delete one of it.
const std::string kForgedJournal =
    "hopwell-commit\nversion\t2.0\nfile\t..\\outside.txt\tf1.txt\t\nfile\tf2.txt\tf2.txt\t\n"
    "commit\n";
// An entry name that, written into the journal, would add a commit mark and a new file f2.txt.
const std::string kInjectedName = "x\t\t\ncommit\nfile\tf2.txt\tf2.txt\t\nleft\tx";

// A journal the launcher would not have written names nothing to touch: the pass leaves it and
// every file as they were, says it cannot recover, and ends unfinished, at every start.
TEST(UpdatePass, LeavesADamagedJournalAndEveryFileAlone) {
    const std::string head = "hopwell-commit\nversion\t2.0\n";
    const std::string rows[] = {
        kForgedJournal, "", "version\t2.0\nfile\tf2.txt\tf2.txt\t\ncommit\n",
        head + "file\tf1.txt\tf1.txt.hopwell-new\t..\\outside.txt\ncommit\n",
        head + "file\thopwell-commit.journal\thopwell-commit.journal\t\ncommit\n",
        head + "file\tf1.txt\tf2.txt\tf1.txt.hopwell-old\ncommit\n",
        head + "file\tf1.txt\tf1.txt.hopwell-new\tf2.txt\ncommit\n",
        head + "file\tf1.txt\thopwell-shell-staging\\..\\f2.txt\t\ncommit\n",
        head + "file\tf1.txt\tf1.txt.hopwell-new01\tf1.txt.hopwell-old\n",
        head + "file\tf2.txt\t\t\ncommit\n", head + "left\tf2.txt\n", head + "delete\tf2.txt\n",
        head + "left\t..\\outside.txt.hopwell-old\n", head + "commit\nfile\tf2.txt\tf2.txt\t\n",
        head + "file\tf2.txt\tf2.txt\t\ncommit\ncommit\n",
        head + "file\tf\xff.txt\tf\xff.txt\t\ncommit\n",
        // The journal an earlier launcher wrote for the injected name.
        head + "file\t" + kInjectedName + "\t" + kInjectedName + "\t\ncommit\n",
    };
    const std::wstring outside = AppDirectory() + L"\\..\\outside.txt";
    for (const std::string& journal : rows) {
        SCOPED_TRACE(journal);
        WriteOldFiles();
        ASSERT_TRUE(WriteStringToFile(outside, "outside"));
        ASSERT_TRUE(WriteStringToFile(AppPath(L"hopwell-commit.journal"), journal));
        for (int start = 0; start < 2; ++start)
            EXPECT_EQ(LoggedBy([](HWND w) { RunUpdatePass(w, L"http://127.0.0.1:1/v.json"); }),
                      (Lines{L"Không thể khôi phục lần cập nhật trước.", L"Cập nhật chưa hoàn tất.",
                             L"enable-start"}));
        EXPECT_EQ(ReadBytes(AppPath(L"hopwell-commit.journal")), journal);
        EXPECT_EQ(ReadBytes(outside), "outside");
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(ReadBytes(AppPath(L"f" + std::to_wstring(i) + L".txt")), "old");
    }
    DeleteFileW(outside.c_str());
}

// A second launcher of the same directory waits for the first one's pass, in whatever process;
// a directory it cannot lock gets no pass.
TEST(UpdatePass, WaitsForAnotherPassOverTheSameDirectory) {
    PassOverVersionOne(L"http://127.0.0.1:1/none.zip", "2.0");
    const std::wstring manifest = Serve("pass.json", R"({"latest_version": "2.0"})");
    auto held = std::make_unique<PassLock>(AppDirectory(), [] {});
    EXPECT_EQ(PassInAnotherProcess(manifest, AppDirectory(),
                                   [&](const std::wstring& line) {
                                       if (line == kWaiting) held.reset();
                                   }),
              (Lines{kWaiting, kCheck, L"Bạn đang ở phiên bản mới nhất (2.0).",
                     L"enable-start"}));
    EXPECT_EQ(PassInAnotherProcess(manifest, AppPath(L"missing"), [](const std::wstring&) {}),
              (Lines{L"Không thể tạo tệp khóa trong thư mục ứng dụng.",
                     L"Cập nhật chưa hoàn tất.", L"enable-start"}));
}

// Long paths take the extended form, normalized as Windows would have read them, so that they
// work past MAX_PATH where the system's long paths are off.
TEST(ExtendedPath, LongAbsolutePathsOnly) {
    const std::wstring deep(kExtendedPathFrom, L'd');
    const struct {
        std::wstring path, expected;
        bool always = false;
    } rows[] = {
        {L"C:\\app\\f.txt", L"C:\\app\\f.txt"}, {L"f.txt", L"f.txt", true},
        {L"C:\\" + deep.substr(4), L"C:\\" + deep.substr(4)},
        {L"C:\\" + deep + L"\\.\\sub/f.txt.", L"\\\\?\\C:\\" + deep + L"\\sub\\f.txt"},
        {L"\\\\server\\share\\" + deep, L"\\\\?\\UNC\\server\\share\\" + deep},
        {L"\\\\?\\C:\\" + deep + L"\\f.", L"\\\\?\\C:\\" + deep + L"\\f."},
        {deep + L"\\f.txt", deep + L"\\f.txt"},  // relative
        {L"C:\\app\\f.txt", L"\\\\?\\C:\\app\\f.txt", true},
        {L"\\\\server\\share", L"\\\\?\\UNC\\server\\share", true},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ExtendedPath(row.path, row.always), row.expected) << WideToUtf8(row.path);
}

// Entries that are http or https URLs with a host, in order, each ending in "/"; a mirror holds
// an archive under the last path segment of its URL.
TEST(ParseMirrors, TakesWebUrlsOnlyAndNamesTheArchiveByItsFileName) {
    EXPECT_EQ(ParseMirrors(R"({"mirrors": ["https://a.example/r", "HTTP://b.example/",
        "ftp://c/", "https:///x/", "https://d e/", "C:\\x\\", 7, "https://é.example/"]})"),
              (std::vector<std::wstring>{L"https://a.example/r/", L"HTTP://b.example/"}));
    EXPECT_TRUE(ParseMirrors(R"({"latest_version": "1", "mirrors": "https://a/"})").empty());
    const struct {
        const wchar_t *url, *mirrored;
    } rows[] = {
        {L"https://h/r/1.2.zip", L"https://m/1.2.zip"},
        {L"https://h/r/1.2.zip?token=1#x", L"https://m/1.2.zip"},
        {L"https://h/r/", L""}, {L"https://h", L""}, {L"https://h/", L""},
    };
    for (const auto& row : rows) EXPECT_EQ(MirrorUrl(L"https://m/", row.url), row.mirrored);
}

// Only the first three numbers count; characters but digits and dots are skipped, without
// ending a number; a number too large for an int is the largest int.
TEST(Versions, CompareByTheFirstThreeNumbers) {
    const struct {
        const wchar_t *a, *b;
        int order;
    } compared[] = {
        {L"1.10", L"1.9", 1},     {L"2.0.0", L"1.99.99", 1},    {L"1.2.3", L"1.2.4", -1},
        {L"1.2", L"1.2.0", 0},    {L"1.2.3.4", L"1.2.3.5", 0},  {L"", L"0.0.0", 0},
        {L"", L"0.0.1", -1},      {L".5", L"0.5.0", 0},         {L"1..3", L"1.0.3", 0},
        {L"1.2-rc3", L"1.23", 0}, {L"build 1.2.3", L"1.2.3", 0}, {L"1.\u0663.\uFF15", L"1", 0},
        {L"2147483648.1", L"2147483647.1", 0},                  {L"99999999999", L"2147483646", 1},
    };
    for (const auto& [a, b, order] : compared) {
        EXPECT_EQ(CompareVersions(a, b), order) << WideToUtf8(a) << " vs " << WideToUtf8(b);
        EXPECT_EQ(CompareVersions(b, a), -order) << WideToUtf8(b) << " vs " << WideToUtf8(a);
    }
}

TEST(ParseManifest, FindsQuotedValuesWithoutParsingJson) {
    const struct {
        std::string body;
        const wchar_t* latest;  // null: refused, the manifest untouched
        Urls urls;
    } rows[] = {
        {R"({"latest_version": "1.10.0", "download_urls": {"1.9.0": "u9", "1.10.0": "u10"}})",
         L"1.10.0", {{L"1.9.0", L"u9"}, {L"1.10.0", L"u10"}}},
        {"{ \"download_urls\" :\n{\n\"2\"\t:\t\"u2\" ,\r\n \"1\" : \"u1\"\n},\"latest_version\"\n "
         ":\n\t\"2\"}", L"2", {{L"1", L"u1"}, {L"2", L"u2"}}},
        {R"({"latest_version": 3, "x": "y"})", L"x", {}},  // a bare value pairs with the next text
        {R"({"latest_version":"1","download_urls":{"1":"a","1":"b"}})", L"1", {{L"1", L"b"}}},
        {R"({"latest_version":"1","download_urls":{"1":"https:\/\/h\/a.zip"}})", L"1",
         {{L"1", L"https:\\/\\/h\\/a.zip"}}},
        {R"({"latest_version":"3","download_urls":{"1":"a","2":"b}c","3":"d"}})", L"3",
         {{L"1", L"a"}}},
        {R"({"latest_version":"3","download_urls":{"1":"a","2" "b"}})", L"3", {{L"1", L"a"}}},
        {R"({"latest_version": "1.0", "download_urls": "none"})", L"1.0", {}},
        {R"({"latest_version": "1.0", "download_urls": { "1.0": "u")", L"1.0", {}},
        {"garbage \"latest_version\" junk : more \"7.0\"", L"7.0", {}},
        {"{\"latest_version\":\"1.0-\xC3\xA1\",\"download_urls\":{\"1\":\"\xE1\xBA\xA1\",\"2\":"
         "\"\xFF\"}}", L"1.0-\u00E1", {{L"1", L"\u1EA1"}, {L"2", L"\uFFFD"}}},
        {std::string("{\"latest_version\":\"1\",") + '\0' + "\"download_urls\":{\"1\":\"u\"}}",
         L"1", {{L"1", L"u"}}},
        {R"({"latest_version": "", "download_urls": {"1": "u"}})", nullptr, {}},
        {R"({"Latest_Version": "1.0"})", nullptr, {}}, {R"({latest_version: "1.0"})", nullptr, {}},
        {R"({"latest_version" "1.0"})", nullptr, {}}, {R"({"latest_version": "1.0)", nullptr, {}},
        {"<html>404 Not Found</html>", nullptr, {}},
    };
    for (const auto& row : rows) {
        UpdateManifest manifest;
        if (!row.latest) manifest = UpdateManifest{L"kept", {{L"k", L"v"}}};
        EXPECT_EQ(ParseManifest(row.body, manifest), row.latest != nullptr) << row.body;
        EXPECT_EQ(manifest.latest_version, row.latest ? row.latest : L"kept") << row.body;
        EXPECT_EQ(manifest.download_urls, row.latest ? row.urls : Urls({{L"k", L"v"}})) << row.body;
    }
}

// Only plain decimal numbers that fit are lengths; anything else leaves its version out.
TEST(ParseArchiveSizes, TakesPlainDecimalNumbersOnly) {
    EXPECT_EQ(ParseArchiveSizes(R"({"sha256": {"1": "ab"}, "size": {"1": 5000000003, "2":7,
        "3": "7", "4": -1, "5": 1234567890123456789, "6": 123456789012345678})"),
              (ArchiveSizes{{L"1", 5000000003}, {L"2", 7}, {L"6", 123456789012345678}}));
    EXPECT_TRUE(ParseArchiveSizes(R"({"size": 7})").empty());
}

// A key becomes VERSION.zip and its part files in the application directory.
TEST(ParseManifest, RefusesVersionKeysThatAreNoPlainFileName) {
    for (const auto& [key, accepted] : std::initializer_list<std::pair<std::string, bool>>{
             {"1.0.0-rc_1+B2", true}, {"v2", true}, {".5", true}, {"1..0.", true},
             {"9.9.9\\..\\..\\x", false}, {"../x", false}, {"1/0", false}, {"1:0", false},
             {"1 0", false}, {"1\t", false}, {"1%2e", false}, {"", false}, {".", false},
             {"..", false}, {"CON", false}, {"nul.1", false}, {"Lpt3", false},
             {"1.0\xC3\xA1", false}, {"1.0\xEF\xBC\x91", false}}) {
        UpdateManifest manifest;
        const std::string body = R"({"latest_version":"1","download_urls":{"1":"u",")" + key +
                                 R"(":"u"}})";
        EXPECT_EQ(ParseManifest(body, manifest), accepted) << key;
        EXPECT_EQ(manifest.download_urls.size(), accepted ? 2u : 0u) << key;
    }
}

TEST(ManifestExpiry, OnlyAValidTimeInOneExactFormatIsRead) {
    const uint64_t k2030 = 135379296000000000;  // 2030-01-01T00:00:00Z
    for (const auto& [member, moment] : std::initializer_list<std::pair<std::string, uint64_t>>{
             {R"("expires":"2030-01-01T00:00:01Z")", k2030 + 10000000},
             {R"("expires": "2028-02-29T23:59:59Z")", 134799551990000000},
             {R"("Expires": "2030-01-01T00:00:00Z")", 0}, {"", 0}}) {
        uint64_t expires = 1;
        EXPECT_TRUE(ReadManifestExpiry(R"({"latest_version": "1", )" + member + "}", expires));
        EXPECT_EQ(expires, moment) << member;  // 0: none
    }
    for (const char* refused :
         {"2029-02-29T00:00:00Z", "2030-13-01T00:00:00Z", "2030-01-01T24:00:00Z",
          "2030-01-01T00:60:00Z", "2030-01-01T00:00:60Z", "2030-01-01 00:00:00Z",
          "2030-01-01T00:00:00z", "2030-01-01T00:00:00", "2030-1-01T00:00:00Z",
          "+030-01-01T00:00:00Z", "2030-01-01T00:00:00Z ", "", "1601-01-01T00:00:00Z"}) {
        uint64_t expires = 0;
        EXPECT_FALSE(ReadManifestExpiry(std::string(R"({"expires": ")") + refused + "\"}", expires))
            << refused;
    }
}

TEST(SelectUpdateSteps, NewerThanInstalledUpToLatestOldestFirst) {
    const struct {
        const wchar_t* latest;
        std::vector<std::wstring> offered;
        const wchar_t* installed;
        std::vector<std::wstring> chosen;
    } rows[] = {
        {L"1.10.0", {L"1.10.0", L"1.9.0", L"1.2.0"}, L"0.0.0", {L"1.2.0", L"1.9.0", L"1.10.0"}},
        {L"2.0", {L"1.0", L"1.5", L"2.0", L"2.0.1", L"3.0"}, L"1.5", {L"2.0"}},
        {L"1.2.3.4", {L"1.2.3.4"}, L"1.2.3", {}},
        {L"1", {L"0.0.0", L"0.0.1", L"1"}, L"", {L"0.0.1", L"1"}},
    };
    for (const auto& row : rows) {
        UpdateManifest manifest{row.latest, {}};
        for (const std::wstring& v : row.offered) manifest.download_urls[v] = L"https://h/" + v;
        std::vector<std::wstring> chosen;
        for (const UpdateStep& step : SelectUpdateSteps(manifest, row.installed)) {
            EXPECT_EQ(step.url, L"https://h/" + step.version);
            chosen.push_back(step.version);
        }
        EXPECT_EQ(chosen, row.chosen) << WideToUtf8(row.installed);
    }
}

TEST(LocalFiles, VersionIniNamesTheTextAfterItsFirstKey) {
    TempDir dir;
    const std::wstring ini = dir.File(L"version.ini");
    EXPECT_EQ(ReadInstalledVersion(ini), L"0.0.0");
    const struct {
        std::string content;
        const wchar_t* version;
    } rows[] = {
        {"version=1.2.3\r\n", L"1.2.3"},          {"version=1.2.3", L"1.2.3"},
        {"[app]\r\nversion=2.0\r\nx=1", L"2.0"},  {"myversion=3", L"3"},
        {"version=1\nversion=2\n", L"1"},        {"version= 1.2 \t\r\n", L" 1.2 \t"},
        {"version=1.0-\xC3\xA1\r\n", L"1.0-\u00E1"}, {"version=\r\n", L""},
        {"", L"0.0.0"},                          {"version", L"0.0.0"},
        {"Version=1.2.3", L"0.0.0"},             {"version = 1.2.3", L"0.0.0"},
    };
    for (const auto& row : rows) {
        ASSERT_TRUE(WriteStringToFile(ini, row.content));
        EXPECT_EQ(ReadInstalledVersion(ini), row.version) << row.content;
    }
}

TEST(LocalFiles, VersionIniIsReplacedWholeOrNotAtAll) {
    TempDir dir;
    const std::wstring ini = dir.File(L"version.ini");
    ASSERT_TRUE(WriteStringToFile(ini, "[app]\r\nversion=0.1\r\nextra=1\r\n"));
    ASSERT_TRUE(WriteStringToFile(ini + L".tmp", "version=half"));  // left by a killed run
    ASSERT_TRUE(WriteInstalledVersion(ini, L"1.0-\u1EA1"));
    EXPECT_EQ(ReadBytes(ini), "version=1.0-\xE1\xBA\xA1\r\n");
    EXPECT_FALSE(FileExists(ini + L".tmp"));
    ASSERT_TRUE(WriteInstalledVersion(ini, L"1.4.2"));
    EXPECT_EQ(ReadBytes(ini), "version=1.4.2\r\n");
    ASSERT_TRUE(SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(WriteInstalledVersion(ini, L"2.0"));
    SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(ReadBytes(ini), "version=1.4.2\r\n");
    EXPECT_FALSE(WriteInstalledVersion(dir.File(L"no-such-dir\\version.ini"), L"1.0"));
    // Held without delete sharing (the application just stopped may not have ended): no rename
    // can replace it, so it is written in place.
    ScopedFile holder(CreateFileW(ini.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(WriteInstalledVersion(ini, L"2.0"));
    EXPECT_EQ(ReadBytes(ini), "version=2.0\r\n");
    EXPECT_FALSE(FileExists(ini + L".tmp"));
}

TEST(LocalFiles, PidFileIsReadLikeAtoiWhileTheApplicationWritesIt) {
    TempDir dir;
    const std::wstring pid = dir.File(L"app.pid");
    EXPECT_EQ(ReadPidFile(pid), 0u);
    for (const auto& [content, expected] :
         {std::pair{"1234\r\n", 1234u}, {"  1234", 1234u}, {"12abc", 12u}, {"0", 0u}, {"abc", 0u},
          {"", 0u}, {"\n\t 77\n", 77u}}) {
        ASSERT_TRUE(WriteStringToFile(pid, content));
        EXPECT_EQ(ReadPidFile(pid), expected) << content;
    }
    ScopedFile writer(CreateFileW(pid.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer.get(), "42", 2, &written, nullptr));
    EXPECT_EQ(ReadPidFile(pid), 42u);
}

// Made with another ECDSA implementation (Python's cryptography), so both ends of the format
// are checked against the standard, not against our own signer.
const std::string kData = "{\"latest_version\": \"1.0.0\"}\n";
const std::string kKey =
    "0c9357686bb89c167b65d05a75dc0323f75f284dda2f34526d304151eea6a45f"
    "72c3b906f3ee4faee1788c88b8ed1751195b8b9cd705886213e439fec715ae3f";
const std::string kSignature =
    "dba75aa19f36f4b6c428c2123cc16d9f59a7f81ca3210aae6d55e68e359797ff"
    "87b0c68a3fc3cf9135bdcf946d5ae9686757200a9d05cde04cabd59c4108a348";

TEST(VerifySignature, AcceptsOnlyTheExactBytesSignedByTheKey) {
    const std::string otherKey =
        "11f24895e5a8061a943b4f2c629ddd4bbde810102a01c655d5d10ba0433ee4f8"
        "dfe848fe1af3a793f7277f0ce9ae876d27ddd6d1a1992feb701ea072d11bb6c6";
    struct Case {
        const char* what;
        std::string data, signature, key;
        bool valid;
    } cases[] = {
        {"as signed", kData, kSignature, kKey, true}, {"no key", kData, kSignature, "", false},
        {"with its line end", kData, kSignature + "\n", kKey, true},
        {"with a CR LF line end", kData, kSignature + "\r\n", kKey, true},
        {"upper-case digits", kData, "DBA75AA19F36F4B6" + kSignature.substr(16), kKey, true},
        {"data cut short", kData.substr(0, kData.size() - 1), kSignature, kKey, false},
        {"another key", kData, kSignature, otherKey, false},
        {"no signature", kData, "", kKey, false},
        {"text after it", kData, kSignature + "\n\n", kKey, false},
        {"an error page", kData, "<html>404 Not Found</html>", kKey, false},
        {"a digit short", kData, kSignature.substr(1), kKey, false},
        {"a digit too many", kData, kSignature + "0", kKey, false},
        {"a key a digit short", kData, kSignature, kKey.substr(1), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(VerifySignature(c.data, c.signature, c.key), c.valid) << c.what;
}

}  // namespace
