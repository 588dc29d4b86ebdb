#pragma once
#include <string>

// True when name (an archive entry's name, '\'-separated) stays a file or folder below the
// folder it is unpacked into: relative, no drive, stream or device, never stepping up.
// The launcher and the publishing tool both refuse an archive holding any other name.
bool IsSafeEntryName(const std::wstring& name);

// A stored (UTF-8, '/'-separated) entry name as the Windows relative path it is unpacked to.
std::wstring WideEntryName(const char* stored);

// The same check, with why a name is refused in reason (English, for the publishing tool).
bool IsSafeEntryName(const std::wstring& name, const char*& reason);
