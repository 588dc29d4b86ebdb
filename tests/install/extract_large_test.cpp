// Archives and entries of 4 GiB and more: sizes and offsets are 64-bit all the way through.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>
#include <zlib.h>

#include <cstring>
#include <string>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "install/extract_zip.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/zip_builder.h"

using testing::ElementsAre;

namespace {

constexpr uint64_t MiB = 1ull << 20;
constexpr uint64_t FourGiB = 4ull << 30;

// Writes bytes at offset, leaving a hole (a sparse region) in front of them.
bool WriteAt(const std::wstring& path, uint64_t offset, const std::string& bytes) {
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    DWORD written = 0;
    return file && SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN) &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string ReadAt(const std::wstring& path, uint64_t offset, DWORD length) {
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes(length, '\0');
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    DWORD got = 0;
    if (!file || !SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN) ||
        !ReadFile(file.get(), &bytes[0], length, &got, nullptr))
        return std::string();
    bytes.resize(got);
    return bytes;
}

// A raw deflate stream of `mebibytes` MiB of zeros followed by `tail`, made without deflating
// gigabytes: the compressed form of one MiB of zeros that follows zeros decodes the same
// wherever it stands, so it is repeated. Sync flushes keep every piece byte-aligned.
std::string DeflatedZeros(uint64_t mebibytes, const std::string& tail, uint32_t& crc) {
    const std::string zeros(MiB, '\0');
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    auto piece = [&] {
        std::string out(64 * 1024, '\0');
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
        stream.avail_in = static_cast<uInt>(zeros.size());
        stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
        stream.avail_out = static_cast<uInt>(out.size());
        deflate(&stream, Z_SYNC_FLUSH);
        out.resize(out.size() - stream.avail_out);
        return out;
    };
    std::string out = piece();
    const std::string repeated = piece();
    deflateEnd(&stream);
    for (uint64_t i = 1; i < mebibytes; ++i) out += repeated;
    out += DeflateRaw(tail);  // a fresh stream holds only literals: valid after anything

    const uLong zerosCrc = crc32(0L, reinterpret_cast<const Bytef*>(zeros.data()), MiB);
    uLong total = zerosCrc;
    for (uint64_t i = 1; i < mebibytes; ++i) total = crc32_combine(total, zerosCrc, MiB);
    const uLong tailCrc =
        crc32(0L, reinterpret_cast<const Bytef*>(tail.data()), static_cast<uInt>(tail.size()));
    crc = static_cast<uint32_t>(crc32_combine(total, tailCrc, static_cast<z_off_t>(tail.size())));
    return out;
}

class ExtractLargeTest : public testing::Test {
protected:
    void SetUp() override { ClearDirectory(AppDirectory()); }
    void TearDown() override { ClearDirectory(AppDirectory()); }
    LogCapture log_;
    TempDir archives_;
};

}  // namespace

TEST_F(ExtractLargeTest, EntryOfMoreThanFourGiB) {
    const std::string tail = "the end";
    ZipBuilderEntry big{"big/zeros.bin", ""};
    big.zip64 = true;
    uint32_t crc = 0;
    big.payload = DeflatedZeros(FourGiB / MiB + 1, tail, crc);
    big.crc = crc;
    big.uncompressedSize = FourGiB + MiB + tail.size();
    const std::wstring archive = archives_.File(L"big-entry.zip");
    ASSERT_TRUE(WriteBytes(archive, BuildZip({{"small.txt", "small"}, big, {"after", "a"}})));

    EXPECT_TRUE(ExtractZip(archive));
    EXPECT_THAT(log_.Lines(), ElementsAre(L"Miniz giải nén thành công!"));
    const std::wstring written = AppDirectory() + L"\\big\\zeros.bin";
    EXPECT_EQ(FileSize(written), *big.uncompressedSize);
    EXPECT_EQ(ReadAt(written, FourGiB - 4, 8), std::string(8, '\0'));
    EXPECT_EQ(ReadAt(written, *big.uncompressedSize - tail.size(), 64), tail);
    EXPECT_EQ(ReadBytes(AppDirectory() + L"\\after"), "a");
}

TEST_F(ExtractLargeTest, ArchiveOfMoreThanFourGiB) {
    // The entries lie beyond 4 GiB, behind a hole that costs no disk space; the directory
    // reaches them through ZIP64 offsets.
    const uint64_t gap = FourGiB + 12345;
    ZipBuilderEntry first{"first.txt", "beyond four gibibytes"};
    first.zip64 = true;
    ZipBuilderEntry second{"nested/second.bin", std::string(100000, 'z')};
    second.zip64 = true;
    ZipBuilderOptions options;
    options.gap = gap;
    options.zip64End = true;
    const std::wstring archive = archives_.File(L"big-archive.zip");
    ASSERT_TRUE(WriteAt(archive, gap, BuildZip({first, second}, options)));
    ASSERT_GT(FileSize(archive), FourGiB);

    EXPECT_TRUE(ExtractZip(archive));
    EXPECT_THAT(log_.Lines(), ElementsAre(L"Miniz giải nén thành công!"));
    EXPECT_EQ(ReadBytes(AppDirectory() + L"\\first.txt"), first.data);
    EXPECT_EQ(ReadBytes(AppDirectory() + L"\\nested\\second.bin"), second.data);
}
