// libFuzzer target for the ZIP reader: open, describe and extract every entry of any input.
// Built natively with AddressSanitizer by tests/fuzz/run; not part of the test suite.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "install/zip_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ZipReader zip;
    if (!ZipReaderInitMem(zip, data, size)) return 0;
    const uint32_t count = ZipReaderGetNumFiles(zip);
    for (uint32_t i = 0; i < count; ++i) {
        ZipEntryStat stat;
        if (!ZipReaderFileStat(zip, i, stat)) continue;
        if (std::strlen(stat.filename) > ZipMaxNameBytes) std::abort();
        uint64_t extracted = 0;
        void* buffer = ZipReaderExtractToHeap(zip, i, &extracted);
        if (!buffer) continue;
        // A buffer handed out must hold exactly the declared size and be readable to its end.
        if (extracted != stat.uncompressedSize) std::abort();
        volatile uint8_t last = extracted ? static_cast<uint8_t*>(buffer)[extracted - 1] : 0;
        (void)last;
        ZipFree(buffer);
    }
    ZipReaderEnd(zip);
    return 0;
}
