#pragma once
#include <string>

// Why ExtractZip failed, which decides what may be tried next.
enum class UnpackFailure {
    Other,    // a refused or unreadable name, a file that cannot be written or is in use...
    Inflate,  // every name was read and checked, then an entry could not be inflated
    Space,    // the volume lacks room for the entries: nothing was written or said
};

// Unpacks the archive over AppDirectory() as one whole (install/commit.h), writing every line
// it has to say with AppendLogLine. On true the files are in place and the journal, naming
// version, waits for CompleteCommit once the version is recorded; on false every target is as
// it was, and failure says why.
bool ExtractZip(const std::wstring& archivePath, const std::wstring& version = std::wstring(),
                UnpackFailure* failure = nullptr);

// For an archive our reader failed to inflate: the shell unpacks it into ShellStagingFolder(),
// whose files are then checked and committed as ExtractZip's are. Logs only a file in use.
bool ShellExtractAndCommit(const std::wstring& archivePath, const std::wstring& version);
