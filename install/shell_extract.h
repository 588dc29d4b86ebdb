#pragma once
#include <string>

// Asks the Windows shell ("Shell.Application", late-bound) to copy the archive's items into
// destination. True when the copy request reported success. Logs nothing.
bool ShellExtractZip(const std::wstring& archivePath, const std::wstring& destination);
