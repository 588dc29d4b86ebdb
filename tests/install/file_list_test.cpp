// The file list format: what it refuses, and that what it writes reads back the same.
#include "install/file_list.h"

#include <gtest/gtest.h>

namespace {

const std::string kDigest(64, 'a');

TEST(FileList, ReadsBackWhatItWritesSortedByPath) {
    const FileList list = {{kDigest, 7, L"1.1.0", false, L"plugins\\b c.dll"},
                           {std::string(64, '0'), 0, L"1.0.0", true, L"config.ini"},
                           {kDigest, 18446744073709551615ull, L"2.0-beta+1", false, L"Z.bin"}};
    const std::string text = FileListText(list);
    EXPECT_EQ(text, kDigest + " 18446744073709551615 2.0-beta+1 - Z.bin\n" +
                        std::string(64, '0') + " 0 1.0.0 u config.ini\n" + kDigest +
                        " 7 1.1.0 - plugins/b c.dll\n");
    FileList read;
    std::string error;
    ASSERT_TRUE(ParseFileList(text, read, error)) << error;
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[2].path, L"plugins\\b c.dll");
    EXPECT_EQ(read[1].user, true);
    EXPECT_EQ(read[0].size, 18446744073709551615ull);
    EXPECT_EQ(FileListText(read), text);
    EXPECT_TRUE(ParseFileList("", read, error));
    EXPECT_TRUE(read.empty());
}

TEST(FileList, RefusesAnyLineButItsOwnFormWithTheLineAndWhy) {
    const std::string good = kDigest + " 1 1.0.0 - a.txt\n";
    const struct {
        std::string text, error;
    } cases[] = {
        {kDigest + " 1 1.0.0 - a.txt", "line 1 has no line end"},
        {kDigest + " 1 1.0.0 a.txt\n", "line 1 has fewer than five fields"},
        {std::string(64, 'A') + " 1 1.0.0 - a.txt\n", "line 1 has no SHA-256 of 64 lower-case hex digits"},
        {std::string(63, 'a') + " 1 1.0.0 - a.txt\n", "line 1 has no SHA-256 of 64 lower-case hex digits"},
        {kDigest + " -1 1.0.0 - a.txt\n", "line 1 has no size in bytes"},
        {kDigest + " 01 1.0.0 - a.txt\n", "line 1 has no size in bytes"},
        {kDigest + " 18446744073709551616 1.0.0 - a.txt\n", "line 1 has no size in bytes"},
        {kDigest + " 1 1.0/0 - a.txt\n", "line 1 has no source version"},
        {kDigest + " 1 1.0.0 x a.txt\n", "line 1 has flags other than - and u"},
        {kDigest + " 1 1.0.0 - dir/\n", "line 1 has an empty path or one ending in /"},
        {good + kDigest + " 1 1.0.0 - ../up.txt\n", "line 2: ../up.txt (steps up out of the folder)"},
        {good + kDigest + " 1 1.0.0 - sub/nul.txt\n", "line 2: sub/nul.txt (names a device)"},
        {kDigest + " 1 1.0.0 - /root.txt\n", "line 1: /root.txt (starts at the root)"},
        {kDigest + " 1 1.0.0 - C:x\n", "line 1: C:x (names a drive or stream (':'))"},
        {kDigest + " 1 1.0.0 - Version.Files\n",
         "line 1: Version.Files (is a name the launcher keeps for itself)"},
        {kDigest + std::string(" 1 1.0.0 - a\0b\n", 15), "line 1: a"},
        {good + good, "line 2 is out of order: a.txt"},
        {good + kDigest + " 1 1.0.0 - A.txt\n", "line 2 is out of order: A.txt"},
        {kDigest + " 1 1.0.0 - A.TXT\n" + good, "line 2 lists a path twice: a.txt"},
    };
    for (const auto& c : cases) {
        FileList list = {{kDigest, 1, L"1", false, L"kept"}};
        std::string error;
        EXPECT_FALSE(ParseFileList(c.text, list, error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        EXPECT_EQ(list.size(), 1u) << "a refused list leaves the old one";
    }
}

}  // namespace
