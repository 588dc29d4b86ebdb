#pragma once
#include <functional>
#include <string>

// Asks the Windows shell ("Shell.Application", late-bound) to copy the archive's items into
// destination. CopyHere returns at once and copies on a shell thread, so filesDone, which waits
// for the copied files, runs while the shell's objects still stand. True when the copy request
// reported success and filesDone returned true. Logs nothing.
bool ShellExtractZip(const std::wstring& archivePath, const std::wstring& destination,
                     const std::function<bool()>& filesDone);
