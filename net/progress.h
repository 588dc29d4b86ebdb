#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

// Bytes done and bytes total (0 when unknown) of the current download. May be empty.
// Called only on the thread that called the download.
using ProgressCallback = std::function<void(uint64_t done, uint64_t total)>;

// The callback the installation builds for each step. It refers to the step's values, which
// live on the updater thread for the whole download; only lastReportTick is changed.
// Throttled to one report per 200 ms (a report with done == total always passes); each report
// posts WM_APP_PROGRESS (overall percent) and then WM_APP_STATUS (sizes, percent, speed).
struct ProgressReporter {
    uint64_t& lastReportTick;
    const uint64_t& stepNumber;
    const uint64_t& stepCount;
    const HWND& window;
    const uint64_t& startTick;
    const std::wstring& version;

    void operator()(uint64_t done, uint64_t total) const;
    // The same, at a given tick; operator() passes GetTickCount64().
    void ReportAt(uint64_t done, uint64_t total, uint64_t now) const;
};

// "1023 B", "1.00 KB", "12.50 MB", "1.00 GB" (1024-based, "%.2f").
std::wstring FormatByteSize(uint64_t bytes);
