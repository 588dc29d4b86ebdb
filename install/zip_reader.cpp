#include "install/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr uint32_t LocalHeaderSignature = 0x04034b50;
constexpr uint32_t CentralRecordSignature = 0x02014b50;
constexpr uint32_t EndRecordSignature = 0x06054b50;
constexpr uint32_t Zip64EndRecordSignature = 0x06064b50;
constexpr uint32_t Zip64LocatorSignature = 0x07064b50;

constexpr uint64_t LocalHeaderSize = 30;
constexpr uint64_t CentralRecordSize = 46;
constexpr uint64_t EndRecordSize = 22;
constexpr uint64_t Zip64EndRecordSize = 56;
constexpr uint64_t Zip64LocatorSize = 20;
constexpr uint64_t MaxCommentSize = 0xFFFF;

constexpr uint16_t Zip64ExtraId = 0x0001;
constexpr uint16_t FlagEncrypted = 0x0001;
constexpr uint16_t FlagStrongEncryption = 0x0040;

// Deflate cannot do better than 1032:1 (two 1-bit codes per 258-byte match), so an entry
// that claims more is refused before anything is allocated for it.
constexpr uint64_t MaxDeflateRatio = 1032;
// Input is asked for in pieces that a reader from a stream can buffer. Output goes out in
// windows small enough that its CRC is taken while the bytes are still in cache.
constexpr uint64_t InputChunk = 1u << 20;
constexpr uint64_t OutputWindow = 256u << 10;

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Read32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Read64(const uint8_t* p) {
    return static_cast<uint64_t>(Read32(p)) | (static_cast<uint64_t>(Read32(p + 4)) << 32);
}

// True when [offset, offset + length) lies within [0, limit), without overflow.
bool Fits(uint64_t offset, uint64_t length, uint64_t limit) {
    return offset <= limit && length <= limit - offset;
}

bool HasSignature(const ZipReader& zip, uint64_t pos, uint32_t signature) {
    return Fits(pos, 4, zip.size) && Read32(zip.data + pos) == signature;
}

struct DirectoryEnd {
    uint64_t entryCount = 0;
    uint64_t centralSize = 0;
    uint64_t centralOffset = 0;  // relative to the archive's start
    uint64_t tail = 0;           // absolute position of the record that follows the directory
};

// Reads the ZIP64 end record that the locator at locatorPos points to.
bool ReadZip64End(const ZipReader& zip, uint64_t locatorPos, DirectoryEnd& end) {
    const uint8_t* locator = zip.data + locatorPos;
    if (Read32(locator + 4) != 0 || Read32(locator + 16) > 1) return false;  // spanned
    const uint64_t recordOffset = Read64(locator + 8);

    // Writers put the record right before the locator. Its stored offset is relative to the
    // archive's start, which differs from its place in the image when a stub was prepended.
    uint64_t recordPos = 0;
    if (locatorPos >= Zip64EndRecordSize &&
        HasSignature(zip, locatorPos - Zip64EndRecordSize, Zip64EndRecordSignature) &&
        Read64(zip.data + locatorPos - Zip64EndRecordSize + 4) == Zip64EndRecordSize - 12) {
        recordPos = locatorPos - Zip64EndRecordSize;
    } else if (recordOffset >= zip.imageOffset &&
               Fits(recordOffset - zip.imageOffset, Zip64EndRecordSize, locatorPos) &&
               HasSignature(zip, recordOffset - zip.imageOffset, Zip64EndRecordSignature)) {
        recordPos = recordOffset - zip.imageOffset;
    } else {
        return false;
    }
    const uint8_t* record = zip.data + recordPos;
    if (Read32(record + 16) != 0 || Read32(record + 20) != 0) return false;  // spanned
    end.entryCount = Read64(record + 32);
    if (Read64(record + 24) != end.entryCount) return false;
    end.centralSize = Read64(record + 40);
    end.centralOffset = Read64(record + 48);
    end.tail = recordPos;
    return true;
}

bool ReadDirectoryEnd(const ZipReader& zip, uint64_t endPos, DirectoryEnd& end) {
    const uint8_t* record = zip.data + endPos;
    // A locator in front means the ZIP64 record holds the real values. Should the locator's
    // signature turn out to be chance bytes of the last central record, the plain record
    // still stands.
    if (endPos >= Zip64LocatorSize &&
        HasSignature(zip, endPos - Zip64LocatorSize, Zip64LocatorSignature) &&
        ReadZip64End(zip, endPos - Zip64LocatorSize, end)) {
        return true;
    }
    if (Read16(record + 4) != 0 || Read16(record + 6) != 0) return false;  // spanned
    end.entryCount = Read16(record + 10);
    if (Read16(record + 8) != end.entryCount) return false;
    end.centralSize = Read32(record + 12);
    end.centralOffset = Read32(record + 16);
    end.tail = endPos;
    return true;
}

// Walks the central directory that [start, start + size) should hold.
bool ReadRecords(ZipReader& zip, uint64_t start, uint64_t size, uint64_t count) {
    if (count > size / CentralRecordSize || count > 0x7FFFFFFF) return false;
    zip.records.clear();
    zip.records.reserve(static_cast<size_t>(count));
    const uint64_t end = start + size;
    uint64_t pos = start;
    for (uint64_t i = 0; i < count; ++i) {
        if (!Fits(pos, CentralRecordSize, end) || Read32(zip.data + pos) != CentralRecordSignature)
            return false;
        const uint8_t* record = zip.data + pos;
        const uint64_t length =
            CentralRecordSize + Read16(record + 28) + Read16(record + 30) + Read16(record + 32);
        if (!Fits(pos, length, end)) return false;
        zip.records.push_back(pos);
        pos += length;
    }
    // More records than the count says (a 16-bit count that wrapped) would silently lose
    // entries: refuse rather than extract part of the archive.
    if (Fits(pos, 4, end) && Read32(zip.data + pos) == CentralRecordSignature) return false;
    return true;
}

// needFrom, when given, receives the archive position a tail image must start at to hold a
// directory that begins in front of it.
bool OpenAt(ZipReader& zip, uint64_t endPos, uint64_t* needFrom) {
    // Out of sight, a ZIP64 locator and record may stand in front of the end record, whose
    // own fields then say nothing.
    if (zip.imageOffset > 0 && endPos < Zip64LocatorSize + Zip64EndRecordSize) {
        const uint64_t at = zip.imageOffset + endPos;
        if (needFrom) *needFrom = at - std::min(at, Zip64LocatorSize + Zip64EndRecordSize);
        return false;
    }
    DirectoryEnd end;
    if (!ReadDirectoryEnd(zip, endPos, end)) return false;
    if (end.centralSize > end.tail) {
        const uint64_t missing = end.centralSize - end.tail;
        if (needFrom && missing <= zip.imageOffset) *needFrom = zip.imageOffset - missing;
        return false;
    }

    // The directory ends where the end records begin, so its real place in the image tells
    // how many bytes stand in front of the archive. Failing that, take the offsets as stored.
    const uint64_t realStart = end.tail - end.centralSize;
    if (end.centralOffset <= zip.imageOffset + realStart) {
        const uint64_t archiveStart = zip.imageOffset + realStart - end.centralOffset;
        if (ReadRecords(zip, realStart, end.centralSize, end.entryCount)) {
            zip.archiveStart = archiveStart;
            zip.centralStart = realStart;
            zip.centralSize = end.centralSize;
            return true;
        }
    }
    // Only a whole image can tell where stored offsets point.
    if (zip.imageOffset == 0 && end.centralOffset != realStart &&
        Fits(end.centralOffset, end.centralSize, end.tail) &&
        ReadRecords(zip, end.centralOffset, end.centralSize, end.entryCount)) {
        zip.archiveStart = 0;
        zip.centralStart = end.centralOffset;
        zip.centralSize = end.centralSize;
        return true;
    }
    return false;
}

// Finds the end record and opens the directory it describes; see ZipReaderInitTail.
bool Open(ZipReader& zip, uint64_t* needFrom) {
    // The end record sits at most a maximal comment away from the end. First look for one
    // whose comment ends exactly at the end of the image, so that a record-like pattern
    // inside a comment is not taken for the real one; then allow bytes after the comment.
    const uint64_t last = zip.size - EndRecordSize;
    const uint64_t first = last > MaxCommentSize ? last - MaxCommentSize : 0;
    for (const bool exact : {true, false}) {
        for (uint64_t pos = last + 1; pos-- > first;) {
            if (Read32(zip.data + pos) != EndRecordSignature) continue;
            const uint64_t commentEnd = pos + EndRecordSize + Read16(zip.data + pos + 20);
            if (exact ? commentEnd != zip.size : commentEnd >= zip.size) continue;
            uint64_t need = UINT64_MAX;
            if (OpenAt(zip, pos, needFrom ? &need : nullptr)) return true;
            // The first record that asks for more decides: the latest one is the real one.
            if (need != UINT64_MAX) {
                *needFrom = need;
                return false;
            }
        }
    }
    return false;
}

// Reads the fields that a ZIP64 extra field holds for the record's saturated ones.
bool ReadZip64Extra(const uint8_t* extra, uint64_t extraLength, bool needUncompressed,
                    bool needCompressed, bool needOffset, bool needDisk, ZipEntryStat& stat,
                    uint32_t& disk) {
    uint64_t pos = 0;
    while (Fits(pos, 4, extraLength)) {
        const uint16_t id = Read16(extra + pos);
        const uint16_t length = Read16(extra + pos + 2);
        pos += 4;
        if (!Fits(pos, length, extraLength)) return false;
        if (id == Zip64ExtraId) {
            const uint8_t* field = extra + pos;
            uint64_t used = 0;
            auto take64 = [&](uint64_t& value) {
                if (used + 8 > length) return false;
                value = Read64(field + used);
                used += 8;
                return true;
            };
            if (needUncompressed && !take64(stat.uncompressedSize)) return false;
            if (needCompressed && !take64(stat.compressedSize)) return false;
            if (needOffset && !take64(stat.localHeaderOffset)) return false;
            if (needDisk) {
                if (used + 4 > length) return false;
                disk = Read32(field + used);
            }
            return true;
        }
        pos += length;
    }
    return false;
}

// A stored entry is as long as its data; a deflated one at most MaxDeflateRatio times longer.
bool SizesPossible(const ZipEntryStat& stat) {
    if (stat.method == ZipMethodStored) return stat.compressedSize == stat.uncompressedSize;
    return stat.uncompressedSize / MaxDeflateRatio <= stat.compressedSize;
}

// Where an entry's compressed bytes lie in the image.
bool LocateData(const ZipReader& zip, const ZipEntryStat& stat, uint64_t& dataPos) {
    if (zip.imageOffset != 0) return false;  // a tail holds no entry's data
    if (stat.localHeaderOffset > UINT64_MAX - zip.archiveStart) return false;
    const uint64_t header = zip.archiveStart + stat.localHeaderOffset;
    // Entry data lies in front of the central directory.
    if (!Fits(header, LocalHeaderSize, zip.centralStart)) return false;
    const uint8_t* local = zip.data + header;
    if (Read32(local) != LocalHeaderSignature) return false;
    const uint64_t start = header + LocalHeaderSize + Read16(local + 26) + Read16(local + 28);
    if (!Fits(start, stat.compressedSize, zip.centralStart)) return false;
    dataPos = start;
    return true;
}

}  // namespace

bool ZipReaderInitMem(ZipReader& zip, const void* data, uint64_t size) {
    zip = ZipReader{};
    if (!data || size < EndRecordSize) return false;
    zip.data = static_cast<const uint8_t*>(data);
    zip.size = size;
    if (Open(zip, nullptr)) return true;
    zip = ZipReader{};
    return false;
}

bool ZipReaderInitTail(ZipReader& zip, const void* data, uint64_t size, uint64_t archiveLength,
                       uint64_t& needFrom) {
    zip = ZipReader{};
    needFrom = archiveLength;
    if (!data || size < EndRecordSize || size > archiveLength) return false;
    zip.data = static_cast<const uint8_t*>(data);
    zip.size = size;
    zip.imageOffset = archiveLength - size;
    if (Open(zip, &needFrom)) return true;
    const uint64_t need = needFrom;
    zip = ZipReader{};
    needFrom = need;
    return false;
}

uint64_t ZipEntryArchiveOffset(const ZipReader& zip, const ZipEntryStat& stat) {
    return zip.archiveStart + stat.localHeaderOffset;
}

uint32_t ZipReaderGetNumFiles(const ZipReader& zip) {
    return static_cast<uint32_t>(zip.records.size());
}

bool ZipReaderFileStat(const ZipReader& zip, uint32_t index, ZipEntryStat& stat) {
    stat = ZipEntryStat{};
    if (index >= zip.records.size()) return false;
    const uint64_t pos = zip.records[index];
    const uint8_t* record = zip.data + pos;  // whole record checked at init
    const uint16_t nameLength = Read16(record + 28);
    const uint16_t extraLength = Read16(record + 30);

    stat.index = index;
    stat.versionMadeBy = Read16(record + 4);
    stat.versionNeeded = Read16(record + 6);
    stat.flags = Read16(record + 8);
    stat.method = Read16(record + 10);
    stat.crc32 = Read32(record + 16);
    stat.compressedSize = Read32(record + 20);
    stat.uncompressedSize = Read32(record + 24);
    uint32_t disk = Read16(record + 34);
    stat.externalAttributes = Read32(record + 38);
    stat.localHeaderOffset = Read32(record + 42);

    const bool needUncompressed = stat.uncompressedSize == 0xFFFFFFFF;
    const bool needCompressed = stat.compressedSize == 0xFFFFFFFF;
    const bool needOffset = stat.localHeaderOffset == 0xFFFFFFFF;
    const bool needDisk = disk == 0xFFFF;
    if ((needUncompressed || needCompressed || needOffset || needDisk) &&
        !ReadZip64Extra(record + CentralRecordSize + nameLength, extraLength, needUncompressed,
                        needCompressed, needOffset, needDisk, stat, disk)) {
        stat = ZipEntryStat{};
        return false;
    }
    if (disk != 0) {
        stat = ZipEntryStat{};
        return false;
    }

    const size_t kept = std::min<size_t>(nameLength, ZipMaxNameBytes);
    std::memcpy(stat.filename, record + CentralRecordSize, kept);
    stat.filename[kept] = '\0';
    stat.isDirectory = nameLength > 0 && record[CentralRecordSize + nameLength - 1] == '/';
    stat.isEncrypted = (stat.flags & (FlagEncrypted | FlagStrongEncryption)) != 0;
    stat.isSupported = !stat.isEncrypted &&
                       (stat.method == ZipMethodStored || stat.method == ZipMethodDeflated);
    return true;
}

void* ZipReaderExtractToHeap(const ZipReader& zip, uint32_t index, uint64_t* size) {
    if (size) *size = 0;
    ZipEntryStat stat;
    if (!ZipReaderFileStat(zip, index, stat) || !stat.isSupported) return nullptr;
    uint64_t dataPos = 0;
    if (!LocateData(zip, stat, dataPos)) return nullptr;
    // Nothing is allocated for an entry whose sizes lie.
    if (!SizesPossible(stat) || stat.uncompressedSize > SIZE_MAX - 1) return nullptr;

    // At least one byte, so an empty entry still has a buffer to hand back.
    uint8_t* buffer =
        static_cast<uint8_t*>(std::malloc(static_cast<size_t>(stat.uncompressedSize) + 1));
    if (!buffer) return nullptr;
    const uint8_t* in = zip.data + dataPos;
    uint8_t* out = buffer;
    const bool ok = ZipInflateEntry(
        stat,
        [&](size_t take) {
            in += take;
            return in - take;
        },
        [&](const uint8_t* data, size_t made) {
            std::memcpy(out, data, made);
            out += made;
            return true;
        });
    if (!ok) {
        std::free(buffer);
        return nullptr;
    }
    if (size) *size = stat.uncompressedSize;
    return buffer;
}

void ZipFree(void* buffer) { std::free(buffer); }

bool ZipLocalDataOffset(const uint8_t* header, uint64_t& dataOffset) {
    if (Read32(header) != LocalHeaderSignature) return false;
    dataOffset = LocalHeaderSize + Read16(header + 26) + Read16(header + 28);
    return true;
}

bool ZipInflateEntry(const ZipEntryStat& stat, const std::function<const uint8_t*(size_t)>& read,
                     const std::function<bool(const uint8_t*, size_t)>& write) {
    if (!stat.isSupported) return false;
    if (!SizesPossible(stat)) return false;
    const bool stored = stat.method == ZipMethodStored;
    uLong crc = crc32(0L, Z_NULL, 0);
    uint64_t inLeft = stat.compressedSize;
    if (stored) {
        while (inLeft > 0) {
            const size_t take = static_cast<size_t>(std::min(inLeft, InputChunk));
            const uint8_t* data = read(take);
            if (!data || !write(data, take)) return false;
            crc = crc32_z(crc, data, take);
            inLeft -= take;
        }
        return crc == stat.crc32;
    }
    std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[OutputWindow]);
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (!out || inflateInit2(&stream, -MAX_WBITS) != Z_OK) return false;
    uint64_t produced = 0;
    bool ok = false;
    for (;;) {
        if (stream.avail_in == 0 && inLeft > 0) {
            const size_t take = static_cast<size_t>(std::min(inLeft, InputChunk));
            const uint8_t* data = read(take);
            if (!data) break;
            stream.next_in = const_cast<Bytef*>(data);
            stream.avail_in = static_cast<uInt>(take);
            inLeft -= take;
        }
        stream.next_out = out.get();
        stream.avail_out = static_cast<uInt>(OutputWindow);
        const int status = inflate(&stream, Z_NO_FLUSH);
        const size_t made = OutputWindow - stream.avail_out;
        // More than declared is refused before it is written.
        if (made > stat.uncompressedSize - produced) break;
        produced += made;
        crc = crc32_z(crc, out.get(), made);
        if (made > 0 && !write(out.get(), made)) break;
        if (status == Z_STREAM_END) {
            ok = produced == stat.uncompressedSize && crc == stat.crc32;
            break;
        }
        // No progress with the input all read: the data is cut short.
        if (status == Z_BUF_ERROR && stream.avail_in == 0 && inLeft == 0) break;
        if (status != Z_OK && status != Z_BUF_ERROR) break;
    }
    inflateEnd(&stream);
    return ok;
}

bool ZipReaderEnd(ZipReader& zip) {
    const bool wasOpen = zip.data != nullptr;
    zip = ZipReader{};
    return wasOpen;
}
