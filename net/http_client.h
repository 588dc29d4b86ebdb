#pragma once
#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>

// Every request fails when it delivers fewer than kLowSpeedBytes in a window of this many
// milliseconds, or nothing at all for as long (so a stalled server is given up within twice
// the window). WinHTTP's own time-outs are per read: a server that trickles a byte now and then
// would hold a request for ever. Tests pass shorter windows.
constexpr DWORD kLowSpeedWindowMs = 30000;
constexpr uint64_t kLowSpeedBytes = 1024;

// No manifest comes near this; a longer body is refused rather than grown until memory ends.
constexpr size_t kMaxManifestBytes = 16u << 20;

// GET url into body. True when a response arrived (whatever its status): body then holds every
// byte read, also when the connection dropped early. False when no response could be
// obtained, or the body was too slow or longer than kMaxManifestBytes; body is left as it was.
bool HttpGetToMemory(const std::wstring& url, std::string& body,
                     DWORD lowSpeedWindowMs = kLowSpeedWindowMs);

// HEAD url: Content-Length (0 when absent) and whether Accept-Ranges mentions "bytes".
// Both are reset on entry. True when a response arrived, whatever it contained.
bool HttpProbe(const std::wstring& url, uint64_t& length, bool& acceptsRanges);
