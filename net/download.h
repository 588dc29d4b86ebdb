#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/byte_range.h"
#include "net/download_sources.h"
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
    // The same file at other URLs, tried after the URL given (see DownloadFile).
    std::vector<std::wstring> mirrors;
};

// Downloads url to destination: four parallel byte ranges into part files (destination +
// ".part0".."part3") when the server accepts ranges and the file is at least 2 MiB, otherwise
// one stream (into destination + ".part"). Nothing is fetched when the disk lacks room for it. Each range or stream is retried from the byte it reached (RetryPolicy). True
// when the destination holds the whole file. Progress is reported on the calling thread only.
//
// With options.mirrors, url and the mirrors are sources of the same file (ProbeSources,
// DropOtherLengths): the ranges are spread over those that offer them, url first, and a range
// whose source fails goes on from another; without ranges, one stream is tried from each source
// in order (those that answered the probe first) until one succeeds.
//
// A download that fails, or whose process ends, leaves its parts and, when the file has a
// validator, a record of them (DownloadRecordPath); the next call for the same destination,
// URL, length and validator goes on from there, asking with If-Range. Anything else discards
// them. Both are deleted once the file is whole.
bool DownloadFile(const std::wstring& url, const std::wstring& destination,
                  ProgressCallback progress, const DownloadOptions& options = DownloadOptions());

// The bytes of a ranged download, the ranges joined in order, read while they arrive.
class ArrivingBytes {
public:
    // Waits until the size bytes at offset have arrived and copies them to buffer; false when
    // the download ends without them.
    virtual bool Read(uint64_t offset, void* buffer, size_t size) = 0;

protected:
    ~ArrivingBytes() = default;
};

// Reads a ranged download's bytes on a thread of its own while they arrive; false stops it.
using FollowRanges = std::function<bool(ArrivingBytes& bytes)>;

// Some byte ranges of a file that the sources (ProbeSources, then RangeSources) offer, all of
// length bytes, fetched into parts beside destination and handed to follow as they arrive: the
// ranges joined are cut into stripes of at most kStripeBytes, spread over the four connections
// in order, so the bytes come in nearly in order and follow reads them close behind. Each connection
// fetches its stripes one after another, with the retries, sources and record of
// DownloadFile's segments. A later call goes on from the parts only when destination +
// ".plan", written before them, names the same ranges; follow then reads every byte again,
// those kept too. True when every range arrived and follow returned true. The parts are kept
// either way, until DiscardPartialDownload: what follow made of them may still be lost (a
// commit killed before it ends), and a later call then reads them again without a request.
bool DownloadRanges(const std::vector<DownloadSource>& sources, uint64_t length,
                    const std::vector<ByteRange>& ranges, const std::wstring& destination,
                    const FollowRanges& follow, ProgressCallback progress,
                    const DownloadOptions& options = DownloadOptions());

// How much of the joined ranges each connection fetches at a time: small enough that what
// follows the download is never far behind, large enough that requests cost little.
constexpr uint64_t kStripeBytes = 2u << 20;

// One range of the first source that answers it exactly (206, this range, of a file of length
// bytes, If-Range its validator), into body; each source is tried as options.retry says for a
// request. False when none does: a server that sends the whole file instead offers no ranges.
bool FetchByteRange(const std::vector<DownloadSource>& sources, uint64_t length, ByteRange range,
                    std::string& body, const DownloadOptions& options = DownloadOptions());

// The record beside destination's parts.
std::wstring DownloadRecordPath(const std::wstring& destination);
// Deletes what an unfinished download of destination left: its parts and its record.
void DiscardPartialDownload(const std::wstring& destination);

// The part lengths of an earlier start that its record vouches for: the record names this URL,
// length and validator, and this many parts. Empty otherwise.
std::vector<uint64_t> RecordedParts(const std::wstring& destination, const std::wstring& url,
                                    const HttpResource& resource, size_t count);
// The same for a download from several sources: the record names this length and this many
// parts, every source it names has a validator, at least one of sources is among them, and
// each that is has the same validator now. Sources not asked now cannot be checked: keyless,
// their bytes are taken as the file of that length, and under a key the digest decides.
std::vector<uint64_t> RecordedParts(const std::wstring& destination,
                                    const std::vector<DownloadSource>& sources, uint64_t length,
                                    size_t count);

// How a byte range or a stream ended.
enum class TransferEnd { Whole, Failed, Changed };

// One byte range of a segmented download, owned by its worker thread.
struct SegmentTask {
    uint64_t firstByte;  // the first byte not yet in the part
    uint64_t lastByte;   // inclusive
    uint64_t length;     // of the whole file: every Content-Range must name it
    HANDLE part;         // written from its current position, by this worker alone
    SourcePool& sources;
    int source;  // the one asked first; its validator is sent as If-Range (empty: nothing)
    std::atomic<uint64_t>& bytesWritten;  // shared by all segments
    std::atomic<uint64_t>& partBytes;     // this part's length
    DWORD lowSpeedWindowMs;
    // The worker's own session per source, opened at its first request there and reused for
    // the next ones; null: a session per request.
    std::vector<ScopedInternet>* sessions = nullptr;
};

// What the workers of one download share with its driver.
struct SegmentSignals {
    HANDLE stop;  // manual-reset event, set when the download has failed: waits end at once
    std::atomic<bool>& stopped;  // set with it, for a look per chunk that costs no system call
    std::atomic<int>& waiting;      // how many workers wait to retry now
    std::atomic<int>& waitsBegun;   // raised as each wait begins
};

// Worker: fetches the rest of the task's range into its part, retried as policy says. A try
// that failed for good drops its source; one that may be retried strikes it; either way the
// rest is asked from SourcePool::Next at once when that source has not failed yet, else after
// the wait. Changed: a source now has another file (If-Range answered 200, or another length).
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
