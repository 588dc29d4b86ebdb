#include "net/download.h"

#include <array>
#include <cwchar>
#include <vector>

#include "base/scoped_handle.h"
#include "net/http_client.h"
#include "net/http_request.h"
#include "net/part_hasher.h"

namespace {

constexpr int kSegmentCount = 4;
constexpr uint64_t kSegmentThreshold = 2097152;

struct SegmentBounds {
    uint64_t firstByte;
    uint64_t lastByte;
};

std::thread StartThread(std::function<void()> work) { return std::thread(std::move(work)); }

// Segments 0 to 2 hold length / 4 bytes each; the last one also takes the remainder.
SegmentBounds BoundsOf(uint64_t length, int index) {
    const uint64_t q = length / kSegmentCount;
    const uint64_t first = q * static_cast<uint64_t>(index);
    const uint64_t last = index == kSegmentCount - 1 ? length - 1 : first + q - 1;
    return {first, last};
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

uint64_t FileLength(const std::wstring& path, bool& exists) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    exists = GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0;
    return exists ? (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow : 0;
}

// Appends every part to destination in index order, deleting each once copied. Parts whose
// length differs from their segment (a worker that failed or stopped early) fail the merge
// before the destination is touched, and stay on disk. A part being hashed is deleted only once
// the hasher is done with it.
bool MergeParts(const std::wstring& destination, const std::vector<std::wstring>& partPaths,
                uint64_t length, const PartHasher* hasher) {
    for (int i = 0; i < kSegmentCount; ++i) {
        const SegmentBounds bounds = BoundsOf(length, i);
        bool exists = false;
        if (FileLength(partPaths[i], exists) != bounds.lastByte - bounds.firstByte + 1 ||
            !exists) {
            return false;
        }
    }
    ScopedFile target(CreateFileW(destination.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target) return false;
    std::vector<char> buffer(kReadBufferSize, 0);
    for (int i = 0; i < kSegmentCount; ++i) {
        const std::wstring& partPath = partPaths[i];
        {
            ScopedFile part(CreateFileW(partPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!part) return false;
            for (;;) {
                DWORD read = 0;
                // A read error is no end of the part: stop rather than join a short archive.
                if (!ReadFile(part.get(), buffer.data(), kReadBufferSize, &read, nullptr)) {
                    return false;
                }
                if (read == 0) break;
                DWORD written = 0;
                if (!WriteFile(target.get(), buffer.data(), read, &written, nullptr) ||
                    written != read) {
                    return false;
                }
            }
        }
        if (hasher) hasher->WaitForPart(i);
        DeleteFileW(partPath.c_str());
    }
    return true;
}

}  // namespace

std::thread (*StartSegmentThread)(std::function<void()> work) = StartThread;

void DownloadSegment(SegmentTask task) {
    wchar_t rangeLine[128] = {};
    swprintf(rangeLine, 128, L"Range: bytes=%llu-%llu\r\n",
             static_cast<unsigned long long>(task.firstByte),
             static_cast<unsigned long long>(task.lastByte));
    HttpRequest opened;
    if (!OpenHttpRequest(task.url, HttpRequestKind::Segment, opened, rangeLine,
                         task.lowSpeedWindowMs)) {
        return;
    }
    // A whole body (200) or another range would be joined into a corrupt archive.
    std::wstring contentRange;
    if (HttpStatusCode(opened) != 206 ||
        !HttpHeaderText(opened, WINHTTP_QUERY_CONTENT_RANGE, contentRange) ||
        !IsExactRange(contentRange, task.firstByte, task.lastByte)) {
        return;
    }

    ScopedFile part(CreateFileW(task.partPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!part) return;
    // The loop ends at the end of the data or at the first failed query, read or write.
    ReadHttpBody(opened, [&](const char* data, DWORD size) {
        DWORD written = 0;
        if (!WriteFile(part.get(), data, size, &written, nullptr)) return false;
        task.bytesWritten.fetch_add(written);
        return true;
    });
}

bool DownloadFile(const std::wstring& url, const std::wstring& destination,
                  ProgressCallback progress, DWORD lowSpeedWindowMs, std::string* digest) {
    uint64_t length = 0;
    bool acceptsRanges = false;
    if (!HttpProbe(url, length, acceptsRanges) || !acceptsRanges || length < kSegmentThreshold) {
        return DownloadSingleStream(url, destination, std::move(progress), lowSpeedWindowMs,
                                    digest);
    }

    std::vector<std::wstring> partPaths;
    for (int i = 0; i < kSegmentCount; ++i) {
        partPaths.push_back(destination + L".part" + std::to_wstring(i));
    }
    // A part left by an earlier attempt must not stand in for a segment that fails now.
    for (const std::wstring& partPath : partPaths) DeleteFileW(partPath.c_str());

    std::atomic<uint64_t> bytesWritten{0};
    std::array<std::atomic<bool>, kSegmentCount> finished{};
    std::vector<std::thread> workers;
    // Room for every worker first: a push that failed would drop a running thread unjoined.
    workers.reserve(kSegmentCount);
    PartHasher hasher(partPaths, finished.data());
    bool started = !digest || hasher.Start();
    for (int i = 0; started && i < kSegmentCount; ++i) {
        const SegmentBounds bounds = BoundsOf(length, i);
        SegmentTask task{bounds.firstByte, bounds.lastByte, partPaths[i], url, bytesWritten,
                         lowSpeedWindowMs};
        std::atomic<bool>& done = finished[i];
        try {
            workers.push_back(StartSegmentThread([task, &done] {
                DownloadSegment(task);
                done.store(true);
            }));
        } catch (...) {
            // No thread, or no memory for its work: join those started and fail.
            started = false;
            break;
        }
    }

    if (started) {
        uint64_t t0 = GetTickCount64();
        for (;;) {
            bool running = false;
            for (const std::atomic<bool>& done : finished) running = running || !done.load();
            const uint64_t now = GetTickCount64();
            if (now - t0 >= 200) {
                if (progress) progress(bytesWritten.load(), length);
                t0 = now;
            }
            Sleep(50);
            if (!running) break;
        }
    }
    for (std::thread& worker : workers) worker.join();
    if (!started) return false;
    if (progress) progress(bytesWritten.load(), length);
    if (!MergeParts(destination, partPaths, length, digest ? &hasher : nullptr)) return false;
    return !digest || hasher.Finish(*digest);
}
