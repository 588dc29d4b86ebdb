#pragma once
#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>

#include "net/retry.h"

// Every request fails when it delivers fewer than kLowSpeedBytes in a window of this many
// milliseconds, or nothing at all for as long (so a stalled server is given up within twice
// the window). WinHTTP's own time-outs are per read: a server that trickles a byte now and then
// would hold a request for ever. Tests pass shorter windows.
constexpr DWORD kLowSpeedWindowMs = 30000;
constexpr uint64_t kLowSpeedBytes = 1024;

// No manifest comes near this; a longer body is refused rather than grown until memory ends.
constexpr size_t kMaxManifestBytes = 16u << 20;

// GET url into body, retried as RetryPolicy says. True when a 2xx answer arrived whole (as
// long as its Content-Length, where nothing decoded it): body then holds it. False otherwise,
// also for an error page or a body too slow or longer than kMaxManifestBytes; body is then left
// as it was.
bool HttpGetToMemory(const std::wstring& url, std::string& body,
                     DWORD lowSpeedWindowMs = kLowSpeedWindowMs,
                     const RetryPolicy& policy = RetryPolicy());

// What a HEAD request tells about a file.
struct HttpResource {
    uint64_t length = 0;  // Content-Length, 0 when absent
    bool acceptsRanges = false;  // Accept-Ranges mentions "bytes"
    // What tells this version of the file from another: its ETag unless weak, else its
    // Last-Modified; empty when there is neither.
    std::wstring validator;
    DWORD status = 0;  // of the answer
};

// HEAD url, retried as RetryPolicy says; resource is reset on entry. True when an answer that
// is not worth retrying arrived, whatever it contained.
bool HttpProbe(const std::wstring& url, HttpResource& resource,
               const RetryPolicy& policy = RetryPolicy());
