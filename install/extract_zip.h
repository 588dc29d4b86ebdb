#pragma once
#include <map>
#include <set>
#include <string>
#include <vector>

// Why ExtractZip failed, which decides what may be tried next.
enum class UnpackFailure {
    Other,    // a refused or unreadable name, a file that cannot be written or is in use...
    Inflate,  // every name was read and checked, then an entry could not be inflated
    Space,    // the volume lacks room for the entries: nothing was written or said
    Tampered, // an entry's bytes differ from the digest given for them
};

// What a commit does besides putting the archive's files in place.
struct UnpackOptions {
    // Files the version drops (relative, checked): removed within the same commit.
    std::vector<std::wstring> removals;
    // When set, the version's file list, put in place as version.files within the commit.
    const std::string* keptList = nullptr;
    // When set, only the entries of these upper-cased names are unpacked (a repair).
    const std::set<std::wstring>* only = nullptr;
    // When set, the entries of these upper-cased names are left out (user files in place).
    const std::set<std::wstring>* skip = nullptr;
    // When set, the SHA-256 (lower-case hex) of every file unpacked, by upper-cased name: an
    // entry without one, or of other bytes, or that cannot be inflated, fails the unpack as
    // Tampered.
    const std::map<std::wstring, std::string>* digests = nullptr;
};

// The launcher's own copy of the installed version's file list, and its temporary.
std::wstring KeptListName();
std::wstring KeptListTemporaryName();

// Unpacks the archive over AppDirectory() as one whole (install/commit.h), writing every line
// it has to say with AppendLogLine. On true the files are in place and the journal, naming
// version, waits for CompleteCommit once the version is recorded; on false every target is as
// it was, and failure says why.
bool ExtractZip(const std::wstring& archivePath, const std::wstring& version = std::wstring(),
                UnpackFailure* failure = nullptr, const UnpackOptions& options = UnpackOptions());

// For an archive our reader failed to inflate: the shell unpacks it into ShellStagingFolder(),
// whose files are then checked and committed as ExtractZip's are. Logs only a file in use.
bool ShellExtractAndCommit(const std::wstring& archivePath, const std::wstring& version,
                           const UnpackOptions& options = UnpackOptions());
