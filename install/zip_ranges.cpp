#include "install/zip_ranges.h"

#include <algorithm>

namespace {

// A local header's name and extra field, and a ZIP64 data descriptor with its signature.
constexpr uint64_t MaxHeaderTail = 0xFFFF + 0xFFFF;
constexpr uint64_t MaxDescriptor = 24;

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
        if (length < ZipLocalHeaderSize + stat.compressedSize ||
            length - ZipLocalHeaderSize - stat.compressedSize > MaxHeaderTail + MaxDescriptor)
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

bool JoinedOffset(const std::vector<ByteRange>& ranges, uint64_t archiveOffset,
                  uint64_t& joined) {
    joined = 0;
    for (const ByteRange& range : ranges) {
        if (archiveOffset >= range.first && archiveOffset <= range.last) {
            joined += archiveOffset - range.first;
            return true;
        }
        joined += range.Length();
    }
    return false;
}
