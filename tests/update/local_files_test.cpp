#include "update/local_files.h"

#include <gtest/gtest.h>

#include "base/scoped_handle.h"
#include "tests/support/temp_dir.h"

namespace {

class LocalFiles : public testing::Test {
protected:
    TempDir dir;
    std::wstring ini = dir.File(L"version.ini");

    std::wstring VersionFrom(const std::string& content) {
        EXPECT_TRUE(WriteBytes(ini, content));
        return ReadInstalledVersion(ini);
    }
};

TEST_F(LocalFiles, ReadFileToStringReadsEveryByte) {
    std::string bytes("a\0b\r\nc\xff", 7);
    ASSERT_TRUE(WriteBytes(ini, bytes));
    std::string content = "old";
    ASSERT_TRUE(ReadFileToString(ini, content));
    EXPECT_EQ(content, bytes);

    ASSERT_TRUE(WriteBytes(ini, ""));
    ASSERT_TRUE(ReadFileToString(ini, content));
    EXPECT_EQ(content, "");
}

TEST_F(LocalFiles, ReadFileToStringLeavesContentWhenMissing) {
    std::string content = "old";
    EXPECT_FALSE(ReadFileToString(dir.File(L"missing"), content));
    EXPECT_EQ(content, "old");
}

TEST_F(LocalFiles, ReadFileToStringSharesWithAWriter) {
    // The application may hold app.pid open for writing while we read it.
    ScopedFile writer(CreateFileW(ini.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer.get(), "42", 2, &written, nullptr));
    std::string content;
    ASSERT_TRUE(ReadFileToString(ini, content));
    EXPECT_EQ(content, "42");
}

TEST_F(LocalFiles, ReadInstalledVersionFindsTheKey) {
    EXPECT_EQ(VersionFrom("version=1.2.3\r\n"), L"1.2.3");
    EXPECT_EQ(VersionFrom("version=1.2.3"), L"1.2.3");
    EXPECT_EQ(VersionFrom("version=1.2.3\nversion=9"), L"1.2.3");
    EXPECT_EQ(VersionFrom("[app]\r\nversion=2.0\r\nother=1\r\n"), L"2.0");
    EXPECT_EQ(VersionFrom("myversion=3"), L"3");
    EXPECT_EQ(VersionFrom("version=1\r\nversion=2\r\n"), L"1");
    EXPECT_EQ(VersionFrom("version= 1.2 \t\r\n"), L" 1.2 \t");
    EXPECT_EQ(VersionFrom("version=1.0-\xC3\xA1\r\n"), L"1.0-\u00E1");
}

TEST_F(LocalFiles, ReadInstalledVersionDefaults) {
    EXPECT_EQ(ReadInstalledVersion(dir.File(L"missing.ini")), L"0.0.0");
    EXPECT_EQ(VersionFrom(""), L"0.0.0");
    EXPECT_EQ(VersionFrom("version"), L"0.0.0");  // shorter than the key
    EXPECT_EQ(VersionFrom("Version=1.2.3"), L"0.0.0");
    EXPECT_EQ(VersionFrom("version = 1.2.3"), L"0.0.0");
    // The key with no value is the empty string, not the default.
    EXPECT_EQ(VersionFrom("version=\r\n"), L"");
    EXPECT_EQ(VersionFrom("version="), L"");
}

TEST_F(LocalFiles, WriteInstalledVersionWritesExactBytes) {
    ASSERT_TRUE(WriteInstalledVersion(ini, L"1.4.2"));
    EXPECT_EQ(ReadBytes(ini), "version=1.4.2\r\n");
    EXPECT_EQ(ReadBytes(ini).size(), 15u);
    EXPECT_EQ(ReadInstalledVersion(ini), L"1.4.2");
}

TEST_F(LocalFiles, WriteInstalledVersionReplacesWholeFileAndLeavesNoTemporary) {
    ASSERT_TRUE(WriteBytes(ini, "[app]\r\nversion=0.1\r\nextra=keep?\r\n"));
    ASSERT_TRUE(WriteInstalledVersion(ini, L"2.0"));
    EXPECT_EQ(ReadBytes(ini), "version=2.0\r\n");
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir.path() + L"\\*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    int files = 0;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files++;
    } while (FindNextFileW(find, &data));
    FindClose(find);
    EXPECT_EQ(files, 1);
}

TEST_F(LocalFiles, WriteInstalledVersionConsumesATemporaryLeftByAKilledRun) {
    ASSERT_TRUE(WriteBytes(ini + L".tmp", "version=half"));
    ASSERT_TRUE(WriteInstalledVersion(ini, L"3.0"));
    EXPECT_EQ(ReadBytes(ini), "version=3.0\r\n");
    EXPECT_FALSE(FileExists(ini + L".tmp"));
}

TEST_F(LocalFiles, WriteInstalledVersionStoresNonAsciiAsUtf8) {
    ASSERT_TRUE(WriteInstalledVersion(ini, L"1.0-\u1EA1"));
    EXPECT_EQ(ReadBytes(ini), "version=1.0-\xE1\xBA\xA1\r\n");
    EXPECT_EQ(ReadInstalledVersion(ini), L"1.0-\u1EA1");
}

TEST_F(LocalFiles, WriteInstalledVersionWritesInPlaceWhileAnotherProcessHoldsTheFile) {
    ASSERT_TRUE(WriteInstalledVersion(ini, L"1.0"));
    // Shared for reading and writing but not deleting: no rename may replace it.
    ScopedFile holder(CreateFileW(ini.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_TRUE(WriteInstalledVersion(ini, L"2.0"));
    EXPECT_EQ(ReadBytes(ini), "version=2.0\r\n");
    EXPECT_FALSE(FileExists(ini + L".tmp"));
}

TEST_F(LocalFiles, WriteInstalledVersionFailureKeepsOldContent) {
    ASSERT_TRUE(WriteInstalledVersion(ini, L"1.0"));
    ASSERT_TRUE(SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(WriteInstalledVersion(ini, L"2.0"));
    SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(ReadBytes(ini), "version=1.0\r\n");

    EXPECT_FALSE(WriteInstalledVersion(dir.File(L"no-such-dir\\version.ini"), L"1.0"));
}

TEST_F(LocalFiles, ReadPidFileParsesLikeAtoi) {
    std::wstring pid = dir.File(L"app.pid");
    struct Case {
        std::string content;
        DWORD expected;
    } cases[] = {{"1234\r\n", 1234}, {"  1234", 1234}, {"1234abc", 1234}, {"0", 0},
                 {"abc", 0},         {"", 0},          {"\n\t 77\n", 77}};
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteBytes(pid, c.content));
        EXPECT_EQ(ReadPidFile(pid), c.expected) << c.content;
    }
    EXPECT_EQ(ReadPidFile(dir.File(L"missing.pid")), 0u);
}

}  // namespace
