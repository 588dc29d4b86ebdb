#pragma once
#include <string>

// Unpacks the archive over AppDirectory(), writing every line it has to say with
// AppendLogLine. True when every entry was written or skipped because its target is in use.
bool ExtractZip(const std::wstring& archivePath);
