#pragma once
// hopwell-publish pack: a version's archive and file list from its build folder.
#include <string>
#include <vector>

// Writes folder\VERSION.zip and folder\VERSION.files for buildDir. The archive holds every
// file that is new or whose SHA-256 differs from the newest earlier list in folder (every
// file with full, or without an earlier list); the list names every file of buildDir, each
// with the version whose archive holds its bytes. A file whose '/'-separated path matches one
// of userGlobs ('*' and '?' within one folder, case-insensitive; a glob without '/' matches
// the file name in any folder) is listed as a user file. Refuses, with the reason in error
// and nothing written, a name every launcher refuses, an empty buildDir, or an unreadable
// earlier list. report: one line per file added, changed or removed, then the counts and
// the archive's size.
bool PackRelease(const std::wstring& buildDir, const std::wstring& version,
                 const std::wstring& folder, bool full, const std::vector<std::wstring>& userGlobs,
                 std::vector<std::string>& report, std::string& error);

// Whether the '/'-separated path matches glob as PackRelease matches user files.
bool MatchesUserGlob(const std::wstring& glob, const std::wstring& path);
