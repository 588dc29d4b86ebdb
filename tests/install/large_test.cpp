// Archives and entries beyond 4 GiB: sizes and offsets are 64-bit all the way through.
#include <gtest/gtest.h>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "install/extract_zip.h"
#include "tests/support/support.h"

namespace {

std::string ReadAt(const std::wstring& path, uint64_t offset, DWORD length, uint64_t& size) {
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER at{}, whole{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    std::string bytes(length, '\0');
    DWORD got = 0;
    if (!file || !GetFileSizeEx(file.get(), &whole) || !SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) ||
        !ReadFile(file.get(), &bytes[0], length, &got, nullptr))
        return std::string();
    size = static_cast<uint64_t>(whole.QuadPart);
    return bytes.substr(0, got);
}

bool Extract(const std::string& archive) {
    bool result = false;
    const auto lines = TextsOf(Captured([&](HWND) { result = ExtractZip(HostPath(HOPWELL_TEST_ARCHIVES "/" + archive)); }),
                               EM_REPLACESEL);
    EXPECT_EQ(lines, std::vector<std::wstring>{L"Miniz giải nén thành công!"});
    return result;
}

TEST(ExtractLarge, EntryOfMoreThanFourGibibytes) {
    ClearDirectory(AppDirectory());
    ASSERT_TRUE(Extract("large/entry.zip"));
    uint64_t size = 0;
    const uint64_t expected = (4097ULL << 20) + 7;
    EXPECT_EQ(ReadAt(AppDirectory() + L"\\big\\zeros.bin", (4ULL << 30) - 4, 8, size), std::string(8, '\0'));
    EXPECT_EQ(ReadAt(AppDirectory() + L"\\big\\zeros.bin", expected - 7, 64, size), "the end");
    EXPECT_EQ(size, expected);
    EXPECT_EQ(ReadBytes(AppDirectory() + L"\\after"), "a");
    ClearDirectory(AppDirectory());
}

TEST(ExtractLarge, ArchiveOfMoreThanFourGibibytes) {
    ClearDirectory(AppDirectory());
    ASSERT_TRUE(Extract("large/archive.zip"));
    EXPECT_EQ(ReadBytes(AppDirectory() + L"\\first.txt"), "beyond four gibibytes");
    EXPECT_EQ(ReadBytes(AppDirectory() + L"\\nested\\second.bin"), std::string(100000, 'z'));
}

}  // namespace
