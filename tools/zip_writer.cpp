#include "tools/zip_writer.h"

#include <windows.h>
#include <zlib.h>

#include "base/text.h"

namespace {

constexpr uint32_t kLocalSignature = 0x04034b50, kCentralSignature = 0x02014b50,
                   kEndSignature = 0x06054b50;
constexpr uint16_t kUtf8Names = 0x0800, kVersion20 = 20, kStored = 0, kDeflated = 8;
constexpr DWORD kChunk = 1u << 20;
constexpr uint64_t kZip32Limit = 0xFFFFFFFFull;

void Put16(std::string& out, uint32_t value) {
    out += static_cast<char>(value & 0xff);
    out += static_cast<char>((value >> 8) & 0xff);
}
void Put32(std::string& out, uint32_t value) {
    Put16(out, value & 0xffff);
    Put16(out, value >> 16);
}

bool WriteBytes(HANDLE file, const void* data, size_t size) {
    DWORD written = 0;
    return WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

bool Seek(HANDLE file, uint64_t to) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(to);
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != FALSE;
}

struct EntryHeader {
    uint16_t method = kDeflated, time = 0, date = 0;
    uint32_t crc = 0;
    uint64_t packed = 0, size = 0;
};

std::string LocalHeader(const EntryHeader& h, const std::string& name) {
    std::string out;
    Put32(out, kLocalSignature);
    Put16(out, kVersion20);
    Put16(out, kUtf8Names);
    Put16(out, h.method);
    Put16(out, h.time);
    Put16(out, h.date);
    Put32(out, h.crc);
    Put32(out, static_cast<uint32_t>(h.packed));
    Put32(out, static_cast<uint32_t>(h.size));
    Put16(out, static_cast<uint32_t>(name.size()));
    Put16(out, 0);
    return out + name;
}

// Streams the source through crc32 and, when deflating, zlib into the archive.
bool CopyEntry(HANDLE source, HANDLE archive, bool deflate, EntryHeader& h) {
    z_stream stream{};
    if (deflate && deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                                Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    std::string in(kChunk, '\0'), out(kChunk, '\0');
    bool ok = true;
    h.crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
    h.packed = 0;
    for (bool last = false; ok && !last;) {
        DWORD got = 0;
        ok = ReadFile(source, &in[0], kChunk, &got, nullptr) != FALSE;
        last = got == 0;
        h.crc = static_cast<uint32_t>(
            crc32(h.crc, reinterpret_cast<const Bytef*>(in.data()), got));
        if (!deflate) {
            ok = ok && WriteBytes(archive, in.data(), got);
            h.packed += got;
            continue;
        }
        stream.next_in = reinterpret_cast<Bytef*>(&in[0]);
        stream.avail_in = got;
        do {
            stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
            stream.avail_out = kChunk;
            const int result = ::deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
            ok = ok && result != Z_STREAM_ERROR;
            const size_t made = kChunk - stream.avail_out;
            ok = ok && WriteBytes(archive, out.data(), made);
            h.packed += made;
        } while (ok && stream.avail_out == 0);
    }
    if (deflate) deflateEnd(&stream);
    return ok;
}

}  // namespace

bool ZipWriterOpen(ZipWriter& zip, const std::wstring& path, std::string& error) {
    zip.file.reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    zip.offset = 0;
    zip.central.clear();
    zip.count = 0;
    if (!zip.file) error = "cannot write " + WideToUtf8(path);
    return static_cast<bool>(zip.file);
}

bool ZipWriterAddFile(ZipWriter& zip, const std::wstring& sourcePath,
                      const std::string& storedName, std::string& error) {
    error = "cannot read " + WideToUtf8(sourcePath);
    ScopedFile source(CreateFileW(sourcePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    FILETIME written{};
    if (!source || !GetFileSizeEx(source.get(), &size) ||
        !GetFileTime(source.get(), nullptr, nullptr, &written))
        return false;
    EntryHeader h;
    h.size = static_cast<uint64_t>(size.QuadPart);
    FileTimeToDosDateTime(&written, &h.date, &h.time);
    if (h.size >= kZip32Limit || zip.count == 0xFFFF || zip.offset >= kZip32Limit) {
        error = "too large for a ZIP archive without ZIP64: " + storedName;
        return false;
    }
    const std::string placeholder = LocalHeader(h, storedName);
    const uint64_t dataStart = zip.offset + placeholder.size();
    error = "cannot write the archive (at " + storedName + ")";
    if (!WriteBytes(zip.file.get(), placeholder.data(), placeholder.size()) ||
        !CopyEntry(source.get(), zip.file.get(), true, h))
        return false;
    // Deflate that saves under about 2 % is not worth inflating: the bytes go in stored.
    if (h.packed * 50 >= h.size * 49) {
        h.method = kStored;
        if (!Seek(source.get(), 0) || !Seek(zip.file.get(), dataStart) ||
            !CopyEntry(source.get(), zip.file.get(), false, h) ||
            !SetEndOfFile(zip.file.get()))
            return false;
    }
    const std::string header = LocalHeader(h, storedName);
    if (!Seek(zip.file.get(), zip.offset) ||
        !WriteBytes(zip.file.get(), header.data(), header.size()) ||
        !Seek(zip.file.get(), dataStart + h.packed))
        return false;
    std::string& c = zip.central;
    Put32(c, kCentralSignature);
    Put16(c, kVersion20);
    Put16(c, kVersion20);
    Put16(c, kUtf8Names);
    Put16(c, h.method);
    Put16(c, h.time);
    Put16(c, h.date);
    Put32(c, h.crc);
    Put32(c, static_cast<uint32_t>(h.packed));
    Put32(c, static_cast<uint32_t>(h.size));
    Put16(c, static_cast<uint32_t>(storedName.size()));
    for (int i = 0; i < 4; ++i) Put16(c, 0);  // extra, comment, disk, internal attributes
    Put32(c, 0);                              // external attributes
    Put32(c, static_cast<uint32_t>(zip.offset));
    c += storedName;
    zip.offset = dataStart + h.packed;
    zip.count++;
    error.clear();
    return true;
}

bool ZipWriterFinish(ZipWriter& zip, std::string& error) {
    std::string end;
    Put32(end, kEndSignature);
    Put16(end, 0);
    Put16(end, 0);
    Put16(end, zip.count);
    Put16(end, zip.count);
    Put32(end, static_cast<uint32_t>(zip.central.size()));
    Put32(end, static_cast<uint32_t>(zip.offset));
    Put16(end, 0);
    const bool ok = zip.offset + zip.central.size() < kZip32Limit &&
                    WriteBytes(zip.file.get(), zip.central.data(), zip.central.size()) &&
                    WriteBytes(zip.file.get(), end.data(), end.size());
    zip.file.reset();
    if (!ok) error = "cannot write the archive's central directory";
    return ok;
}
