#include "net/download.h"

#include <algorithm>

#include "base/sha256.h"
#include "net/download_record.h"
#include "net/http_request.h"

namespace {

// True when nothing can have decoded the body, so its length must equal Content-Length. Only
// the asked coding tells: WinHTTP may drop Content-Encoding once it has decoded.
bool BodyIsUncoded(const HttpRequest& opened) { return !opened.decompressing; }

// An error page is not the file.
bool IsFileAnswer(DWORD status) {
    if (status < 200 || status > 299) return false;
    return true;
}

// A connection that closes early ends the body like a complete one; only the announced length
// tells them apart. It counts coded bytes, so a decoded body has none to compare.
bool BodyIsWhole(const HttpRequest& opened, bool hasLength, uint64_t done, uint64_t total) {
    if (hasLength && BodyIsUncoded(opened) && done != total) return false;
    return true;
}

enum class TryEnd { Whole, Retry, Failed };

// What is kept free below a body of no known length: the system and the unpacking need room.
constexpr uint64_t kSpaceKeptFree = 64ULL << 20;

// The stream's file (destination + ".part" until it is whole), its digest and what it holds,
// across tries.
struct Stream {
    const std::wstring& url;
    const std::wstring& destination;
    const std::wstring partPath;
    const ProgressCallback& progress;
    const DownloadOptions& options;
    const HttpResource* resource;  // with ranges and a length: tries go on from `held`
    const HttpProxy* proxy;
    ScopedFile file;               // opened once the first answer is the file
    Sha256 sha;
    uint64_t held = 0;
    uint64_t lastRecordTick = 0;

    bool Resumable() const { return resource && resource->acceptsRanges && resource->length; }

    void WriteRecord() const {
        if (Resumable() && !resource->validator.empty())
            WriteDownloadRecord(DownloadRecordPath(destination),
                                {url, resource->length, resource->validator, {held}});
    }

    // Opens the part keeping `held` bytes (hashing them), or anew.
    bool Open(bool keep) {
        if (!file) {
            file.reset(CreateFileW(partPath.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                   FILE_SHARE_READ, nullptr, keep ? OPEN_ALWAYS : CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file) return false;
        }
        if (!keep) held = 0;
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(held);
        if (!SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) || !SetEndOfFile(file.get()))
            return false;
        if (!options.digest) return true;
        if (!StartSha256(sha)) return false;
        // Bytes of an earlier start count as much as the new ones.
        std::vector<char> buffer(kReadBufferSize);
        LARGE_INTEGER zero = {};
        if (!SetFilePointerEx(file.get(), zero, nullptr, FILE_BEGIN)) return false;
        for (uint64_t left = held; left > 0;) {
            DWORD read = 0;
            const DWORD want = static_cast<DWORD>(left < kReadBufferSize ? left : kReadBufferSize);
            if (!ReadFile(file.get(), buffer.data(), want, &read, nullptr) || read == 0)
                return false;
            AddToSha256(sha, buffer.data(), read);
            left -= read;
        }
        return true;
    }

    // Fails the try, telling why, when the disk lacks room for the rest of a body of known
    // length; for a body of none, sets `limit` short of the free space.
    bool HasRoom(bool bounded, uint64_t wholeLength, uint64_t& limit) const {
        uint64_t available = 0;
        if (!FreeSpaceAt(partPath, available)) return true;  // unknown: nothing to go by
        const bool room = bounded ? wholeLength - std::min(held, wholeLength) <= available
                                  : available > kSpaceKeptFree;
        limit = held + (available > kSpaceKeptFree ? available - kSpaceKeptFree : 0);
        if (!room && options.lackedSpace) *options.lackedSpace = true;
        return room;
    }

    TryEnd Try(DWORD& retryAfterMs) {
        // An earlier start that got every byte: nothing is left to ask for.
        if (Resumable() && held == resource->length) {
            return Open(true) ? TryEnd::Whole : TryEnd::Failed;
        }
        std::wstring headers;
        const bool ranged = Resumable() && held > 0;
        if (ranged) {
            headers = L"Range: bytes=" + std::to_wstring(held) + L"-\r\n";
            if (!resource->validator.empty()) {
                headers += L"If-Range: " + resource->validator + L"\r\n";
            }
        }
        HttpRequest opened;
        // A range counts raw bytes, so it is asked for in identity coding.
        const HttpRequestKind kind =
            ranged ? HttpRequestKind::Segment : HttpRequestKind::SingleStream;
        if (!OpenHttpRequest(url, kind, opened, headers, options.lowSpeedWindowMs, proxy)) {
            return IsSecureFailure(GetLastError()) ? TryEnd::Failed : TryEnd::Retry;
        }
        const DWORD status = HttpStatusCode(opened);
        if (IsRetryableStatus(status)) {
            retryAfterMs = HttpRetryAfterMs(opened);
            return TryEnd::Retry;
        }
        if (!IsFileAnswer(status)) return TryEnd::Failed;
        uint64_t total = 0;
        const bool hasLength = HttpContentLength(opened, total);
        uint64_t wholeLength = total;
        bool keep = false;
        std::wstring contentRange;
        if (ranged && status == 206) {
            // Only the rest asked for, of the file as long as the probe said, continues it.
            const std::wstring expected = L"bytes " + std::to_wstring(held) + L"-" +
                                          std::to_wstring(resource->length - 1) + L"/" +
                                          std::to_wstring(resource->length);
            if (!HttpHeaderText(opened, WINHTTP_QUERY_CONTENT_RANGE, contentRange) ||
                contentRange != expected) {
                return TryEnd::Failed;
            }
            keep = true;
            wholeLength = resource->length;
        } else if (status == 206) {
            return TryEnd::Failed;
        }
        const int64_t promised = options.expectedSize;
        if (promised >= 0 && hasLength && BodyIsUncoded(opened) &&
            wholeLength != static_cast<uint64_t>(promised)) {
            return TryEnd::Failed;
        }
        if (!Open(keep)) return TryEnd::Failed;
        // A decoded body may outgrow its coded length: only an uncoded length or a promised one
        // bounds what is written.
        const bool bounded = promised >= 0 || (hasLength && BodyIsUncoded(opened));
        uint64_t limit = UINT64_MAX;
        if (!HasRoom(bounded, promised >= 0 ? static_cast<uint64_t>(promised) : wholeLength,
                     limit)) {
            return TryEnd::Failed;
        }

        uint64_t bodyBytes = 0;
        bool refused = false;
        const bool ended = ReadHttpBody(opened, [&](const char* data, DWORD size) {
            // Nothing past the announced or the promised length is written, nor, without
            // either, into the space kept free.
            refused = (hasLength && BodyIsUncoded(opened) && size > total - bodyBytes) ||
                      (promised >= 0 && held + size > static_cast<uint64_t>(promised));
            if (!refused && !bounded && held + size > limit) {
                refused = true;
                if (options.lackedSpace) *options.lackedSpace = true;
            }
            if (refused) return false;
            DWORD written = 0;
            const bool ok = WriteFile(file.get(), data, size, &written, nullptr) && written == size;
            bodyBytes += written;
            held += written;
            if (options.digest) AddToSha256(sha, data, written);
            refused = !ok;
            if (!ok) return false;
            if (progress) progress(held, wholeLength);
            const uint64_t now = GetTickCount64();
            if (now - lastRecordTick >= 500) {
                WriteRecord();
                lastRecordTick = now;
            }
            return true;
        });
        if (refused) return TryEnd::Failed;
        if (!ended || !BodyIsWhole(opened, hasLength, bodyBytes, total)) return TryEnd::Retry;
        return TryEnd::Whole;
    }
};

}  // namespace

bool DownloadSingleStream(const std::wstring& url, const std::wstring& destination,
                          ProgressCallback progress, const DownloadOptions& options,
                          const HttpResource* resource, const HttpProxy* proxy) {
    Stream stream{url, destination, destination + L".part", progress, options, resource, proxy,
                  {}, {}, 0, 0};
    const std::vector<uint64_t> recorded =
        stream.Resumable() ? RecordedParts(destination, url, *resource, 1) : std::vector<uint64_t>();
    if (!recorded.empty()) {
        uint64_t have = 0;
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (GetFileAttributesExW(stream.partPath.c_str(), GetFileExInfoStandard, &data))
            have = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        stream.held = std::min(std::min(recorded[0], have), resource->length);
    } else {
        DiscardPartialDownload(destination);
    }
    const RetryPolicy& policy = options.retry;
    int failures = 0;
    // The furthest byte ever held. Only a try that takes it the free amount further is free:
    // without ranges every try starts again at byte 0, and one that only gets as far again
    // would otherwise be retried for ever.
    uint64_t furthest = stream.held;
    for (;;) {
        DWORD retryAfterMs = 0;
        const TryEnd end = stream.Try(retryAfterMs);
        if (end == TryEnd::Whole) break;
        const bool advanced = stream.held >= furthest + policy.freeTryBytes;
        furthest = std::max(furthest, stream.held);
        // Without ranges a retry starts the file again.
        if (!stream.Resumable()) stream.held = 0;
        stream.WriteRecord();
        if (end == TryEnd::Failed) return false;
        if (advanced) continue;
        if (++failures >= policy.triesPerRange) return false;
        if (options.retrying) options.retrying();
        Sleep(RetryWaitMs(policy, failures, retryAfterMs));
    }
    if (options.digest && !FinishSha256(stream.sha, *options.digest)) return false;
    // Whole: the part takes the destination's name, by its handle so that nothing can come
    // between the digest and the name.
    if (!RenameOpenFile(stream.file.get(), destination)) {
        stream.file.reset();
        if (!MoveFileExW(stream.partPath.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING))
            return false;
    }
    stream.file.reset();
    DiscardPartialDownload(destination);
    return true;
}
