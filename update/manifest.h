#pragma once
#include <cstdint>
#include <map>
#include <string>

// The parsed version.json: the newest installable version and the archive URL of each version.
struct UpdateManifest {
    std::wstring latest_version;
    // Ordered by code units, so "1.10.0" precedes "1.9.0"; callers sort by CompareVersions.
    std::map<std::wstring, std::wstring> download_urls;
};

// The bytes between the two quotes that follow the first colon after "name" (quoted), or
// empty. Not a JSON parser: nothing is unescaped and nothing between the tokens is checked.
std::string FindQuotedValue(const std::string& body, const std::string& name);

// False (and manifest untouched) when no non-empty latest_version is found, or when a
// download_urls key could name a file outside the application directory or a device (see
// manifest.cpp); true otherwise, whatever else happened to download_urls.
bool ParseManifest(const std::string& body, UpdateManifest& manifest);

// A signed manifest's "sha256" member: version key to the hex SHA-256 of its archive. Read
// like download_urls; launchers without a key never look at it.
using ArchiveDigests = std::map<std::wstring, std::wstring>;
ArchiveDigests ParseArchiveDigests(const std::string& body);

// A signed manifest's "size" member: version key to the length of its archive in bytes, a
// plain decimal number ("size": {"1.2.0": 1048576}). Versions whose entry is not such a number
// are left out; launchers without a key never look at it.
using ArchiveSizes = std::map<std::wstring, int64_t>;
ArchiveSizes ParseArchiveSizes(const std::string& body);

// The "files" member: version key to the hex SHA-256 of its file list (VERSION.files), read
// like download_urls. Versions without an entry have no list.
using ListDigests = std::map<std::wstring, std::wstring>;
ListDigests ParseListDigests(const std::string& body);

// Where a version's file list is served: its archive's URL with the last ".zip" (any case)
// replaced by ".files".
std::wstring FileListUrl(const std::wstring& archiveUrl);
