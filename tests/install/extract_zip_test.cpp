#include "install/extract_zip.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "tests/install/host_paths.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/zip_builder.h"

using testing::ElementsAre;

namespace {

const std::wstring Success = L"Miniz giải nén thành công!";
const std::wstring Failure = L"Miniz giải nén thất bại!";

// Every file and directory below root, relative, sorted; directories end in '\'.
void ListTree(const std::wstring& root, const std::wstring& relative,
              std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((root + L"\\" + relative + L"*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out.push_back(relative + name + L"\\");
            ListTree(root, relative + name + L"\\", out);
        } else {
            out.push_back(relative + name);
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

std::vector<std::wstring> Tree(const std::wstring& root) {
    std::vector<std::wstring> entries;
    ListTree(root, L"", entries);
    std::sort(entries.begin(), entries.end());
    return entries;
}

class ExtractZipTest : public testing::Test {
protected:
    void SetUp() override { ClearDirectory(AppDirectory()); }
    void TearDown() override { ClearDirectory(AppDirectory()); }

    // Writes an archive outside AppDirectory and returns its path.
    std::wstring Archive(const std::string& bytes) {
        const std::wstring path = archives_.File(L"update" + std::to_wstring(++count_) + L".zip");
        EXPECT_TRUE(WriteBytes(path, bytes));
        return path;
    }
    std::wstring Target(const std::wstring& name) { return AppDirectory() + L"\\" + name; }

    LogCapture log_;
    TempDir archives_;
    int count_ = 0;
};

}  // namespace

TEST_F(ExtractZipTest, UnpacksEveryFormThatInfoZipWrites) {
    const std::wstring tree = TestArchive(L"tree");
    const std::vector<std::wstring> all = Tree(tree);
    std::vector<std::wstring> withoutEmptyDirectory = all;
    withoutEmptyDirectory.erase(
        std::find(withoutEmptyDirectory.begin(), withoutEmptyDirectory.end(), L"empty dir\\"));
    struct Form {
        const wchar_t* name;
        bool directoryEntries;
    };
    for (const Form& form : {Form{L"with_dirs.zip", true}, Form{L"no_dirs.zip", false},
                             Form{L"stored.zip", true}, Form{L"streamed.zip", true},
                             Form{L"zip64.zip", true}, Form{L"sfx.zip", false},
                             Form{L"sfx_adjusted.zip", false}, Form{L"comment.zip", true}}) {
        SCOPED_TRACE(WideToUtf8(form.name));
        ClearDirectory(AppDirectory());
        log_.Clear();
        EXPECT_TRUE(ExtractZip(TestArchive(form.name)));
        EXPECT_THAT(log_.Lines(), ElementsAre(Success));
        // Nested files get their directories whether or not the archive lists them.
        EXPECT_EQ(Tree(AppDirectory()), form.directoryEntries ? all : withoutEmptyDirectory);
        for (const std::wstring& entry : all) {
            if (entry.back() == L'\\') continue;
            EXPECT_EQ(ReadBytes(Target(entry)), ReadBytes(tree + L"\\" + entry))
                << WideToUtf8(entry);
        }
    }
}

TEST_F(ExtractZipTest, OverwritesOverExistingTreeAndKeepsTheRest) {
    ASSERT_TRUE(CreateDirectoryW(Target(L"sub").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(Target(L"sub\\deeper").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(Target(L"a.txt"), "old content that is longer than the new one"));
    ASSERT_TRUE(WriteBytes(Target(L"keep.txt"), "not in the archive"));
    EXPECT_TRUE(ExtractZip(TestArchive(L"with_dirs.zip")));
    EXPECT_THAT(log_.Lines(), ElementsAre(Success));
    EXPECT_EQ(ReadBytes(Target(L"a.txt")), "hello\r\n");
    EXPECT_EQ(ReadBytes(Target(L"keep.txt")), "not in the archive");
    EXPECT_TRUE(FileExists(Target(L"empty.txt")));
    EXPECT_EQ(ReadBytes(Target(L"empty.txt")), "");
}

TEST_F(ExtractZipTest, CreatesTheDestinationWhenItIsMissing) {
    ASSERT_TRUE(RemoveTree(AppDirectory()));
    EXPECT_TRUE(ExtractZip(Archive(BuildZip({{"d/e.txt", "e"}}))));
    EXPECT_EQ(ReadBytes(Target(L"d\\e.txt")), "e");
}

TEST_F(ExtractZipTest, ArchivesThatCannotBeOpenedEndWithoutClosingLine) {
    const std::wstring missing = archives_.File(L"missing.zip");
    EXPECT_FALSE(ExtractZip(missing));
    EXPECT_THAT(log_.Lines(), ElementsAre(L"Không thể mở file ZIP: " + missing));

    for (const std::string& bytes : {std::string(), std::string("plain text, not a ZIP\n")}) {
        log_.Clear();
        EXPECT_FALSE(ExtractZip(Archive(bytes)));
        EXPECT_THAT(log_.Lines(), ElementsAre(L"Không thể khởi tạo miniz reader"));
    }
    EXPECT_EQ(log_.Text(), L"Không thể khởi tạo miniz reader\r\n");
    EXPECT_TRUE(Tree(AppDirectory()).empty());
}

TEST_F(ExtractZipTest, EmptyArchiveAndEmptyEntries) {
    EXPECT_TRUE(ExtractZip(Archive(BuildZip({}))));
    EXPECT_THAT(log_.Lines(), ElementsAre(Success));
    EXPECT_TRUE(Tree(AppDirectory()).empty());

    // A nameless entry is skipped silently; an empty file entry gives a zero-byte file.
    log_.Clear();
    EXPECT_TRUE(ExtractZip(Archive(BuildZip({{"", "lost"}, {"zero", ""}, {"dir/", "", 0}}))));
    EXPECT_THAT(log_.Lines(), ElementsAre(Success));
    EXPECT_THAT(Tree(AppDirectory()), ElementsAre(L"dir\\", L"zero"));
    EXPECT_EQ(ReadBytes(Target(L"zero")), "");
}

// Files are written beside their target and renamed over it, so a run killed mid-write
// never leaves a truncated file; the copy never takes the name of a file that exists.
TEST_F(ExtractZipTest, ReplacesFilesWholeAndLeavesNothingStaged) {
    ASSERT_TRUE(WriteBytes(Target(L"a.txt"), "old"));
    ASSERT_TRUE(WriteBytes(Target(L"a.txt.hopwell-new1"), "an application file"));
    // A reader that shares writing: the rename may be refused, the file is then written in
    // place as before.
    ASSERT_TRUE(WriteBytes(Target(L"b.txt"), "old"));
    ScopedFile sharer(CreateFileW(Target(L"b.txt").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(sharer);
    EXPECT_TRUE(ExtractZip(Archive(BuildZip({{"a.txt.hopwell-new", "an archive file"},
                                              {"a.txt", "new a"}, {"b.txt", "new b"},
                                              {"sub/c.txt", "new c"}}))));
    EXPECT_THAT(log_.Lines(), ElementsAre(Success));
    sharer.reset();
    EXPECT_EQ(ReadBytes(Target(L"a.txt")), "new a");
    EXPECT_EQ(ReadBytes(Target(L"a.txt.hopwell-new")), "an archive file");
    EXPECT_EQ(ReadBytes(Target(L"a.txt.hopwell-new1")), "an application file");
    EXPECT_EQ(ReadBytes(Target(L"b.txt")), "new b");
    EXPECT_EQ(ReadBytes(Target(L"sub\\c.txt")), "new c");
    EXPECT_EQ(Tree(AppDirectory()).size(), 6u);

    // A staged copy that cannot be written (as on a full disk) fails the entry; the old file
    // is never truncated for an in-place write. Reading unmapped memory fails every write.
    log_.Clear();
    void* unreadable = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
    EXPECT_FALSE(WriteEntryFile(0, Target(L"b.txt"), unreadable, 4096));
    VirtualFree(unreadable, 0, MEM_RELEASE);
    EXPECT_THAT(log_.Lines(), ElementsAre(L"Lỗi ghi file: " + Target(L"b.txt")));
    EXPECT_EQ(ReadBytes(Target(L"b.txt")), "new b");
    EXPECT_EQ(Tree(AppDirectory()).size(), 6u);
}

TEST_F(ExtractZipTest, FilesInUseAreSkippedAndOnlyTheFirstFiveSaySo) {
    std::vector<ZipBuilderEntry> entries;
    for (int i = 0; i < 8; ++i)
        entries.push_back({"f" + std::to_string(i) + ".txt", "new " + std::to_string(i)});
    const std::wstring archive = Archive(BuildZip(entries));
    for (int held : {2, 4, 5, 7}) {
        SCOPED_TRACE(held);
        ClearDirectory(AppDirectory());
        log_.Clear();
        const std::wstring path = Target(L"f" + std::to_wstring(held) + L".txt");
        ASSERT_TRUE(WriteBytes(path, "old"));
        ScopedFile holder(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder);
        EXPECT_TRUE(ExtractZip(archive));
        if (held < 5) {
            EXPECT_THAT(log_.Lines(),
                        ElementsAre(L"File đang được sử dụng, bỏ qua: " + path, Success));
        } else {
            EXPECT_THAT(log_.Lines(), ElementsAre(Success));
        }
        holder.reset();
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(ReadBytes(Target(L"f" + std::to_wstring(i) + L".txt")),
                      i == held ? "old" : "new " + std::to_string(i));
        }
    }
}

TEST_F(ExtractZipTest, AccessDeniedCountsAsInUse) {
    // A directory where the archive has a file cannot be opened for writing: access denied.
    ASSERT_TRUE(CreateDirectoryW(Target(L"taken").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(Target(L"late").c_str(), nullptr));
    EXPECT_TRUE(ExtractZip(Archive(BuildZip({{"a", "a"},
                                             {"taken", "x"},
                                             {"b", "b"},
                                             {"c", "c"},
                                             {"d", "d"},
                                             {"e", "e"},
                                             {"late", "x"},
                                             {"z", "z"}}))));
    EXPECT_THAT(log_.Lines(),
                ElementsAre(L"File đang được sử dụng, bỏ qua: " + Target(L"taken"), Success));
    EXPECT_EQ(ReadBytes(Target(L"z")), "z");
}

TEST_F(ExtractZipTest, ProtectedTargetsFollowThePlatform) {
    // Windows refuses to overwrite a read-only, hidden or system file with a normal one
    // (access denied, so the in-use rule skips it). Wine running as root overwrites all
    // three. A probe file with the same attribute decides what to expect.
    for (DWORD attribute :
         {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM}) {
        SCOPED_TRACE(attribute);
        ClearDirectory(AppDirectory());
        log_.Clear();
        const std::wstring probe = Target(L"probe");
        const std::wstring path = Target(L"kept.txt");
        ASSERT_TRUE(WriteBytes(probe, "probe"));
        ASSERT_TRUE(WriteBytes(path, "old"));
        ASSERT_TRUE(SetFileAttributesW(probe.c_str(), attribute));
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), attribute));
        bool refused;
        {
            ScopedFile file(CreateFileW(probe.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            refused = !file;
            EXPECT_TRUE(file || GetLastError() == ERROR_ACCESS_DENIED);
        }
        EXPECT_TRUE(
            ExtractZip(Archive(BuildZip({{"kept.txt", "new"}, {"after.txt", "after"}}))));
        if (refused) {
            EXPECT_THAT(log_.Lines(),
                        ElementsAre(L"File đang được sử dụng, bỏ qua: " + path, Success));
            EXPECT_EQ(ReadBytes(path), "old");
        } else {
            EXPECT_THAT(log_.Lines(), ElementsAre(Success));
            EXPECT_EQ(ReadBytes(path), "new");
        }
        EXPECT_EQ(ReadBytes(Target(L"after.txt")), "after");
    }
}

TEST_F(ExtractZipTest, OtherCreateErrorsEndTheRunWithTheirCode) {
    EXPECT_FALSE(ExtractZip(
        Archive(BuildZip({{"before.txt", "1"}, {"bad?name.txt", "2"}, {"after.txt", "3"}}))));
    EXPECT_THAT(log_.Lines(),
                ElementsAre(L"Không thể tạo file: " + Target(L"bad?name.txt") + L" (lỗi: 123)",
                            Failure));
    EXPECT_THAT(Tree(AppDirectory()), ElementsAre(L"before.txt"));
}

TEST_F(ExtractZipTest, DirectoriesThatCannotBeMadeEndTheRun) {
    EXPECT_FALSE(ExtractZip(Archive(BuildZip({{"ok/", "", 0}, {"bad<dir/", "", 0}}))));
    EXPECT_THAT(log_.Lines(), ElementsAre(L"Không thể tạo thư mục: " + Target(L"bad<dir\\"),
                                          Failure));
    log_.Clear();
    // The file's own path is named, not its parent's.
    EXPECT_FALSE(ExtractZip(Archive(BuildZip({{"bad<dir/file.txt", "x"}}))));
    EXPECT_THAT(log_.Lines(),
                ElementsAre(L"Không thể tạo thư mục cha: " + Target(L"bad<dir\\file.txt"),
                            Failure));
}

TEST_F(ExtractZipTest, EntriesThatDoNotInflateEndTheRun) {
    ZipBuilderEntry damaged{"sub/broken.txt", "content"};
    damaged.payload = std::string("\xff\x01\x02\x03", 4);
    ZipBuilderEntry wrongCrc{"sub/broken.txt", "content"};
    wrongCrc.crc = 0xDEADBEEF;
    ZipBuilderEntry encrypted{"sub/broken.txt", "content", 0, 0x0001};
    ZipBuilderEntry bzip2{"sub/broken.txt", "content", 12};
    for (const ZipBuilderEntry& entry : {damaged, wrongCrc, encrypted, bzip2}) {
        ClearDirectory(AppDirectory());
        log_.Clear();
        EXPECT_FALSE(ExtractZip(Archive(BuildZip({{"first.txt", "1"}, entry, {"last", "2"}}))));
        EXPECT_THAT(log_.Lines(),
                    ElementsAre(L"Không thể giải nén file: sub\\broken.txt", Failure));
        // What came before stays written; nothing of the broken entry is left.
        EXPECT_THAT(Tree(AppDirectory()), ElementsAre(L"first.txt", L"sub\\"));
    }
}

TEST_F(ExtractZipTest, UnreadableRecordEndsTheRunAtItsIndex) {
    std::string bytes = BuildZip({{"first.txt", "1"}, {"second.txt", "2"}, {"third", "3"}});
    // The second record's size is saturated without a ZIP64 extra field.
    const size_t second = bytes.rfind("second.txt") - 46;
    Patch32(bytes, second + 24, 0xFFFFFFFF);
    EXPECT_FALSE(ExtractZip(Archive(bytes)));
    EXPECT_THAT(log_.Lines(), ElementsAre(L"Lỗi đọc thông tin file 1", Failure));
    EXPECT_THAT(Tree(AppDirectory()), ElementsAre(L"first.txt"));
}

TEST_F(ExtractZipTest, UnsafeNamesStopEverythingBeforeAnythingIsWritten) {
    TempDir outside;  // a sibling that a traversal could reach is checked too
    const char* unsafeNames[] = {
        "../evil.txt",
        "sub/../../evil.txt",
        "..\\evil.txt",
        "sub/..",
        "../",
        ".../evil.txt",
        "sub/.. /evil.txt",
        "/evil.txt",
        "\\evil.txt",
        "C:evil.txt",
        "C:/evil.txt",
        "C:\\evil.txt",
        "//server/share/evil.txt",
        "\\\\server\\share\\evil.txt",
        "\\\\?\\C:\\evil.txt",
        "good.txt:stream",
        "sub/con:",
        "NUL",
        "sub/nul.txt",
        "Com1",
        "lpt9.tar.gz",
        "aux .txt",
        "CON./x",
        "prn  ",
    };
    for (const char* name : unsafeNames) {
        SCOPED_TRACE(name);
        log_.Clear();
        // The unsafe entry comes last: the safe ones before it must not be written either.
        EXPECT_FALSE(ExtractZip(
            Archive(BuildZip({{"good.txt", "1"}, {"dir/", "", 0}, {"dir/x", "2"}, {name, "3"}}))));
        std::wstring wide = Utf8ToWide(name);
        std::replace(wide.begin(), wide.end(), L'/', L'\\');
        EXPECT_THAT(log_.Lines(),
                    ElementsAre(L"Đường dẫn không hợp lệ trong file ZIP: " + wide, Failure));
        EXPECT_TRUE(Tree(AppDirectory()).empty());
    }
    EXPECT_FALSE(FileExists(AppDirectory() + L"\\..\\evil.txt"));

    // Names that only look odd stay inside and are written.
    log_.Clear();
    EXPECT_TRUE(ExtractZip(Archive(BuildZip({{"a..b.txt", "1"},
                                             {"..hidden", "2"},
                                             {".config/x", "3"},
                                             {"./dot.txt", "4"},
                                             {"CONFIG.txt", "5"},
                                             {"console.log", "6"},
                                             {"com10", "7"}}))));
    EXPECT_THAT(log_.Lines(), ElementsAre(Success));
    EXPECT_THAT(Tree(AppDirectory()),
                ElementsAre(L"..hidden", L".config\\", L".config\\x", L"CONFIG.txt", L"a..b.txt",
                            L"com10", L"console.log", L"dot.txt"));
}

// Archives made to hurt: what the launcher does with them is decided and safe.
TEST_F(ExtractZipTest, TwoEntriesForOneFileLeaveTheLastOne) {
    // Windows names are case-blind: both entries are the same file.
    EXPECT_TRUE(ExtractZip(Archive(BuildZip({{"dup.txt", "first"}, {"DUP.TXT", "second"}}))));
    EXPECT_THAT(log_.Lines(), ElementsAre(Success));
    EXPECT_EQ(Tree(AppDirectory()).size(), 1u);
    EXPECT_EQ(ReadBytes(Target(L"dup.txt")), "second");
}

TEST_F(ExtractZipTest, OverlappingEntriesAreEachBoundedByTheirOwnRecord) {
    // Two directory records pointing at one stored body: each yields its own declared bytes,
    // so overlap cannot multiply what is written beyond the records' sizes.
    std::string bytes = BuildZip({{"one.txt", std::string(1000, 'x')},
                                  {"two.txt", std::string(1000, 'x')}});
    const size_t second = bytes.rfind(std::string("PK\x01\x02", 4));
    Patch32(bytes, second + 42, 0);
    EXPECT_TRUE(ExtractZip(Archive(bytes)));
    EXPECT_THAT(log_.Lines(), ElementsAre(Success));
    EXPECT_EQ(ReadBytes(Target(L"one.txt")), std::string(1000, 'x'));
    EXPECT_EQ(ReadBytes(Target(L"two.txt")), std::string(1000, 'x'));
}

TEST_F(ExtractZipTest, OverLongNameIsCutAndRefusedByTheFileSystem) {
    // The name is cut to 511 bytes; a component that long is more than any file system takes.
    const std::string name = "d/" + std::string(600, 'n');
    EXPECT_FALSE(ExtractZip(Archive(BuildZip({{"ok.txt", "1"}, {name, "2"}}))));
    const std::vector<std::wstring> lines = log_.Lines();
    ASSERT_EQ(lines.size(), 2u);
    const std::wstring cut = Target(L"d\\" + std::wstring(509, L'n'));
    EXPECT_EQ(lines[0].rfind(L"Không thể tạo file: " + cut + L" (lỗi: ", 0), 0u)
        << WideToUtf8(lines[0]);
    EXPECT_EQ(lines[1], Failure);
    EXPECT_EQ(ReadBytes(Target(L"ok.txt")), "1");
}
