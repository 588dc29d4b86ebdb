#include "net/http_client.h"

#include <functional>
#include <vector>

#include "net/http_request.h"

namespace {


void AddHeader(HINTERNET request, const wchar_t* line) {
    WinHttpAddRequestHeaders(request, line, static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD);
}

// Asks WinHTTP to decode gzip and deflate bodies; false when it refuses (Windows 7 and Wine
// answer ERROR_WINHTTP_INVALID_OPTION).
bool EnableDecompression(HINTERNET request) {
    DWORD flags = WINHTTP_DECOMPRESSION_FLAG_GZIP | WINHTTP_DECOMPRESSION_FLAG_DEFLATE;
    return WinHttpSetOption(request, WINHTTP_OPTION_DECOMPRESSION, &flags, sizeof(flags));
}

// Advertises gzip only when WinHTTP decodes it: otherwise compressed bytes would be taken for
// the manifest or the archive.
void AddEncodingHeader(HttpRequest& opened) {
    opened.decompressing = EnableDecompression(opened.request.get());
    AddHeader(opened.request.get(), opened.decompressing ? L"Accept-Encoding: gzip, deflate\r\n"
                                                         : L"Accept-Encoding: identity\r\n");
}

}  // namespace

bool ParseUnsigned64(const std::wstring& text, uint64_t& value) {
    if (text.empty()) return false;
    uint64_t result = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - L'0');
        if (result > (UINT64_MAX - digit) / 10) return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

namespace {

bool SetUpRequest(const std::wstring& url, HttpRequestKind kind, HttpRequest& request,
                  const std::wstring& extraHeader, DWORD lowSpeedWindowMs,
                  const HttpProxy* given, HINTERNET shared) {
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return false;
    const std::wstring hostName(host);
    const std::wstring urlPath(path);
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    INTERNET_PORT port = parts.nPort;
    if (port == 0) port = secure ? 443 : 80;

    // Every request has a session of its own, or its caller's opened through the same proxy,
    // so the proxy given to it is this request's. WINHTTP_OPTION_PROXY would say the same, but
    // Wine ignores it.
    if (!shared) {
        request.session = OpenHttpSession(given ? *given : UserProxyFor(url));
        if (!request.session) return false;
    }
    request.connection.reset(
        WinHttpConnect(shared ? shared : request.session.get(), hostName.c_str(), port, 0));
    if (!request.connection) return false;
    const wchar_t* verb = kind == HttpRequestKind::Probe ? L"HEAD" : L"GET";
    request.request.reset(WinHttpOpenRequest(request.connection.get(), verb, urlPath.c_str(),
                                             nullptr, WINHTTP_NO_REFERER,
                                             WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request.request) return false;
    request.lowSpeedWindowMs = lowSpeedWindowMs;
    // No wait for headers, or for the next bytes of the body, may outlast the window.
    WinHttpSetOption(request.request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT,
                     &lowSpeedWindowMs, sizeof(lowSpeedWindowMs));
    WinHttpSetOption(request.request.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, &lowSpeedWindowMs,
                     sizeof(lowSpeedWindowMs));

    switch (kind) {
    case HttpRequestKind::ManifestFetch:
    case HttpRequestKind::SingleStream:
        AddEncodingHeader(request);
        break;
    case HttpRequestKind::Segment:
        // Byte ranges count raw bytes, so a segment never asks for a coded body.
        request.decompressing = EnableDecompression(request.request.get());
        AddHeader(request.request.get(), L"Accept-Encoding: identity\r\n");
        break;
    case HttpRequestKind::Probe:
        break;
    }
    if (!extraHeader.empty()) AddHeader(request.request.get(), extraHeader.c_str());

    if (!WinHttpSendRequest(request.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.request.get(), nullptr)) {
        return false;
    }
    return true;
}

}  // namespace

ScopedInternet OpenHttpSession(const HttpProxy& proxy) {
    ScopedInternet session(WinHttpOpen(
        L"Hopwell/1.0",
        proxy.proxy.empty() ? WINHTTP_ACCESS_TYPE_DEFAULT_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY,
        proxy.proxy.empty() ? WINHTTP_NO_PROXY_NAME : proxy.proxy.c_str(),
        proxy.bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : proxy.bypass.c_str(), 0));
    DWORD maxConnections = 8;
    if (session)
        WinHttpSetOption(session.get(), WINHTTP_OPTION_MAX_CONNS_PER_SERVER, &maxConnections,
                         sizeof(maxConnections));
    return session;
}

bool OpenHttpRequest(const std::wstring& url, HttpRequestKind kind, HttpRequest& opened,
                     const std::wstring& extraHeader, DWORD lowSpeedWindowMs,
                     const HttpProxy* proxy, HINTERNET session) {
    HttpRequest request;
    const bool ok =
        SetUpRequest(url, kind, request, extraHeader, lowSpeedWindowMs, proxy, session);
    // Closing the handles must not hide why the request failed.
    const DWORD error = GetLastError();
    if (ok) opened = std::move(request);
    request = HttpRequest();
    SetLastError(error);
    return ok;
}

bool IsDropOrTimeout(DWORD error) {
    return error == ERROR_WINHTTP_TIMEOUT || error == ERROR_WINHTTP_CONNECTION_ERROR ||
           error == ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
}

DWORD HttpStatusCode(const HttpRequest& opened) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(opened.request.get(),
                             WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    return status;
}

bool HttpHeaderText(const HttpRequest& opened, DWORD query, std::wstring& value) {
    DWORD size = 0;
    WinHttpQueryHeaders(opened.request.get(), query, WINHTTP_HEADER_NAME_BY_INDEX,
                        WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return false;
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(opened.request.get(), query, WINHTTP_HEADER_NAME_BY_INDEX,
                             buffer.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    value.assign(buffer.data(), size / sizeof(wchar_t));
    return true;
}

bool HttpContentLength(const HttpRequest& opened, uint64_t& length) {
    length = 0;
    std::wstring text;
    if (!HttpHeaderText(opened, WINHTTP_QUERY_CONTENT_LENGTH, text)) return false;
    while (!text.empty() && text.back() == L' ') text.pop_back();
    while (!text.empty() && text.front() == L' ') text.erase(0, 1);
    return ParseUnsigned64(text, length);
}

bool ReadHttpBody(const HttpRequest& opened,
                  const std::function<bool(const char* data, DWORD size)>& consume,
                  bool* tooSlow) {
    std::vector<char> buffer(kReadBufferSize, 0);
    // A query or read that timed out waited a whole window for nothing.
    const auto failed = [&] {
        if (tooSlow && GetLastError() == ERROR_WINHTTP_TIMEOUT) *tooSlow = true;
        return false;
    };
    uint64_t windowStart = GetTickCount64();
    uint64_t windowBytes = 0;
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(opened.request.get(), &available)) return failed();
    while (available > 0) {
        DWORD read = 0;
        if (!WinHttpReadData(opened.request.get(), buffer.data(),
                             available < kReadBufferSize ? available : kReadBufferSize, &read)) {
            return failed();
        }
        if (read == 0) return true;
        if (!consume(buffer.data(), read)) return false;
        windowBytes += read;
        const uint64_t now = GetTickCount64();
        if (now - windowStart >= opened.lowSpeedWindowMs) {
            if (windowBytes < kLowSpeedBytes) {
                if (tooSlow) *tooSlow = true;
                return false;
            }
            windowStart = now;
            windowBytes = 0;
        }
        if (!WinHttpQueryDataAvailable(opened.request.get(), &available)) return failed();
    }
    return true;
}

DWORD HttpRetryAfterMs(const HttpRequest& opened) {
    std::wstring text;
    if (!HttpHeaderText(opened, WINHTTP_QUERY_RETRY_AFTER, text)) return 0;
    uint64_t seconds = 0;
    if (ParseUnsigned64(text, seconds)) return seconds > 86400 ? 86400000 : seconds * 1000;
    SYSTEMTIME when = {};
    if (!WinHttpTimeToSystemTime(text.c_str(), &when)) return 0;
    FILETIME then = {}, now = {};
    if (!SystemTimeToFileTime(&when, &then)) return 0;
    GetSystemTimeAsFileTime(&now);
    const uint64_t a = (static_cast<uint64_t>(then.dwHighDateTime) << 32) | then.dwLowDateTime;
    const uint64_t b = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    if (a <= b) return 0;
    const uint64_t ms = (a - b) / 10000;
    return ms > 86400000 ? 86400000 : static_cast<DWORD>(ms);
}

namespace {

enum class TryResult { Done, Retry, Failed };

// Runs one try after another, waiting as policy says, until one is done or failed for good or
// policy.requestTries have been made.
bool WithRetries(const RetryPolicy& policy, const std::function<TryResult(DWORD&)>& tryOnce) {
    for (int tries = 1;; ++tries) {
        DWORD retryAfterMs = 0;
        const TryResult result = tryOnce(retryAfterMs);
        if (result != TryResult::Retry) return result == TryResult::Done;
        if (tries >= policy.requestTries) return false;
        Sleep(RetryWaitMs(policy, tries, retryAfterMs));
    }
}

}  // namespace

bool HttpGetToMemory(const std::wstring& url, std::string& body, DWORD lowSpeedWindowMs,
                     const RetryPolicy& policy) {
    return WithRetries(policy, [&](DWORD& retryAfterMs) {
        HttpRequest opened;
        if (!OpenHttpRequest(url, HttpRequestKind::ManifestFetch, opened, std::wstring(),
                             lowSpeedWindowMs)) {
            return IsDropOrTimeout(GetLastError()) ? TryResult::Retry : TryResult::Failed;
        }
        const DWORD status = HttpStatusCode(opened);
        if (IsRetryableStatus(status)) {
            retryAfterMs = HttpRetryAfterMs(opened);
            return TryResult::Retry;
        }
        // An error page is no manifest, nor a signature.
        if (status < 200 || status > 299) return TryResult::Failed;
        uint64_t announced = 0;
        const bool hasLength = HttpContentLength(opened, announced) && !opened.decompressing;
        std::string received;
        bool tooLong = false;
        bool tooSlow = false;
        const bool ended = ReadHttpBody(
            opened,
            [&](const char* data, DWORD size) {
                tooLong = received.size() + size > kMaxManifestBytes;
                if (!tooLong) received.append(data, size);
                return !tooLong;
            },
            &tooSlow);
        if (tooLong) return TryResult::Failed;
        // A dropped connection may end the body like a complete one; the length tells.
        if (!ended || tooSlow || (hasLength && received.size() != announced)) {
            return TryResult::Retry;
        }
        body = std::move(received);
        return TryResult::Done;
    });
}

bool HttpProbe(const std::wstring& url, HttpResource& resource, const RetryPolicy& policy) {
    resource = HttpResource();
    return WithRetries(policy, [&](DWORD& retryAfterMs) {
        HttpRequest opened;
        if (!OpenHttpRequest(url, HttpRequestKind::Probe, opened)) {
            return IsDropOrTimeout(GetLastError()) ? TryResult::Retry : TryResult::Failed;
        }
        const DWORD status = HttpStatusCode(opened);
        if (IsRetryableStatus(status)) {
            retryAfterMs = HttpRetryAfterMs(opened);
            return TryResult::Retry;
        }
        resource.status = status;
        HttpContentLength(opened, resource.length);
        std::wstring text;
        resource.acceptsRanges = HttpHeaderText(opened, WINHTTP_QUERY_ACCEPT_RANGES, text) &&
                                 text.find(L"bytes") != std::wstring::npos;
        if (HttpHeaderText(opened, WINHTTP_QUERY_ETAG, text) && text.compare(0, 2, L"W/") != 0) {
            resource.validator = text;
        } else if (HttpHeaderText(opened, WINHTTP_QUERY_LAST_MODIFIED, text)) {
            resource.validator = text;
        }
        return TryResult::Done;
    });
}
