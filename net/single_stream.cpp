#include "net/download.h"

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

// The stream's file, its digest and what it holds, across tries.
struct Stream {
    const std::wstring& url;
    const std::wstring& destination;
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

    // Opens the destination keeping `held` bytes (hashing them), or anew.
    bool Open(bool keep) {
        if (!file) {
            file.reset(CreateFileW(destination.c_str(), GENERIC_READ | GENERIC_WRITE,
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

    TryEnd Try(uint64_t& moved, DWORD& retryAfterMs) {
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

        uint64_t bodyBytes = 0;
        bool refused = false;
        const bool ended = ReadHttpBody(opened, [&](const char* data, DWORD size) {
            // Nothing past the announced or the promised length is written.
            refused = (hasLength && BodyIsUncoded(opened) && size > total - bodyBytes) ||
                      (promised >= 0 && held + size > static_cast<uint64_t>(promised));
            if (refused) return false;
            DWORD written = 0;
            const bool ok = WriteFile(file.get(), data, size, &written, nullptr) && written == size;
            bodyBytes += written;
            held += written;
            moved += written;
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
    Stream stream{url, destination, progress, options, resource, proxy, {}, {}, 0, 0};
    const std::vector<uint64_t> recorded =
        stream.Resumable() ? RecordedParts(destination, url, *resource, 1) : std::vector<uint64_t>();
    if (!recorded.empty()) {
        uint64_t have = 0;
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (GetFileAttributesExW(destination.c_str(), GetFileExInfoStandard, &data))
            have = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        stream.held = std::min(std::min(recorded[0], have), resource->length);
    } else {
        DiscardPartialDownload(destination);
    }
    const RetryPolicy& policy = options.retry;
    int failures = 0;
    for (;;) {
        uint64_t moved = 0;
        DWORD retryAfterMs = 0;
        const TryEnd end = stream.Try(moved, retryAfterMs);
        if (end == TryEnd::Whole) break;
        // Without ranges a retry starts the file again.
        if (!stream.Resumable()) stream.held = 0;
        stream.WriteRecord();
        if (end == TryEnd::Failed) return false;
        if (moved >= policy.freeTryBytes) continue;
        if (++failures >= policy.triesPerRange) return false;
        if (options.retrying) options.retrying();
        Sleep(RetryWaitMs(policy, failures, retryAfterMs));
    }
    if (options.digest && !FinishSha256(stream.sha, *options.digest)) return false;
    stream.file.reset();
    DiscardPartialDownload(destination);
    return true;
}
