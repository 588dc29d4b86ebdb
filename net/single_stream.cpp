#include "net/download.h"

#include "base/sha256.h"
#include "net/http_request.h"

namespace {

// True when the body travels as sent, so its length must equal Content-Length.
bool BodyIsUncoded(const HttpRequest& opened) {
    std::wstring coding;
    return !HttpHeaderText(opened, WINHTTP_QUERY_CONTENT_ENCODING, coding) || coding.empty() ||
           coding == L"identity";
}

}  // namespace

bool DownloadSingleStream(const std::wstring& url, const std::wstring& destination,
                          ProgressCallback progress, std::string* digest) {
    HttpRequest opened;
    if (!OpenHttpRequest(url, HttpRequestKind::SingleStream, opened)) return false;
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
    // length tells them apart (decoded bodies have no length to compare with).
    if (hasLength && BodyIsUncoded(opened) && done != total) return false;
    return !digest || FinishSha256(sha, *digest);
}
