#include "install/zip_ranges.h"

#include <algorithm>

namespace {

constexpr uint64_t LocalHeaderSize = 30;
constexpr uint64_t CentralRecordSize = 46;
// A local header's name and extra field, and a ZIP64 data descriptor with its signature.
constexpr uint64_t MaxHeaderTail = 0xFFFF + 0xFFFF;
constexpr uint64_t MaxDescriptor = 24;

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Read32(const uint8_t* p) {
    return static_cast<uint32_t>(Read16(p)) | (static_cast<uint32_t>(Read16(p + 2)) << 16);
}

void Put(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
// Puts value in bytes at out[at...].
void Set(std::string& out, size_t at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// Puts offset in a copied central record, where the record keeps it: its own field, or the
// ZIP64 extra field's slot after the saturated sizes.
bool SetLocalOffset(std::string& record, uint64_t offset) {
    const auto* p = reinterpret_cast<const uint8_t*>(record.data());
    if (Read32(p + 42) != 0xFFFFFFFF) {
        // Joined ranges only drop bytes in front of an entry: the new offset is no larger.
        Set(record, 42, offset, 4);
        return true;
    }
    const uint64_t extraAt = CentralRecordSize + Read16(p + 28);
    const uint64_t extraEnd = extraAt + Read16(p + 30);
    uint64_t slot = (Read32(p + 24) == 0xFFFFFFFF ? 8 : 0) + (Read32(p + 20) == 0xFFFFFFFF ? 8 : 0);
    for (uint64_t at = extraAt; at + 4 <= extraEnd;) {
        const uint16_t length = Read16(p + at + 2);
        if (Read16(p + at) == 0x0001) {
            if (slot + 8 > length || at + 4 + length > extraEnd) return false;
            Set(record, at + 4 + slot, offset, 8);
            return true;
        }
        at += 4 + length;
    }
    return false;
}

}  // namespace

bool PlanEntryRanges(const ZipReader& zip, const std::vector<uint32_t>& indices,
                     std::vector<ByteRange>& ranges) {
    ranges.clear();
    const uint32_t count = ZipReaderGetNumFiles(zip);
    std::vector<uint64_t> starts;
    starts.reserve(count);
    ZipEntryStat stat;
    for (uint32_t i = 0; i < count; ++i) {
        if (!ZipReaderFileStat(zip, i, stat)) return false;
        starts.push_back(ZipEntryArchiveOffset(zip, stat));
    }
    std::sort(starts.begin(), starts.end());
    const uint64_t directory = zip.imageOffset + zip.centralStart;
    std::vector<ByteRange> spans;
    for (const uint32_t index : indices) {
        if (!ZipReaderFileStat(zip, index, stat)) return false;
        const uint64_t first = ZipEntryArchiveOffset(zip, stat);
        const auto next = std::upper_bound(starts.begin(), starts.end(), first);
        const uint64_t end = next == starts.end() ? directory : *next;
        if (end > directory || end <= first) return false;
        const uint64_t length = end - first;
        if (length < LocalHeaderSize + stat.compressedSize ||
            length - LocalHeaderSize - stat.compressedSize > MaxHeaderTail + MaxDescriptor)
            return false;
        spans.push_back({first, end - 1});
    }
    std::sort(spans.begin(), spans.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.first < b.first; });
    for (const ByteRange& span : spans) {
        if (!ranges.empty() && span.first <= ranges.back().last + kJoinGapBytes)
            ranges.back().last = std::max(ranges.back().last, span.last);
        else
            ranges.push_back(span);
    }
    return true;
}

bool RangeImageRecords(const ZipReader& zip, const std::vector<uint32_t>& indices,
                       const std::vector<ByteRange>& ranges, uint64_t base,
                       std::string& records) {
    ZipEntryStat stat;
    for (const uint32_t index : indices) {
        if (!ZipReaderFileStat(zip, index, stat)) return false;
        const uint64_t at = ZipEntryArchiveOffset(zip, stat);
        uint64_t before = base;  // image bytes in front of the range holding the entry
        const ByteRange* holder = nullptr;
        for (const ByteRange& range : ranges) {
            if (at >= range.first && at <= range.last) {
                holder = &range;
                break;
            }
            before += range.Length();
        }
        if (!holder) return false;
        const uint8_t* p = zip.data + zip.records[index];
        std::string record(reinterpret_cast<const char*>(p),
                           CentralRecordSize + Read16(p + 28) + Read16(p + 30) + Read16(p + 32));
        if (!SetLocalOffset(record, before + (at - holder->first))) return false;
        records += record;
    }
    return true;
}

std::string ZipEndRecords(uint64_t entries, uint64_t directorySize, uint64_t directoryOffset) {
    std::string end;
    if (entries >= 0xFFFF || directorySize >= 0xFFFFFFFF || directoryOffset >= 0xFFFFFFFF) {
        Put(end, 0x06064b50, 4);
        Put(end, 44, 8);
        Put(end, 45, 2);
        Put(end, 45, 2);
        Put(end, 0, 8);  // this disk, and the directory's
        Put(end, entries, 8);
        Put(end, entries, 8);
        Put(end, directorySize, 8);
        Put(end, directoryOffset, 8);
        Put(end, 0x07064b50, 4);
        Put(end, 0, 4);
        Put(end, directoryOffset + directorySize, 8);
        Put(end, 1, 4);
    }
    Put(end, 0x06054b50, 4);
    Put(end, 0, 4);
    Put(end, std::min<uint64_t>(entries, 0xFFFF), 2);
    Put(end, std::min<uint64_t>(entries, 0xFFFF), 2);
    Put(end, std::min<uint64_t>(directorySize, 0xFFFFFFFF), 4);
    Put(end, std::min<uint64_t>(directoryOffset, 0xFFFFFFFF), 4);
    Put(end, 0, 2);
    return end;
}

bool RangeImageDirectory(const ZipReader& zip, const std::vector<uint32_t>& indices,
                         const std::vector<ByteRange>& ranges, std::string& directory) {
    directory.clear();
    uint64_t fetched = 0;
    for (const ByteRange& range : ranges) fetched += range.Length();
    if (!RangeImageRecords(zip, indices, ranges, 0, directory)) return false;
    directory += ZipEndRecords(indices.size(), directory.size(), fetched);
    return true;
}
