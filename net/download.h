#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/http_client.h"
#include "net/http_request.h"
#include "net/progress.h"
#include "net/retry.h"

// How one download is made, besides where from and where to.
struct DownloadOptions {
    // Every request gives up at the lowest speed of this window (see HttpGetToMemory).
    DWORD lowSpeedWindowMs = kLowSpeedWindowMs;
    // When given, the SHA-256 of the destination's bytes, all of them, also those kept from an
    // earlier start; failing to compute it fails the download.
    std::string* digest = nullptr;
    // The length a signed manifest promises, or -1: a probe or a body of another length fails
    // the download before anything past it is written.
    int64_t expectedSize = -1;
    // When given, set when the disk has no room for the file, or a body of no length came
    // within kept-free space of filling it; the download then fails.
    bool* lackedSpace = nullptr;
    // Called on the calling thread when a wait before a retry begins. May be empty.
    std::function<void()> retrying;
    RetryPolicy retry;
};

// Downloads url to destination: four parallel byte ranges into part files (destination +
// ".part0".."part3") when the server accepts ranges and the file is at least 2 MiB, otherwise
// one stream (into destination + ".part"). Nothing is fetched when the disk lacks room for it. Each range or stream is retried from the byte it reached (RetryPolicy). True
// when the destination holds the whole file. Progress is reported on the calling thread only.
//
// A download that fails, or whose process ends, leaves its parts and, when the file has a
// validator, a record of them (DownloadRecordPath); the next call for the same destination,
// URL, length and validator goes on from there, asking with If-Range. Anything else discards
// them. Both are deleted once the file is whole.
bool DownloadFile(const std::wstring& url, const std::wstring& destination,
                  ProgressCallback progress, const DownloadOptions& options = DownloadOptions());

// The record beside destination's parts.
std::wstring DownloadRecordPath(const std::wstring& destination);
// Deletes what an unfinished download of destination left: its parts and its record.
void DiscardPartialDownload(const std::wstring& destination);

// The part lengths of an earlier start that its record vouches for: the record names this URL,
// length and validator, and this many parts. Empty otherwise.
std::vector<uint64_t> RecordedParts(const std::wstring& destination, const std::wstring& url,
                                    const HttpResource& resource, size_t count);

// How a byte range or a stream ended.
enum class TransferEnd { Whole, Failed, Changed };

// One byte range of a segmented download, owned by its worker thread.
struct SegmentTask {
    uint64_t firstByte;  // the first byte not yet in the part
    uint64_t lastByte;   // inclusive
    uint64_t length;     // of the whole file: every Content-Range must name it
    HANDLE part;         // written from its current position, by this worker alone
    const std::wstring& url;
    const std::wstring& validator;  // sent as If-Range; empty: nothing sent
    const HttpProxy& proxy;
    std::atomic<uint64_t>& bytesWritten;  // shared by all segments
    std::atomic<uint64_t>& partBytes;     // this part's length
    DWORD lowSpeedWindowMs;
};

// What the workers of one download share with its driver.
struct SegmentSignals {
    HANDLE stop;  // manual-reset event, set when the download has failed: waits end at once
    std::atomic<bool>& stopped;  // set with it, for a look per chunk that costs no system call
    std::atomic<int>& waiting;      // how many workers wait to retry now
    std::atomic<int>& waitsBegun;   // raised as each wait begins
};

// Worker: fetches the rest of the task's range into its part, retried as policy says.
// Changed: the server now has another file (If-Range answered 200, or another length).
TransferEnd DownloadSegment(const SegmentTask& task, const RetryPolicy& policy,
                            const SegmentSignals& signals);

// Starts one segment worker running work. Like std::thread, it throws std::system_error when
// the thread cannot be started (or std::bad_alloc); DownloadFile then joins the workers already
// running and fails.
// Tests replace it to make a start fail.
extern std::thread (*StartSegmentThread)(std::function<void()> work);

// The bytes free to this user on the volume that holds path's folder; false when unknown, and
// nothing is then refused for want of space. Tests replace it.
extern bool (*FreeSpaceAt)(const std::wstring& path, uint64_t& available);

// Renames an open file (opened with DELETE access), replacing what has that name.
bool RenameOpenFile(HANDLE file, const std::wstring& to);

// One stream of the whole file into destination + ".part", renamed to destination once whole
// (its record, as RecordedParts reads it, holds one part), reporting after every chunk written; options
// as for DownloadFile. With resource (the probe's answer) and ranges offered, a retry, or a
// later call, goes on from the bytes already in destination as the record says. proxy: as
// OpenHttpRequest takes it.
bool DownloadSingleStream(const std::wstring& url, const std::wstring& destination,
                          ProgressCallback progress,
                          const DownloadOptions& options = DownloadOptions(),
                          const HttpResource* resource = nullptr,
                          const HttpProxy* proxy = nullptr);
