#pragma once
// The request set-up that every request of the download engine shares.
#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <functional>
#include <string>

#include "base/scoped_handle.h"
#include "net/http_client.h"
#include "net/user_proxy.h"

// A WinHTTP session, connection or request handle, closed with WinHttpCloseHandle.
struct InternetHandleTraits {
    static HINTERNET Invalid() { return nullptr; }
    static bool IsValid(HINTERNET h) { return h != nullptr; }
    static void Close(HINTERNET h) { WinHttpCloseHandle(h); }
};
using ScopedInternet = Scoped<HINTERNET, InternetHandleTraits>;

// What a request is for; each kind has its own verb, options and header lines.
enum class HttpRequestKind {
    ManifestFetch,  // GET, content decoding wanted
    Probe,          // HEAD
    Segment,        // GET of one byte range, identity coding
    SingleStream,   // GET of a whole file, content decoding wanted
};

// The three handles of one request. Members are destroyed in reverse order, so the request
// is closed first, then the connection, then the session.
struct HttpRequest {
    ScopedInternet session;
    ScopedInternet connection;
    ScopedInternet request;
    // False when WinHTTP refused to decode gzip/deflate for this request; the request then
    // asked for identity coding instead.
    bool decompressing = false;
    // The lowest-speed window that ReadHttpBody applies.
    DWORD lowSpeedWindowMs = kLowSpeedWindowMs;
};

// Splits url, opens session, connection and request of the given kind through proxy (null:
// UserProxyFor(url)), adds its header lines and extraHeader's (the range lines), sends it and
// receives the response; the
// headers, and any silence in the body, may last at most lowSpeedWindowMs. True with every
// handle open once a response has arrived, whatever its status; false with every handle it had
// opened closed again, and GetLastError telling why.
// With session (OpenHttpSession's, through the same proxy), the request goes through it, and
// may reuse a connection an earlier request of it left open.
bool OpenHttpRequest(const std::wstring& url, HttpRequestKind kind, HttpRequest& opened,
                     const std::wstring& extraHeader = std::wstring(),
                     DWORD lowSpeedWindowMs = kLowSpeedWindowMs,
                     const HttpProxy* proxy = nullptr, HINTERNET session = nullptr);

// A session through proxy for requests one after another: a download's connection keeps its
// TCP and TLS connection from one range to the next instead of making a new one.
ScopedInternet OpenHttpSession(const HttpProxy& proxy);

// A request that failed this way (GetLastError after OpenHttpRequest) met a dropped connection
// or a time-out, which another try may not meet; a refused connection, an unknown host or a
// certificate refused would meet the same again.
bool IsDropOrTimeout(DWORD error);

// A certificate or TLS failure, which no retry of a download mends; anything else may be a
// network that comes back.
inline bool IsSecureFailure(DWORD error) {
    return error == ERROR_WINHTTP_SECURE_FAILURE || error == ERROR_WINHTTP_SECURE_INVALID_CA ||
           error == ERROR_WINHTTP_SECURE_INVALID_CERT ||
           error == ERROR_WINHTTP_SECURE_CERT_CN_INVALID ||
           error == ERROR_WINHTTP_SECURE_CERT_DATE_INVALID ||
           error == ERROR_WINHTTP_SECURE_CERT_REVOKED;
}

// The status code of a received response; 0 when it cannot be read.
DWORD HttpStatusCode(const HttpRequest& opened);

// The text of one response header; false when the response has none.
bool HttpHeaderText(const HttpRequest& opened, DWORD query, std::wstring& value);

// Content-Length read as text, so lengths of 4 GiB and more survive. False, with length 0,
// when the response has none or it is not a plain decimal number.
bool HttpContentLength(const HttpRequest& opened, uint64_t& length);

// How long the answer's Retry-After asks to wait, in milliseconds (seconds or an HTTP date); 0
// when it has none or it cannot be read.
DWORD HttpRetryAfterMs(const HttpRequest& opened);

// Decimal text without sign or spaces to an unsigned 64-bit number; false on anything else,
// including overflow.
bool ParseUnsigned64(const std::wstring& text, uint64_t& value);

// Every body is read in chunks of at most this many bytes into one buffer per operation.
constexpr DWORD kReadBufferSize = 262144;

// Reads the response body chunk by chunk, handing each chunk to consume, which returns false
// to stop. True when the body ended (nothing more available, or a read of 0 bytes); false when
// a query or a read failed, consume stopped, or the body came slower than the lowest speed
// (fewer than kLowSpeedBytes in the request's window, or silence as long); tooSlow, when
// given, is set in that last case.
bool ReadHttpBody(const HttpRequest& opened,
                  const std::function<bool(const char* data, DWORD size)>& consume,
                  bool* tooSlow = nullptr);
