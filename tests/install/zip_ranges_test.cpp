// The directory of an archive read from its end, and some of its entries inflated from the
// ranges that hold them, joined, over the archives of make_archives.py.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "install/zip_ranges.h"
#include "install/zip_reader.h"

namespace {

std::string Bytes(const std::string& name) {
    std::ifstream in(HOPWELL_TEST_ARCHIVES "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The archive with a comment of n bytes in place of its own, one that holds an end record.
std::string WithLongComment(std::string bytes, size_t n) {
    const size_t end = bytes.rfind("PK\x05\x06");
    bytes.resize(end + 20);
    std::string comment(n, 'c');
    comment.replace(100, 22, bytes.substr(end, 20) + std::string(2, '\0'));
    bytes += static_cast<char>(n & 0xFF);
    bytes += static_cast<char>(n >> 8);
    return bytes + comment;
}

// Opens the directory as a fetch does: the last firstRead bytes, then from where the reader
// asks, while it asks for more. The number of reads, 0 when it gave up.
int OpenFromEnd(const std::string& archive, uint64_t firstRead, ZipReader& zip,
                std::string& tail) {
    uint64_t from = archive.size() - std::min<uint64_t>(firstRead, archive.size());
    for (int reads = 1; reads <= 4; ++reads) {
        tail = archive.substr(from);
        uint64_t needFrom = 0;
        if (ZipReaderInitTail(zip, tail.data(), tail.size(), archive.size(), needFrom))
            return reads;
        if (needFrom >= from) return 0;
        from = needFrom;
    }
    return 0;
}

std::vector<std::string> Names(const ZipReader& zip) {
    std::vector<std::string> names;
    ZipEntryStat stat;
    for (uint32_t i = 0; i < ZipReaderGetNumFiles(zip); ++i) {
        EXPECT_TRUE(ZipReaderFileStat(zip, i, stat));
        names.push_back(stat.filename);
    }
    return names;
}

TEST(ZipReaderInitTail, FindsTheDirectoryFromTheEndInAsFewReadsAsItsPlaceAllows) {
    const struct {
        const char* archive;
        size_t longComment;  // 0: the archive's own comment
        uint64_t firstRead;
        int reads;  // 0: not an archive
    } cases[] = {
        {"infozip-dirs.zip", 0, ZipTailBytes, 1},  {"infozip-comment.zip", 0, ZipTailBytes, 1},
        {"infozip-zip64.zip", 0, ZipTailBytes, 1}, {"zip64-end.zip", 0, ZipTailBytes, 1},
        {"infozip-sfx.zip", 0, ZipTailBytes, 1},   {"infozip-sfxadjusted.zip", 0, ZipTailBytes, 1},
        {"infozip-dirs.zip", 65000, ZipTailBytes, 1},   // the largest comment there can be
        // A directory larger than the first read; then with ZIP64 records out of sight too.
        {"infozip-dirs.zip", 0, 98, 2},  {"infozip-comment.zip", 0, 108, 2},
        {"infozip-zip64.zip", 0, 98, 2}, {"zip64-end.zip", 0, 98, 2}, {"infozip-sfx.zip", 0, 98, 2},
        {"zip64-end.zip", 0, 22, 3},     {"infozip-dirs.zip", 0, 22, 3},
        {"infozip-dirs.zip", 0, 1 << 30, 1},             // the whole archive
        {"many.zip", 0, ZipTailBytes, 2},  // a directory of megabytes, ZIP64 for its count
        {"text.zip", 0, ZipTailBytes, 0},  {"fake-end.zip", 0, ZipTailBytes, 1},
    };
    for (const auto& c : cases) {
        std::string bytes = Bytes(c.archive);
        if (c.longComment) bytes = WithLongComment(bytes, c.longComment);
        SCOPED_TRACE(std::string(c.archive) + " first read " + std::to_string(c.firstRead));
        ZipReader zip, whole;
        std::string tail;
        EXPECT_EQ(OpenFromEnd(bytes, c.firstRead, zip, tail), c.reads);
        if (c.reads == 0) continue;
        ASSERT_TRUE(ZipReaderInitMem(whole, bytes.data(), bytes.size()));
        EXPECT_EQ(Names(zip), Names(whole));
        ZipEntryStat a, b;
        for (uint32_t i = 0; i < ZipReaderGetNumFiles(whole); ++i) {
            ASSERT_TRUE(ZipReaderFileStat(zip, i, a) && ZipReaderFileStat(whole, i, b));
            EXPECT_EQ(ZipEntryArchiveOffset(zip, a), ZipEntryArchiveOffset(whole, b));
            // A tail holds no entry's bytes, so nothing may be inflated from it.
            if (tail.size() < bytes.size()) {
                EXPECT_EQ(ZipReaderExtractToHeap(zip, i, nullptr), nullptr);
            }
        }
    }
}

std::string Extracted(const ZipReader& zip, uint32_t index) {
    uint64_t size = 0;
    std::unique_ptr<void, void (*)(void*)> data(ZipReaderExtractToHeap(zip, index, &size),
                                                ZipFree);
    return data ? std::string(static_cast<const char*>(data.get()), size) : "(failed)";
}

// The entry inflated from the joined ranges, at the place JoinedOffset gives its header.
std::string FromJoined(const std::string& joined, const std::vector<ByteRange>& ranges,
                       const ZipReader& zip, uint32_t index) {
    ZipEntryStat stat;
    uint64_t at = 0, data = 0;
    if (!ZipReaderFileStat(zip, index, stat) ||
        !JoinedOffset(ranges, ZipEntryArchiveOffset(zip, stat), at) ||
        at + ZipLocalHeaderSize > joined.size() ||
        !ZipLocalDataOffset(reinterpret_cast<const uint8_t*>(joined.data()) + at, data))
        return "(no header)";
    at += data;
    std::string out;
    const bool ok = ZipInflateEntry(
        stat,
        [&](size_t size) -> const uint8_t* {
            if (at + size > joined.size()) return nullptr;
            at += size;
            return reinterpret_cast<const uint8_t*>(joined.data()) + at - size;
        },
        [&](const uint8_t* bytes, size_t size) {
            out.append(reinterpret_cast<const char*>(bytes), size);
            return true;
        });
    return ok ? out : "(failed)";
}

TEST(PlanEntryRanges, HoldsTheChosenEntriesWhereJoinedOffsetSays) {
    for (const char* name :
         {"infozip-dirs.zip", "infozip-stored.zip", "infozip-streamed.zip", "infozip-zip64.zip",
          "zip64-end.zip", "infozip-sfx.zip", "infozip-sfxadjusted.zip", "infozip-comment.zip",
          "spaced.zip"}) {
        const std::string bytes = Bytes(name);
        ZipReader whole, zip;
        std::string tail;
        ASSERT_TRUE(ZipReaderInitMem(whole, bytes.data(), bytes.size())) << name;
        ASSERT_EQ(OpenFromEnd(bytes, ZipTailBytes, zip, tail), 1) << name;
        const uint32_t count = ZipReaderGetNumFiles(zip);
        for (const int step : {1, 2, 3}) {
            SCOPED_TRACE(std::string(name) + " every " + std::to_string(step));
            std::vector<uint32_t> chosen;
            for (uint32_t i = count - 1; i < count; i -= step) chosen.push_back(i);  // any order
            std::vector<ByteRange> ranges;
            ASSERT_TRUE(PlanEntryRanges(zip, chosen, ranges));
            std::string joined;
            for (const ByteRange& range : ranges) joined += bytes.substr(range.first, range.Length());
            ZipEntryStat stat;
            for (const uint32_t i : chosen) {
                ASSERT_TRUE(ZipReaderFileStat(zip, i, stat));
                if (stat.isDirectory) continue;
                EXPECT_EQ(FromJoined(joined, ranges, zip, i), Extracted(whole, i)) << stat.filename;
            }
        }
    }
}

TEST(PlanEntryRanges, JoinsEntriesLessThanTheGapApart) {
    // spaced.zip: a, 70000 bytes, b, 60000 bytes, c.
    const std::string bytes = Bytes("spaced.zip");
    ZipReader zip;
    std::string tail;
    ASSERT_EQ(OpenFromEnd(bytes, ZipTailBytes, zip, tail), 1);
    const struct {
        std::vector<uint32_t> entries;
        size_t ranges;
        uint64_t atMost;  // bytes
    } cases[] = {
        {{0}, 1, 100},      {{0, 2}, 2, 200},       // 70000 bytes apart
        {{2, 4}, 1, 60200}, {{0, 2, 4}, 2, 60300},  // 60000 bytes apart
        {{1, 0}, 1, 70300}, {{4, 0, 1}, 1, 130300},  // neighbours, whatever the order asked
        {{0, 1, 2, 3, 4}, 1, bytes.size()},
    };
    for (const auto& c : cases) {
        std::vector<ByteRange> ranges;
        ASSERT_TRUE(PlanEntryRanges(zip, c.entries, ranges));
        uint64_t total = 0;
        for (const ByteRange& range : ranges) total += range.Length();
        EXPECT_EQ(ranges.size(), c.ranges) << c.entries.size() << " from " << c.entries[0];
        EXPECT_LE(total, c.atMost);
    }
}

}  // namespace
