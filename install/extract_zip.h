#pragma once
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "install/shell_extract.h"

// Why ExtractZip failed, which decides what may be tried next.
enum class UnpackFailure {
    Other,    // a refused or unreadable name, a file that cannot be written or is in use...
    Method,   // every name was read and checked, then an entry's compression method was one our
              // reader lacks (never a damaged entry, a size or CRC fault, or memory running out)
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

// Unpacks the archive over AppDirectory() as one whole (install/commit.h), writing every line
// it has to say with AppendLogLine. On true the files are in place and the journal, naming
// version, waits for CompleteCommit once the version is recorded; on false every target is as
// it was, and failure says why.
bool ExtractZip(const std::wstring& archivePath, const std::wstring& version = std::wstring(),
                UnpackFailure* failure = nullptr, const UnpackOptions& options = UnpackOptions());

// The copy into the staging folder (ShellExtractZip); filesDone waits for the copied files.
using ShellCopy = std::function<bool(const std::wstring& archivePath,
                                     const std::wstring& destination,
                                     const std::function<bool()>& filesDone)>;

// How long the shell's copy may go without a byte more arriving before it counts as failed.
constexpr unsigned long kShellStallMs = 30000;

// For an archive with an entry of a method our reader lacks: the shell unpacks it into
// ShellStagingFolder(). Once every file our reader lists is there with its listed size and no
// other handle on it, exactly those files are committed as ExtractZip's are; a copy that stalls
// first fails, and nothing is changed. Logs only a file in use.
bool ShellExtractAndCommit(const std::wstring& archivePath, const std::wstring& version,
                           const UnpackOptions& options = UnpackOptions(),
                           const ShellCopy& copy = ShellExtractZip,
                           unsigned long stallMs = kShellStallMs);
