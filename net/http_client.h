#pragma once
#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>

// GET url into body. True when a response arrived (whatever its status): body then holds every
// byte read, also when reading stopped early. False when no response could be obtained; body
// is left as it was.
bool HttpGetToMemory(const std::wstring& url, std::string& body);

// HEAD url: Content-Length (0 when absent) and whether Accept-Ranges mentions "bytes".
// Both are reset on entry. True when a response arrived, whatever it contained.
bool HttpProbe(const std::wstring& url, uint64_t& length, bool& acceptsRanges);
