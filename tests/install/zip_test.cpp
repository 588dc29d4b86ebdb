// ExtractZip over the archives of tests/install/make_archives.py: every form Info-ZIP writes,
// hostile ones, files that cannot be written, and sizes beyond 4 GiB (ExtractLarge, run alone).
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "install/commit.h"
#include "install/extract_zip.h"
#include "tests/support/support.h"

namespace {

using Lines = std::vector<std::wstring>;
const std::wstring kSuccess = L"Miniz giải nén thành công!", kFailure = L"Miniz giải nén thất bại!";
const std::wstring kNoArchive = L"Không thể khởi tạo miniz reader";

std::wstring Archive(const std::string& name) { return HostPath(HOPWELL_TEST_ARCHIVES "/" + name); }
std::wstring Target(const std::wstring& name) { return AppPath(name); }

// Everything below root, relative and sorted; directories end in '\'.
Lines Tree(const std::wstring& root = AppDirectory()) {
    Lines entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::wstring name = entry.path().lexically_relative(root).wstring();
        entries.push_back(entry.is_directory() ? name + L"\\" : name);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// Unpacks over AppDirectory as a pass does, the version then recorded; the lines it logged.
Lines Extract(const std::wstring& archive, bool expected, UnpackFailure* failure = nullptr) {
    bool result = !expected;
    const Lines lines = LoggedBy([&](HWND) { result = ExtractZip(archive, L"2.0", failure); });
    EXPECT_EQ(result, expected) << WideToUtf8(archive);
    if (result) CompleteCommit();
    return lines;
}

class ExtractZipTest : public testing::Test {
protected:
    void SetUp() override { ClearDirectory(AppDirectory()); }
};

TEST_F(ExtractZipTest, UnpacksEveryFormInfoZipWrites) {
    const std::wstring tree = Archive("tree");
    const Lines all = Tree(tree);
    Lines noDirectories = all;  // directories come from the files' paths, all but the empty one
    noDirectories.erase(std::find(noDirectories.begin(), noDirectories.end(), L"empty dir\\"));
    for (const std::string form :
         {"dirs", "nodirs", "stored", "streamed", "zip64", "sfx", "sfxadjusted", "comment"}) {
        const bool directories = form != "nodirs" && form.rfind("sfx", 0) != 0;  // entries for them
        SCOPED_TRACE(form);
        ClearDirectory(AppDirectory());
        EXPECT_EQ(Extract(Archive("infozip-" + form + ".zip"), true), Lines{kSuccess});
        EXPECT_EQ(Tree(), directories ? all : noDirectories);  // each file's CRC-32 was checked
    }
}

TEST_F(ExtractZipTest, HostileArchivesEndWithTheirLineAndClaimNoMemory) {
    const std::wstring broken = L"Không thể giải nén file: sub\\broken.txt";
    struct Row {
        std::string archive;
        Lines lines, tree;
    };
    std::vector<Row> rows;
    // Refused at open, and refused at their second entry.
    for (const char* name : {"zero", "text", "dir-more", "dir-fewer", "dir-spanned", "dir-large",
                             "dir-offset", "dir-extra"})
        rows.push_back({name + std::string(".zip"), {kNoArchive}, {}});
    // Staged entries are removed again: only the directories made for them stay.
    for (const char* lie : {"crc", "damaged", "truncated", "longer", "shorter", "ratio",
                            "storedsizes", "storedcrc", "encrypted", "bzip2", "offset",
                            "elsewhere"})
        rows.push_back({"entry-" + std::string(lie) + ".zip", {broken, kFailure}, {L"sub\\"}});
    rows.insert(
        rows.end(),
        {{"entry-bzip2-crc.zip", {broken, L"Không thể giải nén file: last", kFailure}, {L"sub\\"}},
         {"record.zip", {L"Lỗi đọc thông tin file 1", kFailure}, {}},
         {"bad-file.zip", {L"Đường dẫn không hợp lệ trong file ZIP: bad?name.txt", kFailure}, {}},
         {"bad-dir.zip", {L"Không thể tạo thư mục: " + Target(L"a.txt\\sub\\"), kFailure},
          {L"ok\\"}},
         {"bad-parent.zip",
          {L"Không thể tạo thư mục cha: " + Target(L"a.txt\\sub\\file.txt"), kFailure}, {}},
         {"empty.zip", {kSuccess}, {}},
         {"fake-end.zip", {kSuccess}, {L"a.txt"}},
         {"zip64-end.zip", {kSuccess}, {L"a.txt"}},
         {"trailing.zip", {kSuccess}, {L"first.txt", L"last", L"sub\\", L"sub\\broken.txt"}},
         {"overlap.zip", {kSuccess}, {L"one.txt", L"two.txt"}},
         {"names.zip", {kSuccess},
          {L"..hidden", L".config\\", L".config\\x", L"CONFIG.txt", L"a..b.txt", L"com10",
           L"console.log", L"dir\\", L"dot.txt", L"dup.txt", L"zero"}}});
    for (const auto& row : rows) {
        SCOPED_TRACE(row.archive);
        ClearDirectory(AppDirectory());
        // An entry that claims more than deflate can give is refused before anything is
        // allocated for it: nothing here grows the working set.
        PROCESS_MEMORY_COUNTERS before{}, after{};
        GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
        UnpackFailure failure = UnpackFailure::Space;
        EXPECT_EQ(Extract(Archive(row.archive), row.lines.back() == kSuccess, &failure), row.lines);
        // The shell may retry only an entry our reader named and checked, then found compressed
        // by a method it lacks; never one damaged, of a wrong size or CRC, or encrypted.
        EXPECT_EQ(failure == UnpackFailure::Method, row.archive == "entry-bzip2.zip");
        GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
        EXPECT_LT(after.PeakWorkingSetSize, before.PeakWorkingSetSize + (64 << 20));
        EXPECT_EQ(Tree(), row.tree);
    }
    EXPECT_EQ(ReadBytes(Target(L"dup.txt")), "second");  // one file twice: the last one wins
    EXPECT_EQ(ReadBytes(Target(L"zero")), "");
    const std::wstring missing = Archive("missing.zip");
    EXPECT_EQ(Extract(missing, false), Lines{L"Không thể mở file ZIP: " + missing});
    // Overlapping records each give their own bytes.
    EXPECT_EQ(Extract(Archive("overlap.zip"), true), Lines{kSuccess});
    EXPECT_EQ(ReadBytes(Target(L"two.txt")), std::string(1000, 'x'));
    // A name cut to 511 bytes still has a component longer than a file system takes.
    const Lines cut = Extract(Archive("long-name.zip"), false);
    ASSERT_EQ(cut.size(), 2u);
    const std::wstring prefix = L"Không thể tạo file: " + Target(L"d\\" + std::wstring(509, L'n'));
    EXPECT_EQ(cut[0].rfind(prefix + L" (lỗi: ", 0), 0u);
    EXPECT_FALSE(FileExists(Target(L"ok.txt")));
}

TEST_F(ExtractZipTest, UnsafeNamesStopEverythingBeforeAnythingIsWritten) {
    std::istringstream names(ReadBytes(Archive("unsafe-names.txt")));
    int index = 0;
    for (std::string name; std::getline(names, name); ++index) {
        SCOPED_TRACE(name);
        std::wstring shown = Utf8ToWide(name);
        std::replace(shown.begin(), shown.end(), L'/', L'\\');
        EXPECT_EQ(Extract(Archive("unsafe-" + std::to_string(index) + ".zip"), false),
                  (Lines{L"Đường dẫn không hợp lệ trong file ZIP: " + shown, kFailure}));
        EXPECT_EQ(Tree(), Lines{});
    }
    EXPECT_EQ(index, 27);
}

// in-use.zip writes f0..f7; every row starts from their old forms, f3 held as it says. A version
// goes in whole or not at all: a target held with delete sharing (as Windows holds a running
// image) is renamed aside and replaced, one held without it for a few seconds (a scanner) is
// waited for; any failure leaves every file as it was, and nothing staged, moved aside or
// journalled behind. A target held past the wait goes in once it is released. Files staged or
// moved aside never take the name of a file that exists.
TEST_F(ExtractZipTest, AVersionGoesInWholeOrNotAtAll) {
    auto path = [](int i) { return Target(L"f" + std::to_wstring(i) + L".txt"); };
    const std::wstring inUse = L"File đang được sử dụng: " + path(3);
    const Lines taken = {L"f0.txt.hopwell-new", L"f0.txt.hopwell-new1", L"f0.txt.hopwell-old"};
    const struct {
        const char* archive;
        DWORD share;      // 0: not held
        DWORD releaseMs;  // 0: held until the run ends
        Lines lines;
        UnpackFailure failure;
    } rows[] = {
        {"in-use.zip", FILE_SHARE_READ | FILE_SHARE_DELETE, 0, {kSuccess}, UnpackFailure::Other},
        {"in-use.zip", FILE_SHARE_READ | FILE_SHARE_WRITE, 2000, {kSuccess}, UnpackFailure::Other},
        // The one row that waits the whole bound out.
        {"in-use.zip", FILE_SHARE_READ, 0, {inUse, kFailure}, UnpackFailure::Other},
        {"in-use-broken.zip", 0, 0, {L"Không thể giải nén file: f8.txt", kFailure},
         UnpackFailure::Other},
        {"space.zip", 0, 0, {}, UnpackFailure::Space},
        {"space-wrap.zip", 0, 0, {}, UnpackFailure::Space},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.archive) + " shared " + std::to_string(row.share));
        ClearDirectory(AppDirectory());
        Lines before;
        for (int i = 0; i < 8; ++i) {
            ASSERT_TRUE(WriteStringToFile(path(i), "old " + std::to_string(i)));
            before.push_back(L"f" + std::to_wstring(i) + L".txt");
        }
        for (const std::wstring& name : taken) ASSERT_TRUE(WriteStringToFile(Target(name), "theirs"));
        before.insert(before.begin() + 1, taken.begin(), taken.end());
        auto holder = std::make_unique<HeldFile>(path(3), row.share, row.releaseMs);
        const bool whole = row.lines == Lines{kSuccess};
        UnpackFailure failure = UnpackFailure::Other;
        EXPECT_EQ(Extract(Archive(row.archive), whole, &failure), row.lines);
        EXPECT_EQ(failure, row.failure);
        holder.reset();
        EXPECT_EQ(Tree(), before);
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(ReadBytes(path(i)), (whole ? "new " : "old ") + std::to_string(i));
        for (const std::wstring& name : taken) EXPECT_EQ(ReadBytes(Target(name)), "theirs");
        if (row.share && !whole) {
            EXPECT_EQ(Extract(Archive(row.archive), true), Lines{kSuccess});
            EXPECT_EQ(ReadBytes(path(3)), "new 3");
        }
    }
}

// An entry spelled like an existing file's short name replaces that file under its long name,
// rather than renaming a new file over the alias (which would make the long name disappear).
TEST_F(ExtractZipTest, AnEntryNamedLikeAShortNameReplacesTheLongOne) {
    ASSERT_TRUE(WriteStringToFile(Target(L"AutoTorvane.exe"), "old"));
    std::wstring alias(MAX_PATH, L'\0');
    alias.resize(GetShortPathNameW(Target(L"AutoTorvane.exe").c_str(), &alias[0], MAX_PATH));
    alias = alias.substr(alias.rfind(L'\\') + 1);
    ASSERT_NE(alias, L"AutoTorvane.exe");
    TempDir dir;
    ASSERT_TRUE(WriteStringToFile(dir.File(L"short.zip"), StoredArchive({{WideToUtf8(alias), "new"}})));
    EXPECT_EQ(Extract(dir.File(L"short.zip"), true), Lines{kSuccess});
    EXPECT_EQ(Tree(), Lines{L"AutoTorvane.exe"});
    EXPECT_EQ(ReadBytes(Target(L"AutoTorvane.exe")), "new");
}

// A rollback is killed at any point, or fails and runs again: from every state the commit or an
// earlier rollback leaves, it ends in the old files, whole, with nothing staged, moved aside or
// journalled; a holder that lets go within the wait (a scanner) is waited for. keep.txt is
// replaced, new.txt new, gone.txt removed by the commit; an earlier commit left
// old.txt.hopwell-old to delete.
TEST_F(ExtractZipTest, ARollBackEndsInTheOldFilesFromEveryStateAKillLeaves) {
    using Files = std::map<std::wstring, std::string>;
    const std::string journal =
        "hopwell-commit\nversion\t2.0\n"
        "file\tkeep.txt\tkeep.txt.hopwell-new\tkeep.txt.hopwell-old\n"
        "file\tnew.txt\tnew.txt\t\nfile\tgone.txt\t\tgone.txt.hopwell-old\n"
        "left\told.txt.hopwell-old\n";
    const Files old = {{L"keep.txt", "old"}, {L"gone.txt", "old"}, {L"version.ini", "1.0"}};
    const Files staged = {{L"keep.txt", "old"}, {L"keep.txt.hopwell-new", "new"},
                          {L"new.txt", "new"}, {L"gone.txt", "old"}};
    const Files committed = {{L"keep.txt", "new"}, {L"keep.txt.hopwell-old", "old"},
                             {L"new.txt", "new"}, {L"gone.txt.hopwell-old", "old"}};
    const struct {
        const char* state;
        const char* mark;  // what of the commit mark is on disk
        Files files;       // besides old.txt.hopwell-old and version.ini
        const wchar_t* held = nullptr;  // open without delete sharing through the first run,
        DWORD releaseMs = 0;            // or only that long
    } rows[] = {
        {"staging begun", "", {{L"keep.txt", "old"}, {L"gone.txt", "old"}}},
        {"staged", "", staged},
        {"mark cut short", "comm", staged},
        {"marked", "commit\n", staged},
        {"keep.txt moved aside", "commit\n",
         {{L"keep.txt.hopwell-old", "old"}, {L"keep.txt.hopwell-new", "new"},
          {L"new.txt", "new"}, {L"gone.txt", "old"}}},
        {"keep.txt replaced; gone.txt not yet moved, or back", "commit\n",
         {{L"keep.txt", "new"}, {L"keep.txt.hopwell-old", "old"}, {L"new.txt", "new"},
          {L"gone.txt", "old"}}},
        {"committed", "commit\n", committed},
        {"committed, keep.txt held", "commit\n", committed, L"keep.txt"},
        {"committed, keep.txt held a moment", "commit\n", committed, L"keep.txt", 2000},
        {"new.txt deleted again", "commit\n",
         {{L"keep.txt", "new"}, {L"keep.txt.hopwell-old", "old"}, {L"gone.txt", "old"}}},
        {"every file back, the journal kept", "commit\n",
         {{L"keep.txt", "old"}, {L"gone.txt", "old"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.state);
        ClearDirectory(AppDirectory());
        Files files = row.files;
        files[L"old.txt.hopwell-old"] = "older";
        files[L"version.ini"] = "1.0";
        for (const auto& [name, bytes] : files) ASSERT_TRUE(WriteStringToFile(Target(name), bytes));
        ASSERT_TRUE(WriteStringToFile(CommitJournalPath(), journal + row.mark));
        {
            const HeldFile holder(Target(row.held ? row.held : L"keep.txt"),
                                  row.held ? FILE_SHARE_READ : 0, row.releaseMs);
            RollBackCommit();
            EXPECT_EQ(FileExists(CommitJournalPath()), row.held && !row.releaseMs);
        }
        // Once more, as the next start does while the journal stays; then with none.
        RollBackCommit();
        RollBackCommit();
        Files after;
        for (const std::wstring& name : Tree()) after[name] = ReadBytes(Target(name));
        EXPECT_EQ(after, old);
    }
}

// The shell copies on a thread of its own and skips entries silently: what it copied is
// committed once every file our reader lists is there, of its listed size and released;
// otherwise nothing changes. The files of entry-bzip2.zip, as a shell would copy them.
TEST_F(ExtractZipTest, TheShellsCopyIsCommittedOnlyOnceEveryListedFileIsWhole) {
    using Copy = std::vector<std::pair<std::wstring, std::string>>;
    const std::string text = std::string("Một dòng chữ. ") + std::string(3000, 'x') + "\n";
    const Copy whole = {{L"first.txt", "1"}, {L"sub\\broken.txt", text}, {L"last", "2"}};
    Copy extra = whole, skipped = whole, shortened = whole;
    extra.push_back({L"unlisted.txt", "?"});
    skipped.pop_back();
    shortened[1].second.pop_back();
    const struct {
        const char* what;
        bool requested;  // the copy request succeeded
        Copy files;
        DWORD heldMs;  // first.txt kept open without sharing that long, or until the end
        bool committed;
    } rows[] = {
        {"whole", true, whole, 0, true},        {"held for a moment", true, whole, 300, true},
        {"one skipped", true, skipped, 0, false}, {"with a file of its own", true, extra, 0, true},
        {"one short", true, shortened, 0, false}, {"held on", true, whole, INFINITE, false},
        {"refused", false, {}, 0, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ClearDirectory(AppDirectory());
        ASSERT_TRUE(WriteStringToFile(Target(L"first.txt"), "old"));
        ASSERT_TRUE(WriteStringToFile(Target(L"untouched.txt"), "old"));
        ScopedHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::thread shell;
        const ShellCopy copy = [&](const std::wstring&, const std::wstring& destination,
                                   const std::function<bool()>& filesDone) {
            if (!row.requested) return false;
            shell = std::thread([&, destination] {
                CreateDirectoryW((destination + L"\\sub").c_str(), nullptr);
                ScopedFile held;
                for (const auto& [name, bytes] : row.files) {
                    const std::wstring path = destination + L"\\" + name;
                    if (!held && row.heldMs) {  // written through the handle it keeps
                        held.reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                               CREATE_ALWAYS, 0, nullptr));
                        DWORD written = 0;
                        WriteFile(held.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                  &written, nullptr);
                    } else {
                        WriteStringToFile(path, bytes);
                    }
                }
                WaitForSingleObject(done.get(), row.heldMs);
            });
            return filesDone();
        };
        bool result = !row.committed;
        EXPECT_EQ(LoggedBy([&](HWND) {
                      result = ShellExtractAndCommit(Archive("entry-bzip2.zip"), L"2.0", {}, copy,
                                                     row.committed ? 10000 : 300);
                  }),
                  Lines{});
        SetEvent(done.get());
        if (shell.joinable()) shell.join();
        EXPECT_EQ(result, row.committed);
        CompleteCommit();
        // What the shell still holds stays in its folder until the next commit or rollback.
        if (row.heldMs == INFINITE) std::filesystem::remove_all(ShellStagingFolder());
        EXPECT_EQ(Tree(), row.committed ? (Lines{L"first.txt", L"last", L"sub\\",
                                                 L"sub\\broken.txt", L"untouched.txt"})
                                        : (Lines{L"first.txt", L"untouched.txt"}));
        EXPECT_EQ(ReadBytes(Target(L"first.txt")), row.committed ? "1" : "old");
    }
}

class ExtractLarge : public ExtractZipTest {};

// Length bytes at offset, and the file's size.
std::string ReadAt(const std::wstring& path, uint64_t offset, DWORD length, uint64_t& size) {
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER at{}, whole{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    std::string bytes(length, '\0');
    DWORD got = 0;
    if (!GetFileSizeEx(file.get(), &whole) || !SetFilePointerEx(file.get(), at, nullptr, 0) ||
        !ReadFile(file.get(), &bytes[0], length, &got, nullptr))
        return "";
    size = static_cast<uint64_t>(whole.QuadPart);
    return bytes.substr(0, got);
}

TEST_F(ExtractLarge, EntryOfMoreThanFourGibibytes) {
    EXPECT_EQ(Extract(Archive("large/entry.zip"), true), Lines{kSuccess});
    const std::wstring big = AppDirectory() + L"\\big\\zeros.bin";
    const uint64_t expected = (4097ULL << 20) + 7;
    uint64_t size = 0;
    EXPECT_EQ(ReadAt(big, (4ULL << 30) - 4, 8, size), std::string(8, '\0'));
    EXPECT_EQ(ReadAt(big, expected - 7, 64, size), "the end");
    EXPECT_EQ(size, expected);
    EXPECT_EQ(ReadBytes(AppDirectory() + L"\\after"), "a");
    ClearDirectory(AppDirectory());  // 4 GiB
}

// Entries behind a 4 GiB hole, reached through ZIP64 offsets.
TEST_F(ExtractLarge, ArchiveOfMoreThanFourGibibytes) {
    EXPECT_EQ(Extract(Archive("large/archive.zip"), true), Lines{kSuccess});
    EXPECT_EQ(ReadBytes(AppDirectory() + L"\\first.txt"), "beyond four gibibytes");
    EXPECT_EQ(ReadBytes(AppDirectory() + L"\\nested\\second.bin"), std::string(100000, 'z'));
}

}  // namespace
