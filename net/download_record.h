#pragma once
// The record that an unfinished download leaves beside its parts, so that a later start goes
// on from them. UTF-8 text, one field a line:
//   hopwell-download 1
//   URL
//   LENGTH                  decimal, of the whole file
//   VALIDATOR               the strong ETag or the Last-Modified the parts came with
//   COUNT BYTES0 BYTES1...  decimal: how many parts, and how many bytes each holds
// A download from several sources (header "hopwell-download 2") names the first one above and
// each other one after the counts, as its URL and its validator on a line each: the parts may
// hold bytes of any of them.
#include <cstdint>
#include <string>
#include <vector>

struct RecordedSource {
    std::wstring url;
    std::wstring validator;
};

struct DownloadRecord {
    std::wstring url;
    uint64_t length = 0;
    std::wstring validator;
    std::vector<uint64_t> partBytes;
};

// False when the file is missing or is not a whole record. others, when given, receives the
// other sources (none for a record of one).
bool ReadDownloadRecord(const std::wstring& path, DownloadRecord& record,
                        std::vector<RecordedSource>* others = nullptr);
// Replaces the file whole (written beside it, then moved over it), so a process that ends
// meanwhile leaves the old record or the new one.
bool WriteDownloadRecord(const std::wstring& path, const DownloadRecord& record,
                         const std::vector<RecordedSource>& others = {});
