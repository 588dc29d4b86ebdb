#pragma once
#include <cstdint>

// Bytes first to last of a file, both included.
struct ByteRange {
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t Length() const { return last - first + 1; }
};
