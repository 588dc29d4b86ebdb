#pragma once
#include <windows.h>

#include <cstdint>

// How the download engine retries what a real network breaks: a request that got no answer, an
// answer of 408, 429 or 5xx, or a body that ended early. Tests shorten the waits.
struct RetryPolicy {
    // Tries per byte range or stream that moved less than freeTryBytes; the last failure of
    // these fails it.
    int triesPerRange = 5;
    uint64_t freeTryBytes = 1048576;
    // The manifest, its signature and the probe: the first try and three more.
    int requestTries = 4;
    // Before a counted retry: firstWaitMs, doubled per failure in a row up to maxWaitMs. A try
    // that moved freeTryBytes is retried at once: the link works, it only dropped.
    DWORD firstWaitMs = 1000;
    DWORD maxWaitMs = 8000;
    // A server's Retry-After replaces the wait, up to this.
    DWORD maxRetryAfterMs = 30000;
};

// 408, 429 and 5xx: the same request may succeed later.
inline bool IsRetryableStatus(DWORD status) {
    return status == 408 || status == 429 || (status >= 500 && status <= 599);
}

// The wait before the next try after `failures` (1 or more) counted failures; retryAfterMs is
// what the last answer asked for, 0 when nothing.
inline DWORD RetryWaitMs(const RetryPolicy& policy, int failures, DWORD retryAfterMs) {
    if (retryAfterMs > 0) return retryAfterMs < policy.maxRetryAfterMs ? retryAfterMs
                                                                       : policy.maxRetryAfterMs;
    uint64_t wait = policy.firstWaitMs;
    for (int i = 1; i < failures && wait < policy.maxWaitMs; ++i) wait *= 2;
    return static_cast<DWORD>(wait < policy.maxWaitMs ? wait : policy.maxWaitMs);
}
