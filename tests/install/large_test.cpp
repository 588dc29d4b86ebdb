// Archives and entries beyond 4 GiB: sizes and offsets are 64-bit all the way through.
#include <gtest/gtest.h>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "install/extract_zip.h"
#include "tests/support/support.h"

namespace {

void Extract(const std::string& archive) {
    ClearDirectory(AppDirectory());
    const std::wstring path = HostPath(HOPWELL_TEST_ARCHIVES "/large/" + archive);
    EXPECT_EQ(LoggedBy([&] { ExtractZip(path); }),
              std::vector<std::wstring>{L"Miniz giải nén thành công!"});
}

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

TEST(ExtractLarge, EntryOfMoreThanFourGibibytes) {
    Extract("entry.zip");
    const std::wstring big = AppDirectory() + L"\\big\\zeros.bin";
    const uint64_t expected = (4097ULL << 20) + 7;
    uint64_t size = 0;
    EXPECT_EQ(ReadAt(big, (4ULL << 30) - 4, 8, size), std::string(8, '\0'));
    EXPECT_EQ(ReadAt(big, expected - 7, 64, size), "the end");
    EXPECT_EQ(size, expected);
    EXPECT_EQ(ReadBytes(AppDirectory() + L"\\after"), "a");
    ClearDirectory(AppDirectory());
}

TEST(ExtractLarge, ArchiveOfMoreThanFourGibibytes) {
    Extract("archive.zip");  // entries behind a 4 GiB hole, reached through ZIP64 offsets
    EXPECT_EQ(ReadBytes(AppDirectory() + L"\\first.txt"), "beyond four gibibytes");
    EXPECT_EQ(ReadBytes(AppDirectory() + L"\\nested\\second.bin"), std::string(100000, 'z'));
}

}  // namespace
