#pragma once
// Some entries of a remote archive, fetched by range: which ranges hold them, and where each
// lies once the ranges are joined.
#include <cstdint>
#include <string>
#include <vector>

#include "base/byte_range.h"
#include "install/zip_reader.h"

// Entries closer than this are fetched as one range: a request costs more than the bytes.
constexpr uint64_t kJoinGapBytes = 64u << 10;

// The ranges that hold the entries at indices of the reader (opened over the tail, or over
// a whole image), in archive order, those less than kJoinGapBytes apart joined. An entry's
// range runs from its local header to the next entry's, or to the directory: the local header's
// own lengths are known only once it is read, and writers put entries one after another. False
// when an entry's range cannot hold its header and data, or is longer than any header could
// make it: such a directory is not trusted to point at its entries.
bool PlanEntryRanges(const ZipReader& zip, const std::vector<uint32_t>& indices,
                     std::vector<ByteRange>& ranges);

// Where the byte at archiveOffset lies once the ranges are joined in order; false when no
// range holds it.
bool JoinedOffset(const std::vector<ByteRange>& ranges, uint64_t archiveOffset, uint64_t& joined);
