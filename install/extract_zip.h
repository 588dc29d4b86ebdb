#pragma once
#include <cstdint>
#include <string>

// Unpacks the archive over AppDirectory(), writing every line it has to say with
// AppendLogLine. True when every entry was written or skipped because its target is in use.
// refused, when given, is set when the archive holds a name that would not stay a file below
// AppDirectory(): nothing was written, and no other unpacker may be given the archive.
bool ExtractZip(const std::wstring& archivePath, bool* refused = nullptr);

// Writes one file entry's bytes to target as ExtractZip does: a new file where it stands, an
// existing one replaced whole. index decides whether a target in use is named in the log.
// False ends the walk; the reason has been logged.
bool WriteEntryFile(int index, const std::wstring& target, const void* data, uint64_t size);
