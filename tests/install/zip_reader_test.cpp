#include "install/zip_reader.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/support/zip_builder.h"

namespace {

// Entry index's content, or nothing when the reader refuses it.
std::optional<std::string> Extract(const ZipReader& zip, uint32_t index) {
    uint64_t size = 0;
    void* buffer = ZipReaderExtractToHeap(zip, index, &size);
    if (!buffer) return std::nullopt;
    std::string data(static_cast<const char*>(buffer), static_cast<size_t>(size));
    ZipFree(buffer);
    return data;
}

std::optional<std::string> ExtractOnly(const std::string& archive, uint32_t index = 0) {
    ZipReader zip;
    if (!ZipReaderInitMem(zip, archive.data(), archive.size())) return std::nullopt;
    std::optional<std::string> data = Extract(zip, index);
    ZipReaderEnd(zip);
    return data;
}

// Opens the bytes and reads every entry: what the reader does with hostile input.
void ReadEverything(const std::string& bytes) {
    ZipReader zip;
    if (!ZipReaderInitMem(zip, bytes.data(), bytes.size())) return;
    for (uint32_t i = 0; i < ZipReaderGetNumFiles(zip); ++i) {
        ZipEntryStat stat;
        if (ZipReaderFileStat(zip, i, stat)) Extract(zip, i);
    }
    ZipReaderEnd(zip);
}

const std::string Text = "Một dòng chữ, lặp lại. " + std::string(3000, 'x') + "end\n";

}  // namespace

TEST(ZipReader, ReadsHandWrittenForms) {
    struct Form {
        const char* what;
        ZipBuilderEntry entry;
        ZipBuilderOptions options;
    };
    ZipBuilderEntry deflated{"d.txt", Text};
    ZipBuilderEntry stored{"s.txt", Text, 0};
    ZipBuilderEntry withSignature = deflated;
    withSignature.descriptor = true;
    ZipBuilderEntry withoutSignature = withSignature;
    withoutSignature.descriptorSignature = false;
    ZipBuilderEntry zip64 = deflated;
    zip64.zip64 = true;
    ZipBuilderEntry zip64Descriptor = zip64;
    zip64Descriptor.descriptor = true;
    // The end record of an empty archive, inside the comment of a real one.
    const std::string fakeEnd = BuildZip({});
    const Form forms[] = {
        {"deflated", deflated, {}},
        {"stored", stored, {}},
        {"empty deflated", {"e", ""}, {}},
        {"empty stored", {"e", "", 0}, {}},
        {"descriptor with signature", withSignature, {}},
        {"descriptor without signature", withoutSignature, {}},
        {"zip64 extra fields", zip64, {}},
        {"zip64 extra and descriptor", zip64Descriptor, {}},
        {"zip64 end records", deflated, {"", "", true}},
        {"stub in front", deflated, {std::string(777, 'M'), ""}},
        {"stub and zip64 end records", zip64, {std::string(300, 'M'), "", true}},
        {"comment", deflated, {"", "Bản cập nhật"}},
        {"comment holding an end signature", deflated, {"", "x" + fakeEnd + "y"}},
    };
    for (const Form& form : forms) {
        SCOPED_TRACE(form.what);
        const std::string archive = BuildZip({{"first", "1"}, form.entry}, form.options);
        ZipReader zip;
        ASSERT_TRUE(ZipReaderInitMem(zip, archive.data(), archive.size()));
        ASSERT_EQ(ZipReaderGetNumFiles(zip), 2u);
        ZipEntryStat stat;
        ASSERT_TRUE(ZipReaderFileStat(zip, 1, stat));
        EXPECT_EQ(std::string(stat.filename), form.entry.name);
        EXPECT_EQ(stat.uncompressedSize, form.entry.data.size());
        EXPECT_EQ(Extract(zip, 0), std::optional<std::string>("1"));
        EXPECT_EQ(Extract(zip, 1), form.entry.data);
        ZipReaderEnd(zip);
    }
    // Bytes after the end record's comment (appended by some download tools) are tolerated.
    EXPECT_EQ(ExtractOnly(BuildZip({deflated}) + "trailing junk"), Text);
}

TEST(ZipReader, DescribesEntries) {
    ZipBuilderEntry encrypted{"secret", "x", 0, 0x0001};
    ZipBuilderEntry bzip2{"b", "x", 12};
    const std::string longName = std::string(300, 'a') + "/" + std::string(299, 'b');
    const std::string archive =
        BuildZip({{"dir/", "", 0}, encrypted, bzip2, {longName, "long"}, {"", "nameless"}});
    ZipReader zip;
    ASSERT_TRUE(ZipReaderInitMem(zip, archive.data(), archive.size()));
    ASSERT_EQ(ZipReaderGetNumFiles(zip), 5u);
    ZipEntryStat stat;
    ASSERT_TRUE(ZipReaderFileStat(zip, 0, stat));
    EXPECT_TRUE(stat.isDirectory);
    ASSERT_TRUE(ZipReaderFileStat(zip, 1, stat));
    EXPECT_TRUE(stat.isEncrypted);
    EXPECT_FALSE(stat.isSupported);
    EXPECT_FALSE(Extract(zip, 1));
    ASSERT_TRUE(ZipReaderFileStat(zip, 2, stat));
    EXPECT_EQ(stat.method, 12);
    EXPECT_FALSE(stat.isSupported);
    EXPECT_FALSE(Extract(zip, 2));
    // A name longer than 511 bytes is cut to 511.
    ASSERT_TRUE(ZipReaderFileStat(zip, 3, stat));
    EXPECT_EQ(std::string(stat.filename), longName.substr(0, ZipMaxNameBytes));
    EXPECT_EQ(Extract(zip, 3), std::optional<std::string>("long"));
    ASSERT_TRUE(ZipReaderFileStat(zip, 4, stat));
    EXPECT_EQ(std::string(stat.filename), "");
    EXPECT_FALSE(ZipReaderFileStat(zip, 5, stat));
    EXPECT_FALSE(Extract(zip, 5));
    ZipReaderEnd(zip);
}

TEST(ZipReader, RefusesWhatIsNotAnArchive) {
    ZipReader zip;
    EXPECT_FALSE(ZipReaderInitMem(zip, nullptr, 0));
    const std::string text = "This is not a ZIP archive, just text.\n";
    EXPECT_FALSE(ZipReaderInitMem(zip, text.data(), text.size()));
    // The empty archive is an archive: 22 bytes, no entries.
    const std::string empty = BuildZip({});
    ASSERT_EQ(empty.size(), 22u);
    ASSERT_TRUE(ZipReaderInitMem(zip, empty.data(), empty.size()));
    EXPECT_EQ(ZipReaderGetNumFiles(zip), 0u);
    ZipReaderEnd(zip);

    // Every truncation loses the end record or the directory it points to.
    const std::string archive = BuildZip({{"a", Text}, {"b", "bb"}}, {"", "note"});
    for (size_t length = 0; length < archive.size(); ++length) {
        const std::string cut = archive.substr(0, length);
        EXPECT_FALSE(ZipReaderInitMem(zip, cut.data(), cut.size())) << length;
    }
}

TEST(ZipReader, RefusesBrokenDirectories) {
    const std::string archive = BuildZip({{"a", Text}, {"b", "bb"}});
    const size_t end = archive.size() - 22;
    auto opens = [](const std::string& bytes) {
        ZipReader zip;
        const bool opened = ZipReaderInitMem(zip, bytes.data(), bytes.size());
        ZipReaderEnd(zip);
        return opened;
    };
    ASSERT_TRUE(opens(archive));

    std::string bytes = archive;
    bytes[end + 10] = 3;  // three entries claimed, two present
    bytes[end + 8] = 3;
    EXPECT_FALSE(opens(bytes));
    bytes = archive;
    bytes[end + 10] = 1;  // one claimed, two present: a wrapped count loses entries
    bytes[end + 8] = 1;
    EXPECT_FALSE(opens(bytes));
    bytes = archive;
    bytes[end + 4] = 1;  // a disk of a spanned set
    EXPECT_FALSE(opens(bytes));
    bytes = archive;
    Patch32(bytes, end + 12, 0x7FFFFFF0);  // directory larger than the archive
    EXPECT_FALSE(opens(bytes));
    bytes = archive;
    Patch32(bytes, end + 16, 0xFFFFFF00);  // directory offset out of range
    EXPECT_FALSE(opens(bytes));
    bytes = archive;
    bytes[archive.rfind(std::string("PK\x01\x02", 4)) + 30] = '\x7f';  // extra runs past the end
    EXPECT_FALSE(opens(bytes));
}

TEST(ZipReader, RefusesBrokenEntries) {
    auto broken = [](ZipBuilderEntry entry) { return ExtractOnly(BuildZip({entry})); };
    ZipBuilderEntry entry{"a.txt", Text};
    EXPECT_TRUE(broken(entry));

    ZipBuilderEntry lie = entry;
    lie.crc = 0x12345678;
    EXPECT_FALSE(broken(lie)) << "wrong CRC";
    lie = entry;
    lie.payload = std::string("\xff\xfe\xfd\xfc garbage", 13);
    EXPECT_FALSE(broken(lie)) << "damaged stream";
    lie = entry;
    lie.payload = DeflateRaw(Text).substr(0, 40);
    EXPECT_FALSE(broken(lie)) << "truncated stream";
    lie = entry;
    lie.uncompressedSize = Text.size() - 1;
    EXPECT_FALSE(broken(lie)) << "inflates past its declared size";
    lie = entry;
    lie.uncompressedSize = Text.size() + 1;
    EXPECT_FALSE(broken(lie)) << "ends before its declared size";
    lie = entry;
    lie.payload = DeflateRaw("");
    lie.uncompressedSize = 64ull << 30;
    EXPECT_FALSE(broken(lie)) << "claims more than deflate can produce";
    lie = ZipBuilderEntry{"s", Text, 0};
    lie.uncompressedSize = Text.size() + 5;
    EXPECT_FALSE(broken(lie)) << "stored with two sizes";

    // Saturated sizes without their ZIP64 extra field: the record cannot be read.
    std::string bytes = BuildZip({entry});
    const size_t record = bytes.rfind(std::string("PK\x01\x02", 4));
    Patch32(bytes, record + 24, 0xFFFFFFFF);
    ZipReader zip;
    ASSERT_TRUE(ZipReaderInitMem(zip, bytes.data(), bytes.size()));
    ZipEntryStat stat;
    EXPECT_FALSE(ZipReaderFileStat(zip, 0, stat));
    EXPECT_FALSE(Extract(zip, 0));
    ZipReaderEnd(zip);

    // Local header offset outside the archive, or pointing at something else.
    bytes = BuildZip({{"x", "1"}, entry});
    const size_t second = bytes.rfind(std::string("PK\x01\x02", 4));
    std::string moved = bytes;
    Patch32(moved, second + 42, 0x7FFFFFFF);
    EXPECT_FALSE(ExtractOnly(moved, 1));
    moved = bytes;
    Patch32(moved, second + 42, 1);
    EXPECT_FALSE(ExtractOnly(moved, 1));
    EXPECT_EQ(ExtractOnly(moved, 0), std::optional<std::string>("1"));
}

TEST(ZipReader, SurvivesCorruptionAnywhere) {
    // Each byte of a small archive set to values that matter to a parser: no crash, and any
    // entry that still extracts has passed its CRC check.
    ZipBuilderEntry descriptor{"d/e.txt", Text};
    descriptor.descriptor = true;
    ZipBuilderEntry zip64{"z", "zip64 entry"};
    zip64.zip64 = true;
    const std::string archive =
        BuildZip({{"a/", "", 0}, descriptor, zip64, {"s", "stored", 0}}, {"", "c", true});
    for (size_t at = 0; at < archive.size(); ++at) {
        for (unsigned char value : {0x00, 0x01, 0x7f, 0x80, 0xff}) {
            std::string bytes = archive;
            bytes[at] = static_cast<char>(value);
            ReadEverything(bytes);
        }
    }
}
