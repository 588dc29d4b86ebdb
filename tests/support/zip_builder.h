#pragma once
// Writes ZIP archives byte by byte for tests: well-formed ones in forms that the usual tools
// do not produce on demand, and deliberately broken ones. Plain C++ and zlib, so the fuzzer's
// seed maker uses it too.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct ZipBuilderEntry {
    ZipBuilderEntry(std::string entryName, std::string content, uint16_t entryMethod = 8,
                    uint16_t entryFlags = 0)
        : name(std::move(entryName)), data(std::move(content)), method(entryMethod),
          flags(entryFlags) {}

    std::string name;
    std::string data;  // the content
    uint16_t method = 8;  // 0 stored, 8 deflated; anything else is written as given
    uint16_t flags = 0;
    // Sizes and CRC-32 in a data descriptor after the data, zero in the local header;
    // the descriptor with or without its optional signature.
    bool descriptor = false;
    bool descriptorSignature = true;
    // Sizes and offset through the ZIP64 extra field, 0xFFFFFFFF in the records.
    bool zip64 = false;
    // Deliberate lies, written instead of the honest values.
    std::optional<std::string> payload;  // the bytes stored as the entry's data
    std::optional<uint64_t> uncompressedSize;
    std::optional<uint32_t> crc;
};

struct ZipBuilderOptions {
    ZipBuilderOptions(std::string prefixBytes = {}, std::string archiveComment = {},
                      bool zip64EndRecords = false)
        : prefix(std::move(prefixBytes)), comment(std::move(archiveComment)),
          zip64End(zip64EndRecords) {}

    std::string prefix;   // bytes in front of the archive; stored offsets do not count them
    std::string comment;  // the archive comment
    bool zip64End = false;  // ZIP64 end record and locator, saturated fields in the plain one
    // Stored offsets count this many bytes that the caller places in front of the returned
    // bytes as part of the archive (a hole in a sparse file, for archives above 4 GiB).
    uint64_t gap = 0;
};

std::string BuildZip(const std::vector<ZipBuilderEntry>& entries,
                     const ZipBuilderOptions& options = {});

// Raw deflate (no zlib header) of data, as ZIP stores it.
std::string DeflateRaw(const std::string& data);

// Little-endian field writers, for tests that patch archives.
void Put16(std::string& out, uint16_t value);
void Put32(std::string& out, uint32_t value);
void Put64(std::string& out, uint64_t value);
void Patch32(std::string& bytes, size_t at, uint32_t value);
