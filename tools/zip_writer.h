#pragma once
// Writes a ZIP archive that every launcher reads: UTF-8 names, each file stored or deflated
// with zlib. No ZIP64: files and the archive stay below 4 GiB, at most 65535 entries.
#include <cstdint>
#include <string>
#include <vector>

#include "base/scoped_handle.h"

struct ZipWriter {
    ScopedFile file;
    uint64_t offset = 0;
    std::string central;  // the central directory's records so far
    uint32_t count = 0;
};

// Creates (or truncates) the archive at path.
bool ZipWriterOpen(ZipWriter& zip, const std::wstring& path, std::string& error);

// Adds the file at sourcePath under storedName ('/'-separated UTF-8): deflated, unless that
// saves less than about 2 % of its size, then stored.
bool ZipWriterAddFile(ZipWriter& zip, const std::wstring& sourcePath,
                      const std::string& storedName, std::string& error);

// Writes the central directory and closes the archive.
bool ZipWriterFinish(ZipWriter& zip, std::string& error);
