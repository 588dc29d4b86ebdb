#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "net/http_client.h"
#include "net/progress.h"

// Downloads url to destination: four parallel byte ranges into part files (destination +
// ".part0".."part3") when the server accepts ranges and the file is at least 2 MiB, otherwise
// one stream. True when the destination holds the whole file. Progress is reported on the
// calling thread only. With digest, the SHA-256 of the destination's bytes is computed while
// they arrive and stored there; failing to compute it fails the download.
// Every request gives up at the lowest speed of lowSpeedWindowMs (see HttpGetToMemory).
bool DownloadFile(const std::wstring& url, const std::wstring& destination,
                  ProgressCallback progress, DWORD lowSpeedWindowMs = kLowSpeedWindowMs,
                  std::string* digest = nullptr);

// One byte range of a segmented download, owned by its worker thread.
struct SegmentTask {
    uint64_t firstByte;
    uint64_t lastByte;  // inclusive
    std::wstring partPath;
    const std::wstring& url;
    std::atomic<uint64_t>& bytesWritten;
    DWORD lowSpeedWindowMs;
};

// Worker: fetches the task's range into its part file, adding to the shared counter per chunk.
// Anything but a 206 answer for exactly the task's range leaves no part file.
void DownloadSegment(SegmentTask task);

// Starts one segment worker running work. Like std::thread, it throws std::system_error when
// the thread cannot be started (or std::bad_alloc); DownloadFile then joins the workers already
// running and fails.
// Tests replace it to make a start fail.
extern std::thread (*StartSegmentThread)(std::function<void()> work);

// One GET of the whole body into destination, reporting after every chunk written; digest as
// for DownloadFile.
bool DownloadSingleStream(const std::wstring& url, const std::wstring& destination,
                          ProgressCallback progress,
                          DWORD lowSpeedWindowMs = kLowSpeedWindowMs,
                          std::string* digest = nullptr);
