#pragma once
// A ZIP reader over an archive image held in memory, on zlib. Plain C++ over bytes, so the
// same source builds for Windows and natively for the fuzzer.
//
// Reads stored and deflated entries, data descriptors, ZIP64 sizes and offsets, archives with
// bytes in front (self-extractor stubs) and comments behind. Anything malformed is refused
// with false or a null buffer; nothing in the image is trusted before it is range-checked.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Stored names longer than this are cut to it.
constexpr size_t ZipMaxNameBytes = 511;

constexpr uint16_t ZipMethodStored = 0;
constexpr uint16_t ZipMethodDeflated = 8;

struct ZipReader {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
    // Where data[0] lies in the archive: 0 for a whole image, more for its last bytes only
    // (ZipReaderInitTail). Positions below count in the image, unless said otherwise.
    uint64_t imageOffset = 0;
    // Where the archive really starts, counted in the archive: offsets stored in the archive
    // count from here (non-zero when a stub was put in front without adjusting them).
    uint64_t archiveStart = 0;
    // Absolute position and size of the central directory in the image.
    uint64_t centralStart = 0;
    uint64_t centralSize = 0;
    // Absolute position of each entry's central directory record, in directory order.
    std::vector<uint64_t> records;
};

struct ZipEntryStat {
    uint32_t index = 0;
    uint16_t versionMadeBy = 0;
    uint16_t versionNeeded = 0;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc32 = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    uint64_t localHeaderOffset = 0;  // as stored, relative to the archive's start
    uint32_t externalAttributes = 0;
    bool isDirectory = false;  // the stored name ends in '/'
    bool isEncrypted = false;
    bool isSupported = false;  // stored or deflated, and not encrypted
    // The stored name, NUL-terminated, cut to ZipMaxNameBytes bytes.
    char filename[ZipMaxNameBytes + 1] = {};
};

// Opens the reader over size bytes at data; the bytes must outlive the reader. False when the
// bytes are not a readable ZIP archive (the reader is then left empty).
bool ZipReaderInitMem(ZipReader& zip, const void* data, uint64_t size);

// Bytes from the archive's end that always hold the end record, whatever its comment, and the
// ZIP64 end record and locator in front of it.
constexpr uint64_t ZipTailBytes = 0xFFFF + 22 + 20 + 56;

// Opens the reader over the last size bytes of an archive of archiveLength bytes, for the
// central directory only: entries can be described but not extracted. False when the bytes do
// not hold the directory; needFrom is then the archive position they must start at to hold
// it (below archiveLength - size), or archiveLength when they are no readable ZIP archive.
bool ZipReaderInitTail(ZipReader& zip, const void* data, uint64_t size, uint64_t archiveLength,
                       uint64_t& needFrom);

// Where an entry's local header lies in the archive.
uint64_t ZipEntryArchiveOffset(const ZipReader& zip, const ZipEntryStat& stat);

// Number of entries in the central directory.
uint32_t ZipReaderGetNumFiles(const ZipReader& zip);

// Describes one entry. False for an index out of range or a record that cannot be read.
bool ZipReaderFileStat(const ZipReader& zip, uint32_t index, ZipEntryStat& stat);

// Inflates one entry into a new heap buffer of exactly its uncompressed size and checks its
// CRC-32. Returns null when the entry is damaged, encrypted, of an unsupported method, does
// not match its declared size or CRC, or memory runs out. Release the buffer with ZipFree.
void* ZipReaderExtractToHeap(const ZipReader& zip, uint32_t index, uint64_t* size);

void ZipFree(void* buffer);

// A local header's fixed part, which says how far its entry's data lies past the header.
constexpr uint64_t ZipLocalHeaderSize = 30;

// Where the data of the entry whose local header starts with these ZipLocalHeaderSize bytes
// begins, counted from the header; false when they are no local header.
bool ZipLocalDataOffset(const uint8_t* header, uint64_t& dataOffset);

// Inflates (or copies, when stored) one entry's compressedSize bytes, which read(size) gives in
// order (a pointer to the next size bytes, valid until the next call; null when it cannot),
// handing the output to write in pieces as it comes. True when the output has
// exactly the entry's size and CRC-32; false when a read or write fails or the data is damaged,
// encrypted, of a method our reader lacks, or of another size or CRC.
bool ZipInflateEntry(const ZipEntryStat& stat, const std::function<const uint8_t*(size_t)>& read,
                     const std::function<bool(const uint8_t*, size_t)>& write);

// Closes the reader. The image is not touched.
bool ZipReaderEnd(ZipReader& zip);
