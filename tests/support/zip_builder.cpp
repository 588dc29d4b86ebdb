#include "tests/support/zip_builder.h"

#include <zlib.h>

#include <cstring>

void Put16(std::string& out, uint16_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>(value >> 8);
}
void Put32(std::string& out, uint32_t value) {
    Put16(out, static_cast<uint16_t>(value & 0xFFFF));
    Put16(out, static_cast<uint16_t>(value >> 16));
}
void Put64(std::string& out, uint64_t value) {
    Put32(out, static_cast<uint32_t>(value & 0xFFFFFFFF));
    Put32(out, static_cast<uint32_t>(value >> 32));
}
void Patch32(std::string& bytes, size_t at, uint32_t value) {
    std::string field;
    Put32(field, value);
    bytes.replace(at, 4, field);
}

std::string DeflateRaw(const std::string& data) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(out.size() - stream.avail_out);
    deflateEnd(&stream);
    return out;
}

namespace {

uint32_t Crc(const std::string& data) {
    return static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

uint32_t Saturate(uint64_t value, bool zip64) {
    return zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(value);
}

}  // namespace

std::string BuildZip(const std::vector<ZipBuilderEntry>& entries,
                     const ZipBuilderOptions& options) {
    std::string body;  // local headers and data, after the prefix and the gap
    std::string central;
    for (const ZipBuilderEntry& entry : entries) {
        const std::string payload =
            entry.payload ? *entry.payload
                          : (entry.method == 8 ? DeflateRaw(entry.data) : entry.data);
        const uint64_t size = entry.uncompressedSize ? *entry.uncompressedSize : entry.data.size();
        const uint32_t crc = entry.crc ? *entry.crc : Crc(entry.data);
        const uint64_t offset = options.gap + body.size();
        const uint16_t flags = entry.flags | (entry.descriptor ? 0x0008 : 0);
        const uint16_t version = entry.zip64 ? 45 : 20;

        std::string localExtra;
        if (entry.zip64) {
            Put16(localExtra, 0x0001);
            Put16(localExtra, 16);
            Put64(localExtra, entry.descriptor ? 0 : size);
            Put64(localExtra, entry.descriptor ? 0 : payload.size());
        }
        Put32(body, 0x04034b50);
        Put16(body, version);
        Put16(body, flags);
        Put16(body, entry.method);
        Put32(body, 0);  // time and date
        Put32(body, entry.descriptor ? 0 : crc);
        Put32(body, entry.descriptor && !entry.zip64 ? 0 : Saturate(payload.size(), entry.zip64));
        Put32(body, entry.descriptor && !entry.zip64 ? 0 : Saturate(size, entry.zip64));
        Put16(body, static_cast<uint16_t>(entry.name.size()));
        Put16(body, static_cast<uint16_t>(localExtra.size()));
        body += entry.name;
        body += localExtra;
        body += payload;
        if (entry.descriptor) {
            if (entry.descriptorSignature) Put32(body, 0x08074b50);
            Put32(body, crc);
            if (entry.zip64) {
                Put64(body, payload.size());
                Put64(body, size);
            } else {
                Put32(body, static_cast<uint32_t>(payload.size()));
                Put32(body, static_cast<uint32_t>(size));
            }
        }

        std::string centralExtra;
        if (entry.zip64) {
            Put16(centralExtra, 0x0001);
            Put16(centralExtra, 24);
            Put64(centralExtra, size);
            Put64(centralExtra, payload.size());
            Put64(centralExtra, offset);
        }
        Put32(central, 0x02014b50);
        Put16(central, version);  // made by: MS-DOS
        Put16(central, version);
        Put16(central, flags);
        Put16(central, entry.method);
        Put32(central, 0);
        Put32(central, crc);
        Put32(central, Saturate(payload.size(), entry.zip64));
        Put32(central, Saturate(size, entry.zip64));
        Put16(central, static_cast<uint16_t>(entry.name.size()));
        Put16(central, static_cast<uint16_t>(centralExtra.size()));
        Put16(central, 0);  // comment
        Put16(central, 0);  // disk
        Put16(central, 0);  // internal attributes
        Put32(central, 0);  // external attributes
        Put32(central, Saturate(offset, entry.zip64));
        central += entry.name;
        central += centralExtra;
    }

    const uint64_t centralOffset = options.gap + body.size();
    std::string tail;
    if (options.zip64End) {
        const uint64_t recordOffset = centralOffset + central.size();
        Put32(tail, 0x06064b50);
        Put64(tail, 44);
        Put16(tail, 45);
        Put16(tail, 45);
        Put32(tail, 0);
        Put32(tail, 0);
        Put64(tail, entries.size());
        Put64(tail, entries.size());
        Put64(tail, central.size());
        Put64(tail, centralOffset);
        Put32(tail, 0x07064b50);
        Put32(tail, 0);
        Put64(tail, recordOffset);
        Put32(tail, 1);
    }
    Put32(tail, 0x06054b50);
    Put16(tail, 0);
    Put16(tail, 0);
    Put16(tail, options.zip64End ? 0xFFFF : static_cast<uint16_t>(entries.size()));
    Put16(tail, options.zip64End ? 0xFFFF : static_cast<uint16_t>(entries.size()));
    Put32(tail, options.zip64End ? 0xFFFFFFFF : static_cast<uint32_t>(central.size()));
    Put32(tail, Saturate(centralOffset, options.zip64End));
    Put16(tail, static_cast<uint16_t>(options.comment.size()));
    tail += options.comment;
    return options.prefix + body + central + tail;
}
