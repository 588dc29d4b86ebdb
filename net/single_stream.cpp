#include "net/download.h"

#include "base/sha256.h"
#include "net/http_request.h"

namespace {

// True when nothing can have decoded the body, so its length must equal Content-Length. Only
// the asked coding tells: WinHTTP may drop Content-Encoding once it has decoded.
bool BodyIsUncoded(const HttpRequest& opened) { return !opened.decompressing; }

}  // namespace

bool DownloadSingleStream(const std::wstring& url, const std::wstring& destination,
                          ProgressCallback progress, DWORD lowSpeedWindowMs,
                          std::string* digest) {
    HttpRequest opened;
    if (!OpenHttpRequest(url, HttpRequestKind::SingleStream, opened, std::wstring(),
                         lowSpeedWindowMs)) {
        return false;
    }
    // An error page is not the file: refuse it before the destination is touched.
    const DWORD status = HttpStatusCode(opened);
    if (status < 200 || status > 299) return false;
    uint64_t total = 0;
    const bool hasLength = HttpContentLength(opened, total);

    ScopedFile file(CreateFileW(destination.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;

    Sha256 sha;
    if (digest && !StartSha256(sha)) return false;
    uint64_t done = 0;
    const bool ended = ReadHttpBody(opened, [&](const char* data, DWORD size) {
        DWORD written = 0;
        if (!WriteFile(file.get(), data, size, &written, nullptr)) return false;
        done += written;
        if (digest) AddToSha256(sha, data, written);
        if (progress) progress(done, total);
        return true;
    });
    if (!ended) return false;
    // A connection that closes early ends the body like a complete one; only the announced
    // length tells them apart. It counts coded bytes, so a decoded body has none to compare.
    if (hasLength && BodyIsUncoded(opened) && done != total) return false;
    return !digest || FinishSha256(sha, *digest);
}
