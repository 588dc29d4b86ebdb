#pragma once
// Some entries of a remote archive, fetched by range: which ranges hold them, and the central
// directory that makes those ranges, joined in order, an archive of these entries alone.
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

// Appends the central records of the entries at indices to records, pointing at where their
// local headers lie once the ranges are joined in order behind base bytes.
bool RangeImageRecords(const ZipReader& zip, const std::vector<uint32_t>& indices,
                       const std::vector<ByteRange>& ranges, uint64_t base,
                       std::string& records);

// The end records of a directory (ZIP64 ones too when a value needs them).
std::string ZipEndRecords(uint64_t entries, uint64_t directorySize, uint64_t directoryOffset);

// The central directory and end records that follow the ranges, fetched and joined in their
// order, to make an archive of the entries at indices alone.
bool RangeImageDirectory(const ZipReader& zip, const std::vector<uint32_t>& indices,
                         const std::vector<ByteRange>& ranges, std::string& directory);
