// hopwell-publish pack: archives what changed between two build folders, lists them all, and
// refuses what publish refuses; publish and verify then carry and check the lists.
#include "tools/pack_release.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "base/hex.h"
#include "base/sha256.h"
#include "base/text.h"
#include "install/file_list.h"
#include "install/zip_reader.h"
#include "tests/support/support.h"
#include "tools/publish_release.h"

namespace {

using Files = std::map<std::wstring, std::string>;

void MakeTree(const std::wstring& root, const Files& files) {
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    for (const auto& [name, bytes] : files) {
        const std::filesystem::path path = root + L"\\" + name;
        std::filesystem::create_directories(path.parent_path());
        ASSERT_TRUE(WriteStringToFile(path.wstring(), bytes)) << WideToUtf8(name);
    }
}

// Entry name -> (method, bytes).
std::map<std::string, std::pair<uint16_t, std::string>> Entries(const std::wstring& path) {
    std::map<std::string, std::pair<uint16_t, std::string>> entries;
    const std::string bytes = ReadBytes(path);
    ZipReader zip;
    EXPECT_TRUE(ZipReaderInitMem(zip, bytes.data(), bytes.size()));
    for (uint32_t i = 0; i < ZipReaderGetNumFiles(zip); ++i) {
        ZipEntryStat stat;
        uint64_t size = 0;
        EXPECT_TRUE(ZipReaderFileStat(zip, i, stat));
        void* data = ZipReaderExtractToHeap(zip, i, &size);
        EXPECT_TRUE(data) << stat.filename;
        entries[stat.filename] = {stat.method, std::string(static_cast<char*>(data), size)};
        ZipFree(data);
    }
    ZipReaderEnd(zip);
    return entries;
}

class Pack : public testing::Test {
protected:
    TempDir dir;
    const std::wstring build = dir.File(L"build"), release = dir.File(L"release");
    std::vector<std::string> report;
    std::string error;
    void SetUp() override { CreateDirectoryW(release.c_str(), nullptr); }
    FileList List(const std::wstring& version) {
        FileList list;
        EXPECT_TRUE(ParseFileList(ReadBytes(release + L"\\" + version + L".files"), list, error))
            << error;
        return list;
    }
};

TEST_F(Pack, ArchivesWhatChangedSinceTheEarlierListAndListsEveryFile) {
    const std::string text(20000, 'x');  // deflates far below 98 %
    std::string noise;
    for (uint32_t x = 1; noise.size() < 20000;) {
        x = x * 1103515245u + 12345u;
        noise += static_cast<char>(x >> 24);
    }
    // Path, bytes in the first build and in the second ("" none), listed as a user file.
    const struct {
        std::wstring path;
        std::string first, second;
        const char* change;  // the line pack prints, or null when unchanged
    } files[] = {
        {L"engine.dll", "engine 1", "engine 2", "changed engine.dll"},
        {L"data\\text.txt", text, text, nullptr},
        {L"data\\noise.bin", noise, noise + "!", "changed data/noise.bin"},
        {L"plugins\\old.dll", "old", "", "removed plugins/old.dll"},
        {L"plugins\\new.dll", "", "new", "added plugins/new.dll"},
        {L"saves\\config.ini", "user 1", "user 2", "changed saves/config.ini"},
        {L"empty.txt", "", "", nullptr},
    };
    Files first, second;
    for (const auto& f : files) {
        if (!f.first.empty() || f.path == L"empty.txt") first[f.path] = f.first;
        if (!f.second.empty() || f.path == L"empty.txt") second[f.path] = f.second;
    }
    MakeTree(build, first);
    ASSERT_TRUE(PackRelease(build, L"1.0.0", release, false, {L"*.ini"}, report, error)) << error;
    EXPECT_EQ(report.at(report.size() - 2), "6 added, 0 changed, 0 removed, 0 unchanged (no earlier list)");
    MakeTree(build, second);
    ASSERT_TRUE(PackRelease(build, L"1.1.0", release, false, {L"saves/*.ini"}, report, error))
        << error;
    std::vector<std::string> expected;
    for (const auto& f : files)
        if (f.change) expected.push_back(f.change);
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> printed(report.begin(), report.end() - 2);
    std::sort(printed.begin(), printed.end());
    EXPECT_EQ(printed, expected);
    EXPECT_EQ(report.at(report.size() - 2), "1 added, 3 changed, 1 removed, 2 unchanged since 1.0.0");
    const std::wstring zip = release + L"\\1.1.0.zip";
    EXPECT_NE(report.back().find(std::to_string(std::filesystem::file_size(zip)) + " bytes"),
              std::string::npos)
        << report.back();

    const auto entries = Entries(zip);
    std::map<std::wstring, ListedFile> listed;
    for (const ListedFile& file : List(L"1.1.0")) listed[file.path] = file;
    EXPECT_EQ(listed.size(), second.size());
    for (const auto& f : files) {
        const auto line = listed.find(f.path);
        if (f.path == L"plugins\\old.dll") {
            EXPECT_EQ(line, listed.end());
            continue;
        }
        ASSERT_NE(line, listed.end()) << WideToUtf8(f.path);
        std::string digest;
        ASSERT_TRUE(Sha256OfBytes(f.second, digest));
        EXPECT_EQ(line->second.sha256, HexText(digest));
        EXPECT_EQ(line->second.size, f.second.size());
        EXPECT_EQ(line->second.user, f.path == L"saves\\config.ini");
        EXPECT_EQ(line->second.source, f.change ? L"1.1.0" : L"1.0.0") << WideToUtf8(f.path);
        const auto entry = entries.find(StoredPath(f.path));
        EXPECT_EQ(entry != entries.end(), f.change != nullptr) << WideToUtf8(f.path);
        if (entry != entries.end()) {
            EXPECT_EQ(entry->second.second, f.second);
        }
    }
    // Noise is stored; --full archives everything, text deflated.
    EXPECT_EQ(entries.at("data/noise.bin").first, ZipMethodStored);
    ASSERT_TRUE(PackRelease(build, L"1.2.0", release, true, {}, report, error)) << error;
    EXPECT_EQ(Entries(release + L"\\1.2.0.zip").size(), second.size());
    EXPECT_EQ(Entries(release + L"\\1.2.0.zip").at("data/text.txt").first, ZipMethodDeflated);
    for (const ListedFile& file : List(L"1.2.0")) EXPECT_EQ(file.source, L"1.2.0");

    // Published, the manifest carries each list's digest, and verify checks lists and bytes.
    const std::wstring key = dir.File(L"key.txt");
    ASSERT_TRUE(CreateKeyFile(key, report, error));
    const std::string publicKey = report.at(0);
    ASSERT_TRUE(PublishFolder(key, release, L"https://h/r", L"1.2.0", report, error)) << error;
    EXPECT_TRUE(VerifyFolder(release, publicKey, report, error)) << error;
    std::string changed = ReadBytes(release + L"\\1.1.0.files");
    changed[0] = changed[0] == 'a' ? 'b' : 'a';
    ASSERT_TRUE(WriteStringToFile(release + L"\\1.1.0.files", changed));
    EXPECT_FALSE(VerifyFolder(release, publicKey, report, error));
    EXPECT_EQ(error, "1.1.0.files does not match its files entry");
    // Published again over that list: its line no longer matches the archive's bytes.
    EXPECT_FALSE(PublishFolder(key, release, L"https://h/r", L"1.2.0", report, error));
    EXPECT_NE(error.find("1.1.0.files: "), std::string::npos) << error;
    EXPECT_NE(error.find(" with the listed SHA-256 and size"), std::string::npos) << error;
}

TEST_F(Pack, RefusesWhatPublishRefusesAndWritesNothing) {
    const Files good = {{L"a.txt", "a"}};
    const struct {
        Files build;
        std::string error;
        std::wstring version = L"1.0.0";
        std::string earlierList = "";
    } cases[] = {
        {{}, "build holds no file"},
        {good, "not a version (digits and dots): 1.0-beta", L"1.0-beta"},
        {{{L"a.txt", "a"}, {L"VERSION.FILES", "x"}},
         "holds a file every launcher refuses: VERSION.FILES (is a name the launcher keeps for "
         "itself)"},
        {good, "0.9.files: line 1 has no line end", L"1.0.0", "broken"},
    };
    for (const auto& c : cases) {
        ClearDirectory(release);
        MakeTree(build, c.build);
        if (!c.earlierList.empty()) {
            ASSERT_TRUE(WriteStringToFile(release + L"\\0.9.files", c.earlierList));
        }
        EXPECT_FALSE(PackRelease(build, c.version, release, false, {}, report, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(release),
                                std::filesystem::directory_iterator()),
                  c.earlierList.empty() ? 0 : 1)
            << c.error;
    }
}

TEST(UserGlob, MatchesWithinOneFolderInAnyCase) {
    const struct {
        std::wstring glob, path;
        bool matches;
    } cases[] = {
        {L"*.ini", L"config.ini", true},     {L"*.ini", L"saves/Game.INI", true},
        {L"*.ini", L"config.ini.bak", false}, {L"saves/*.ini", L"saves/a.ini", true},
        {L"saves/*.ini", L"a.ini", false},    {L"saves/*.ini", L"saves/x/a.ini", false},
        {L"s?ves/*", L"saves/a", true},       {L"*/a.ini", L"x/y/a.ini", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MatchesUserGlob(c.glob, c.path), c.matches)
            << WideToUtf8(c.glob) << " " << WideToUtf8(c.path);
}

}  // namespace
