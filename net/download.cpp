#include "net/download.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <cwchar>
#include <vector>

#include "base/scoped_handle.h"
#include "net/download_record.h"
#include "net/http_client.h"
#include "net/http_request.h"
#include "net/part_hasher.h"

namespace {

constexpr int kSegmentCount = 4;
constexpr uint64_t kSegmentThreshold = 2097152;
// How often a running download brings its record up to date: a process that ends keeps at
// least what the record had.
constexpr uint64_t kRecordEveryMs = 500;

struct SegmentBounds {
    uint64_t firstByte;
    uint64_t lastByte;
};

std::thread StartThread(std::function<void()> work) { return std::thread(std::move(work)); }

bool FreeSpaceOf(const std::wstring& path, uint64_t& available) {
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L".\\" : path.substr(0, slash + 1);
    ULARGE_INTEGER free = {};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &free, nullptr, nullptr)) return false;
    available = free.QuadPart;
    return true;
}

// Segments 0 to 2 hold length / 4 bytes each; the last one also takes the remainder.
SegmentBounds BoundsOf(uint64_t length, int index) {
    const uint64_t q = length / kSegmentCount;
    const uint64_t first = q * static_cast<uint64_t>(index);
    const uint64_t last = index == kSegmentCount - 1 ? length - 1 : first + q - 1;
    return {first, last};
}

// What each part holds: bytes of the file, one range after another.
using PartRanges = std::array<std::vector<ByteRange>, kSegmentCount>;

PartRanges WholeFile(uint64_t length) {
    PartRanges parts;
    for (int i = 0; i < kSegmentCount; ++i) {
        const SegmentBounds bounds = BoundsOf(length, i);
        parts[i].push_back({bounds.firstByte, bounds.lastByte});
    }
    return parts;
}

// A piece of the ranges joined: where it lies in the joined bytes, in the file, and in its part.
struct Stripe {
    uint64_t joined;
    ByteRange bytes;
    int part;
    uint64_t partOffset;
};

// The ranges joined, cut into stripes of at most kStripeBytes, each dealt to the part with the
// least to fetch so far, a request counted as kRequestBytes more: large ranges go round the
// four connections, and runs of small ones are spread over them rather than asked one after
// another on one. Towards the end stripes shrink, so the connections end together and little
// is left for the follower once the last byte is in.
std::vector<Stripe> StripeRanges(const std::vector<ByteRange>& ranges) {
    constexpr uint64_t kRequestBytes = 64u << 10;
    constexpr uint64_t kLeastStripeBytes = 256u << 10;
    std::vector<Stripe> stripes;
    std::array<uint64_t, kSegmentCount> partLengths{}, loads{};
    uint64_t total = 0;
    for (const ByteRange& range : ranges) total += range.Length();
    uint64_t joined = 0;
    for (const ByteRange& range : ranges) {
        for (uint64_t at = range.first; at <= range.last;) {
            const int part =
                static_cast<int>(std::min_element(loads.begin(), loads.end()) - loads.begin());
            const uint64_t left = (total - joined) / (2 * kSegmentCount);
            const uint64_t take =
                std::min({kStripeBytes, std::max(kLeastStripeBytes, left), range.last - at + 1});
            stripes.push_back({joined, {at, at + take - 1}, part, partLengths[part]});
            partLengths[part] += take;
            loads[part] += take + kRequestBytes;
            joined += take;
            at += take;
        }
    }
    return stripes;
}

PartRanges PartsOf(const std::vector<Stripe>& stripes) {
    PartRanges parts;
    for (const Stripe& stripe : stripes) parts[stripe.part].push_back(stripe.bytes);
    return parts;
}

uint64_t LengthOf(const std::vector<ByteRange>& ranges) {
    uint64_t length = 0;
    for (const ByteRange& range : ranges) length += range.Length();
    return length;
}

// "bytes FIRST-LAST/TOTAL" naming exactly the range asked for.
bool IsExactRange(const std::wstring& contentRange, uint64_t firstByte, uint64_t lastByte) {
    const std::wstring prefix = L"bytes ";
    if (contentRange.compare(0, prefix.size(), prefix) != 0) return false;
    const size_t dash = contentRange.find(L'-', prefix.size());
    const size_t slash = contentRange.find(L'/', prefix.size());
    if (dash == std::wstring::npos || slash == std::wstring::npos || slash < dash) return false;
    uint64_t first = 0;
    uint64_t last = 0;
    return ParseUnsigned64(contentRange.substr(prefix.size(), dash - prefix.size()), first) &&
           ParseUnsigned64(contentRange.substr(dash + 1, slash - dash - 1), last) &&
           first == firstByte && last == lastByte;
}

// The TOTAL of "bytes FIRST-LAST/TOTAL" is the length of the file the range came from.
bool NamesTotal(const std::wstring& contentRange, uint64_t length) {
    const size_t slash = contentRange.find(L'/');
    uint64_t total = 0;
    return slash != std::wstring::npos &&
           ParseUnsigned64(contentRange.substr(slash + 1), total) && total == length;
}

uint64_t FileLength(const std::wstring& path, bool& exists) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    exists = GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0;
    return exists ? (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow : 0;
}

bool SeekTo(HANDLE file, uint64_t offset, DWORD from = FILE_BEGIN) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, at, nullptr, from) != 0;
}

bool CutTo(HANDLE file, uint64_t length) { return SeekTo(file, length) && SetEndOfFile(file); }

enum class TryEnd { Whole, Retry, Failed, Changed };

// One request for the rest of a segment, written on at the part's position.
TryEnd FetchRange(const SegmentTask& task, const std::atomic<bool>& stopped, uint64_t& moved,
                  DWORD& retryAfterMs) {
    const DownloadSource& source = task.sources.at(task.source);
    wchar_t rangeLine[128] = {};
    swprintf(rangeLine, 128, L"Range: bytes=%llu-%llu\r\n",
             static_cast<unsigned long long>(task.firstByte),
             static_cast<unsigned long long>(task.lastByte));
    std::wstring headers = rangeLine;
    const std::wstring& validator = source.resource.validator;
    if (!validator.empty()) headers += L"If-Range: " + validator + L"\r\n";
    HINTERNET session = nullptr;
    if (task.sessions) {
        ScopedInternet& own = task.sessions->at(task.source);
        if (!own) own = OpenHttpSession(source.proxy);
        session = own.get();
    }
    HttpRequest opened;
    if (!OpenHttpRequest(source.url, HttpRequestKind::Segment, opened, headers,
                         task.lowSpeedWindowMs, &source.proxy, session)) {
        // A connection that failed is not one to ask again through.
        if (task.sessions) task.sessions->at(task.source).reset();
        return IsSecureFailure(GetLastError()) ? TryEnd::Failed : TryEnd::Retry;
    }
    const DWORD status = HttpStatusCode(opened);
    if (IsRetryableStatus(status)) {
        retryAfterMs = HttpRetryAfterMs(opened);
        return TryEnd::Retry;
    }
    // If-Range answered with the whole body: the file is not the one the part holds.
    if (status == 200 && !validator.empty()) return TryEnd::Changed;
    // A whole body (200) or another range would be joined into a corrupt archive.
    std::wstring contentRange;
    if (HttpStatusCode(opened) != 206 ||
        !HttpHeaderText(opened, WINHTTP_QUERY_CONTENT_RANGE, contentRange) ||
        !IsExactRange(contentRange, task.firstByte, task.lastByte)) {
        return TryEnd::Failed;
    }
    // A range of a file of another length: it was replaced since the probe.
    if (!NamesTotal(contentRange, task.length)) return TryEnd::Changed;

    const uint64_t room = task.lastByte - task.firstByte + 1;
    bool refused = false;
    // The loop ends at the end of the data or at the first failed query, read or write.
    ReadHttpBody(opened, [&](const char* data, DWORD size) {
        // Never past the range; a download that failed elsewhere ends this one too.
        refused = size > room - moved;
        if (refused || stopped.load()) return false;
        DWORD written = 0;
        const bool ok = WriteFile(task.part, data, size, &written, nullptr) && written == size;
        moved += written;
        task.partBytes.fetch_add(written);
        task.bytesWritten.fetch_add(written);
        refused = !ok;
        return ok;
    });
    if (refused) return TryEnd::Failed;
    return moved == room ? TryEnd::Whole : TryEnd::Retry;
}

// Part 0 becomes the archive: the others are appended to it through the handles held since the
// download began, which let nothing else write them, so the bytes hashed are the bytes joined.
// Parts whose length differs from their segment (a worker that failed or stopped early) fail
// the merge before anything is appended.
bool MergeParts(const std::vector<std::wstring>& partPaths,
                const std::array<ScopedFile, kSegmentCount>& parts,
                const std::vector<uint64_t>& segmentLengths) {
    for (int i = 0; i < kSegmentCount; ++i) {
        bool exists = false;
        if (FileLength(partPaths[i], exists) != segmentLengths[i] || !exists) return false;
    }
    if (!SeekTo(parts[0].get(), 0, FILE_END)) return false;
    std::vector<char> buffer(kReadBufferSize, 0);
    for (int i = 1; i < kSegmentCount; ++i) {
        if (!SeekTo(parts[i].get(), 0)) return false;
        for (;;) {
            DWORD read = 0;
            // A read error is no end of the part: stop rather than join a short archive.
            if (!ReadFile(parts[i].get(), buffer.data(), kReadBufferSize, &read, nullptr)) {
                return false;
            }
            if (read == 0) break;
            DWORD written = 0;
            if (!WriteFile(parts[0].get(), buffer.data(), read, &written, nullptr) ||
                written != read) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

// Renames the open file, so nothing can come between the merge and the name.
bool RenameOpenFile(HANDLE file, const std::wstring& to) {
    const DWORD nameBytes = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes, 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->FileNameLength = nameBytes;
    std::memcpy(info->FileName, to.c_str(), nameBytes);
    return SetFileInformationByHandle(file, FileRenameInfo, info,
                                      static_cast<DWORD>(buffer.size())) != 0;
}

namespace {

// Part 0, which holds the merged file, becomes destination. On failure it is cut back to its
// segment, so that every part is again what the record says.
bool MoveIntoPlace(ScopedFile& part, const std::wstring& partPath,
                   const std::wstring& destination, uint64_t segmentLength) {
    if (RenameOpenFile(part.get(), destination)) return true;
    part.reset();
    if (MoveFileExW(partPath.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    part.reset(CreateFileW(partPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (part) CutTo(part.get(), segmentLength);
    return false;
}

std::vector<std::wstring> PartPaths(const std::wstring& destination) {
    std::vector<std::wstring> partPaths;
    for (int i = 0; i < kSegmentCount; ++i) {
        partPaths.push_back(destination + L".part" + std::to_wstring(i));
    }
    return partPaths;
}

// The pieces of a segment worker, one after another: those the part holds already skipped.
TransferEnd DownloadPieces(SegmentTask task, const std::vector<ByteRange>& pieces,
                           const RetryPolicy& policy, const SegmentSignals& signals) {
    std::vector<ScopedInternet> sessions(task.sources.sources().size());
    task.sessions = &sessions;
    uint64_t kept = task.partBytes.load();
    for (const ByteRange& piece : pieces) {
        if (kept >= piece.Length()) {
            kept -= piece.Length();
            continue;
        }
        task.firstByte = piece.first + kept;
        task.lastByte = piece.last;
        kept = 0;
        const TransferEnd end = DownloadSegment(task, policy, signals);
        if (end != TransferEnd::Whole) return end;
    }
    return TransferEnd::Whole;
}

// The parts of a striped download read in the order of the joined ranges: each read waits for
// its part's worker to have written the bytes. Handles of its own, as the workers write through
// theirs at their file positions.
class PartFollower final : public ArrivingBytes {
public:
    PartFollower(const std::vector<Stripe>& stripes,
                 const std::array<std::atomic<uint64_t>, kSegmentCount>& partBytes,
                 const std::array<std::atomic<bool>, kSegmentCount>& finished,
                 const std::atomic<bool>& stopped)
        : stripes_(stripes), partBytes_(partBytes), finished_(finished), stopped_(stopped) {}

    bool Open(const std::vector<std::wstring>& partPaths) {
        for (int i = 0; i < kSegmentCount; ++i) {
            parts_[i].reset(CreateFileW(partPaths[i].c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!parts_[i]) return false;
        }
        return true;
    }

    bool Read(uint64_t offset, void* buffer, size_t size) override {
        char* out = static_cast<char*>(buffer);
        while (size > 0) {
            const auto after = std::upper_bound(
                stripes_.begin(), stripes_.end(), offset,
                [](uint64_t at, const Stripe& stripe) { return at < stripe.joined; });
            if (after == stripes_.begin()) return false;
            const Stripe& stripe = *(after - 1);
            const uint64_t within = offset - stripe.joined;
            if (within >= stripe.bytes.Length()) return false;  // past the last range
            const DWORD take = static_cast<DWORD>(
                std::min<uint64_t>({size, stripe.bytes.Length() - within, kReadBufferSize}));
            const uint64_t at = stripe.partOffset + within;
            if (!Arrived(stripe.part, at + take)) return false;
            OVERLAPPED where = {};
            where.Offset = static_cast<DWORD>(at);
            where.OffsetHigh = static_cast<DWORD>(at >> 32);
            DWORD read = 0;
            if (!ReadFile(parts_[stripe.part].get(), out, take, &read, &where) || read != take)
                return false;
            out += take;
            offset += take;
            size -= take;
        }
        return true;
    }

private:
    // Waits until the part holds bytes bytes; false once its worker, or the download, ended
    // short of them.
    bool Arrived(int part, uint64_t bytes) const {
        for (;;) {
            // Noted before the length: a worker ends only after its last write counted.
            const bool ended = finished_[part].load() || stopped_.load();
            if (partBytes_[part].load() >= bytes) return true;
            if (ended) return false;
            Sleep(1);
        }
    }

    const std::vector<Stripe>& stripes_;
    const std::array<std::atomic<uint64_t>, kSegmentCount>& partBytes_;
    const std::array<std::atomic<bool>, kSegmentCount>& finished_;
    const std::atomic<bool>& stopped_;
    std::array<ScopedFile, kSegmentCount> parts_;
};

// Fetches the file's bytes that partRanges name into the four parts, then joins them into
// destination. With follow, the parts are read by it as they arrive instead (stripes say what
// each holds) and kept with their record: nothing is joined.
bool DownloadSegments(SourcePool& pool, uint64_t length, const PartRanges& partRanges,
                      const std::wstring& destination, const ProgressCallback& progress,
                      const DownloadOptions& options, const FollowRanges* follow = nullptr,
                      const std::vector<Stripe>* stripes = nullptr) {
    const std::vector<std::wstring> partPaths = PartPaths(destination);
    const std::wstring recordPath = DownloadRecordPath(destination);
    const std::vector<uint64_t> recorded =
        RecordedParts(destination, pool.sources(), length, kSegmentCount);
    const bool resuming = !recorded.empty();
    // A part left by an earlier attempt must not stand in for a segment unless its record
    // vouches for it.
    if (!resuming) {
        DeleteFileW(recordPath.c_str());
        for (const std::wstring& partPath : partPaths) DeleteFileW(partPath.c_str());
    }

    // Held until the merge and shared for reading only, so nothing else writes a part.
    std::array<ScopedFile, kSegmentCount> parts;
    std::array<std::atomic<uint64_t>, kSegmentCount> partBytes{};
    std::vector<uint64_t> segmentLengths;
    std::atomic<uint64_t> bytesWritten{0};
    uint64_t streamLength = 0;
    for (int i = 0; i < kSegmentCount; ++i) {
        segmentLengths.push_back(LengthOf(partRanges[i]));
        streamLength += segmentLengths[i];
        parts[i].reset(CreateFileW(partPaths[i].c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                   FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
        if (!parts[i]) return false;
        LARGE_INTEGER size = {};
        uint64_t kept = 0;
        if (resuming) {
            if (!GetFileSizeEx(parts[i].get(), &size)) return false;
            kept = std::min({recorded[i], static_cast<uint64_t>(size.QuadPart),
                             segmentLengths[i]});
            if (!CutTo(parts[i].get(), kept)) return false;
        }
        partBytes[i] = kept;
        bytesWritten += kept;
    }
    // The merge appends parts 1 to 3 to part 0 before they are deleted.
    const uint64_t merged = follow ? 0 : streamLength - segmentLengths[0];
    uint64_t available = 0;
    if (FreeSpaceAt(destination, available) &&
        (streamLength - bytesWritten) + merged > available) {
        if (options.lackedSpace) *options.lackedSpace = true;
        return false;
    }
    // Every source's validator, or no record: parts may hold bytes of any of them.
    DownloadRecord record{pool.at(0).url, length, pool.at(0).resource.validator, {}};
    std::vector<RecordedSource> others;
    bool keepRecord = true;
    for (const DownloadSource& source : pool.sources()) {
        keepRecord = keepRecord && !source.resource.validator.empty();
        if (&source != &pool.at(0)) others.push_back({source.url, source.resource.validator});
    }
    const auto writeRecord = [&] {
        record.partBytes.clear();
        for (const auto& bytes : partBytes) record.partBytes.push_back(bytes.load());
        if (keepRecord) WriteDownloadRecord(recordPath, record, others);
    };
    writeRecord();

    ScopedHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop) return false;
    std::atomic<int> waiting{0}, waitsBegun{0};
    std::atomic<bool> stopped{false};
    const SegmentSignals signals{stop.get(), stopped, waiting, waitsBegun};
    std::array<std::atomic<bool>, kSegmentCount> finished{};
    std::array<std::atomic<TransferEnd>, kSegmentCount> ends{};
    std::vector<std::thread> workers;
    // Room for every worker first: a push that failed would drop a running thread unjoined.
    workers.reserve(kSegmentCount);
    PartHasher hasher(partPaths, segmentLengths, finished.data());
    bool started = !options.digest || hasher.Start();
    for (int i = 0; started && i < kSegmentCount; ++i) {
        // The ranges are dealt out over the sources in order, the first source first.
        const SegmentTask task{0,
                               0,
                               length,
                               parts[i].get(),
                               pool,
                               i % static_cast<int>(pool.sources().size()),
                               bytesWritten,
                               partBytes[i],
                               options.lowSpeedWindowMs};
        std::atomic<bool>& done = finished[i];
        std::atomic<TransferEnd>& end = ends[i];
        const RetryPolicy& policy = options.retry;
        const std::vector<ByteRange>& pieces = partRanges[i];
        try {
            workers.push_back(StartSegmentThread([task, &pieces, &done, &end, &policy, &signals] {
                // Nothing may escape a thread's function: it would end the process.
                try {
                    end = DownloadPieces(task, pieces, policy, signals);
                } catch (...) {
                    end = TransferEnd::Failed;
                }
                if (end != TransferEnd::Whole) {
                    signals.stopped = true;
                    SetEvent(signals.stop);
                }
                done.store(true);
            }));
        } catch (...) {
            // No thread, or no memory for its work: join those started and fail.
            started = false;
            break;
        }
    }

    // The follower reads the parts on a thread of its own; what it returns is the download's.
    const std::vector<Stripe> none;
    PartFollower reader(stripes ? *stripes : none, partBytes, finished, stopped);
    std::atomic<bool> followed{false};
    std::thread follower;
    if (started && follow) {
        try {
            started = reader.Open(partPaths);
            if (started)
                follower = std::thread([&] {
                    bool ok = false;
                    try {
                        ok = (*follow)(reader);
                    } catch (...) {
                    }
                    followed = ok;
                    // A follower that gave up ends the workers too.
                    if (!ok) {
                        stopped = true;
                        SetEvent(stop.get());
                    }
                });
        } catch (...) {
            started = false;
        }
    }

    bool failed = !started;
    bool progressFailed = false;
    try {
        uint64_t t0 = GetTickCount64();
        uint64_t lastRecord = t0;
        int waitsTold = 0;
        while (started) {
            bool running = false;
            for (const std::atomic<bool>& done : finished) running = running || !done.load();
            const uint64_t now = GetTickCount64();
            // While a segment waits to retry, its line replaces the progress, which holds.
            if (waitsBegun.load() != waitsTold) {
                waitsTold = waitsBegun.load();
                if (options.retrying) options.retrying();
            } else if (waiting.load() == 0 && now - t0 >= 200) {
                if (progress) progress(bytesWritten.load(), streamLength);
                t0 = now;
            }
            if (now - lastRecord >= kRecordEveryMs) {
                writeRecord();
                lastRecord = now;
            }
            if (!running) break;
            WaitForSingleObject(stop.get(), 50);
        }
    } catch (...) {
        failed = true;  // thrown by the progress callback, which is not called again
        progressFailed = true;
    }
    if (failed) {
        stopped = true;
        SetEvent(stop.get());
    }
    for (std::thread& worker : workers) worker.join();
    writeRecord();
    if (follower.joinable()) follower.join();
    if (progress && !progressFailed) progress(bytesWritten.load(), streamLength);
    // A segment that failed left its part short, which the merge refuses.
    bool changed = false;
    for (const auto& end : ends) changed = changed || end == TransferEnd::Changed;
    // Parts of another file are of no use to a later start.
    if (changed) {
        for (ScopedFile& part : parts) part.reset();
        DiscardPartialDownload(destination);
        return false;
    }
    if (follow) {
        for (const auto& end : ends) failed = failed || end != TransferEnd::Whole;
        return !failed && followed;
    }
    if (failed || !MergeParts(partPaths, parts, segmentLengths)) {
        if (!failed) CutTo(parts[0].get(), segmentLengths[0]);
        return false;
    }
    if (options.digest && !hasher.Finish(*options.digest)) {
        CutTo(parts[0].get(), segmentLengths[0]);
        return false;
    }
    if (!MoveIntoPlace(parts[0], partPaths[0], destination, segmentLengths[0])) return false;
    for (ScopedFile& part : parts) part.reset();
    DiscardPartialDownload(destination);
    return true;
}

}  // namespace

std::thread (*StartSegmentThread)(std::function<void()> work) = StartThread;

bool (*FreeSpaceAt)(const std::wstring& path, uint64_t& available) = FreeSpaceOf;

std::wstring DownloadRecordPath(const std::wstring& destination) {
    return destination + L".resume";
}

void DiscardPartialDownload(const std::wstring& destination) {
    DeleteFileW((destination + L".plan").c_str());
    DeleteFileW((destination + L".part").c_str());
    for (const std::wstring& partPath : PartPaths(destination)) DeleteFileW(partPath.c_str());
    DeleteFileW(DownloadRecordPath(destination).c_str());
    // What a process killed while replacing the record leaves beside it.
    DeleteFileW((DownloadRecordPath(destination) + L".new").c_str());
}

std::vector<uint64_t> RecordedParts(const std::wstring& destination,
                                    const std::vector<DownloadSource>& sources, uint64_t length,
                                    size_t count) {
    DownloadRecord earlier;
    std::vector<RecordedSource> recorded;
    if (!ReadDownloadRecord(DownloadRecordPath(destination), earlier, &recorded) ||
        earlier.length != length || earlier.partBytes.size() != count) {
        return {};
    }
    recorded.push_back({earlier.url, earlier.validator});
    bool shared = false;
    for (const RecordedSource& kept : recorded) {
        if (kept.validator.empty()) return {};
        for (const DownloadSource& source : sources) {
            if (source.url != kept.url) continue;
            if (source.resource.validator != kept.validator) return {};
            shared = true;
        }
    }
    return shared ? earlier.partBytes : std::vector<uint64_t>();
}

std::vector<uint64_t> RecordedParts(const std::wstring& destination, const std::wstring& url,
                                    const HttpResource& resource, size_t count) {
    DownloadRecord earlier;
    if (resource.validator.empty() ||
        !ReadDownloadRecord(DownloadRecordPath(destination), earlier) || earlier.url != url ||
        earlier.length != resource.length || earlier.validator != resource.validator ||
        earlier.partBytes.size() != count) {
        return {};
    }
    return earlier.partBytes;
}

TransferEnd DownloadSegment(const SegmentTask& task, const RetryPolicy& policy,
                            const SegmentSignals& signals) {
    int failures = 0;
    uint64_t next = task.firstByte;
    int source = task.source;
    while (next <= task.lastByte) {
        SegmentTask rest = task;
        rest.firstByte = next;
        rest.source = source;
        uint64_t moved = 0;
        DWORD retryAfterMs = 0;
        const TryEnd end = FetchRange(rest, signals.stopped, moved, retryAfterMs);
        next += moved;
        if (end == TryEnd::Whole) break;
        if (end == TryEnd::Changed) return TransferEnd::Changed;
        if (end == TryEnd::Failed) {
            task.sources.Drop(source);
            source = task.sources.Next(source);
            // The next try follows at once: a download failed meanwhile ends here instead.
            if (source < 0 || signals.stopped.load()) return TransferEnd::Failed;
            continue;
        }
        if (moved >= policy.freeTryBytes) continue;
        task.sources.Strike(source);
        const int other = task.sources.Next(source);
        if (other < 0) return TransferEnd::Failed;
        // A source that has not failed yet takes the rest over without a wait.
        if (other != source && task.sources.Strikes(other) == 0) {
            if (signals.stopped.load()) return TransferEnd::Failed;
            source = other;
            continue;
        }
        source = other;
        if (++failures >= policy.triesPerRange) return TransferEnd::Failed;
        ++signals.waiting;
        ++signals.waitsBegun;
        const DWORD woke =
            WaitForSingleObject(signals.stop, RetryWaitMs(policy, failures, retryAfterMs));
        --signals.waiting;
        if (woke == WAIT_OBJECT_0) return TransferEnd::Failed;
    }
    return TransferEnd::Whole;
}

bool DownloadFile(const std::wstring& url, const std::wstring& destination,
                  ProgressCallback progress, const DownloadOptions& options) {
    std::vector<DownloadSource> sources = ProbeSources(url, options.mirrors, options.retry);
    // A signed manifest's length, else the first source's: one announcing another has another
    // file.
    const uint64_t length = DropOtherLengths(sources, options.expectedSize);
    std::vector<DownloadSource> ranged = RangeSources(sources, length);
    if (!ranged.empty() && length >= kSegmentThreshold) {
        SourcePool pool(std::move(ranged));
        return DownloadSegments(pool, length, WholeFile(length), destination, progress, options);
    }
    // Those that answered their probe first: one that did not would cost its retries first.
    std::stable_partition(sources.begin(), sources.end(),
                          [](const DownloadSource& source) { return source.probed; });
    for (const DownloadSource& source : sources) {
        if (DownloadSingleStream(source.url, destination, progress, options,
                                 source.probed ? &source.resource : nullptr, &source.proxy)) {
            return true;
        }
    }
    return false;
}

namespace {

std::string PlanText(uint64_t length, const std::vector<ByteRange>& ranges) {
    // 2: parts hold stripes of the joined ranges.
    std::string text = "hopwell-ranges 2\n" + std::to_string(length) + "\n";
    for (const ByteRange& range : ranges)
        text += std::to_string(range.first) + "-" + std::to_string(range.last) + "\n";
    return text;
}

bool ReadSmallFile(const std::wstring& path, std::string& text) {
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > (64 << 20)) return false;
    text.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    return text.empty() || (ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size()),
                                     &read, nullptr) &&
                            read == text.size());
}

bool WriteSmallFile(const std::wstring& path, const std::string& text) {
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                     nullptr) &&
           written == text.size();
}

}  // namespace

bool DownloadRanges(const std::vector<DownloadSource>& sources, uint64_t length,
                    const std::vector<ByteRange>& ranges, const std::wstring& destination,
                    const FollowRanges& follow, ProgressCallback progress,
                    const DownloadOptions& options) {
    if (sources.empty() || !follow) return false;
    for (const ByteRange& range : ranges)
        if (range.first > range.last || range.last >= length) return false;
    // Parts of other ranges must not stand in for these: the plan goes first, parts after it.
    const std::wstring planPath = destination + L".plan";
    const std::string plan = PlanText(length, ranges);
    std::string earlier;
    if (!ReadSmallFile(planPath, earlier) || earlier != plan) {
        DiscardPartialDownload(destination);
        if (!WriteSmallFile(planPath, plan)) return false;
    }
    SourcePool pool(sources);
    DownloadOptions ranged = options;
    ranged.digest = nullptr;  // of the whole file only
    const std::vector<Stripe> stripes = StripeRanges(ranges);
    return DownloadSegments(pool, length, PartsOf(stripes), destination, progress, ranged,
                            &follow, &stripes);
}

bool FetchByteRange(const std::vector<DownloadSource>& sources, uint64_t length, ByteRange range,
                std::string& body, const DownloadOptions& options) {
    if (range.first > range.last || range.last >= length) return false;
    const uint64_t room = range.Length();
    for (const DownloadSource& source : sources) {
        for (int tries = 1; tries <= options.retry.requestTries; ++tries) {
            wchar_t rangeLine[128] = {};
            swprintf(rangeLine, 128, L"Range: bytes=%llu-%llu\r\n",
                     static_cast<unsigned long long>(range.first),
                     static_cast<unsigned long long>(range.last));
            std::wstring headers = rangeLine;
            if (!source.resource.validator.empty())
                headers += L"If-Range: " + source.resource.validator + L"\r\n";
            HttpRequest opened;
            DWORD retryAfterMs = 0;
            bool retry = false;
            if (!OpenHttpRequest(source.url, HttpRequestKind::Segment, opened, headers,
                                 options.lowSpeedWindowMs, &source.proxy)) {
                retry = IsDropOrTimeout(GetLastError());
            } else if (IsRetryableStatus(HttpStatusCode(opened))) {
                retryAfterMs = HttpRetryAfterMs(opened);
                retry = true;
            } else {
                std::wstring contentRange;
                if (HttpStatusCode(opened) != 206 ||
                    !HttpHeaderText(opened, WINHTTP_QUERY_CONTENT_RANGE, contentRange) ||
                    !IsExactRange(contentRange, range.first, range.last) ||
                    !NamesTotal(contentRange, length))
                    break;  // no ranges here, or another file: the next source
                std::string received;
                bool tooLong = false;
                const bool ended = ReadHttpBody(opened, [&](const char* data, DWORD size) {
                    tooLong = size > room - received.size();
                    if (!tooLong) received.append(data, size);
                    return !tooLong;
                });
                if (tooLong) break;
                if (ended && received.size() == room) {
                    body = std::move(received);
                    return true;
                }
                retry = true;
            }
            if (!retry || tries == options.retry.requestTries) break;
            Sleep(RetryWaitMs(options.retry, tries, retryAfterMs));
        }
    }
    return false;
}
