// winhttp-floor URL LENGTH: the least a WinHTTP client can do to fetch a file in four ranges:
// four plain GETs of the four byte ranges at once, bodies read and discarded. What it takes is
// the floor that a segmented download under the same WinHTTP can reach.
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace {

bool FetchRange(const std::wstring& url, unsigned long long first, unsigned long long last,
                unsigned long long& received) {
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return false;
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    HINTERNET session = WinHttpOpen(L"winhttp-floor", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = session ? WinHttpConnect(session, host, parts.nPort, 0) : nullptr;
    HINTERNET request =
        connection ? WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                        WINHTTP_DEFAULT_ACCEPT_TYPES,
                                        secure ? WINHTTP_FLAG_SECURE : 0)
                   : nullptr;
    bool ok = false;
    if (request) {
        wchar_t range[128];
        swprintf(range, 128, L"Range: bytes=%llu-%llu\r\n", first, last);
        ok = WinHttpSendRequest(request, range, static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA,
                                0, 0, 0) &&
             WinHttpReceiveResponse(request, nullptr);
        std::vector<char> buffer(262144);
        DWORD available = 0;
        while (ok && WinHttpQueryDataAvailable(request, &available) && available > 0) {
            DWORD read = 0;
            if (!WinHttpReadData(request, buffer.data(),
                                 available < buffer.size() ? available
                                                           : static_cast<DWORD>(buffer.size()),
                                 &read) ||
                read == 0) {
                break;
            }
            received += read;
        }
    }
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    if (session) WinHttpCloseHandle(session);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: winhttp-floor URL LENGTH\n", stderr);
        return 2;
    }
    const std::wstring url = argv[1];
    const unsigned long long length = std::wcstoull(argv[2], nullptr, 10);
    const unsigned long long q = length / 4;
    unsigned long long received[4] = {};
    bool ok[4] = {};
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i) {
        const unsigned long long first = q * i;
        const unsigned long long last = i == 3 ? length - 1 : first + q - 1;
        workers.emplace_back([&, i, first, last] { ok[i] = FetchRange(url, first, last, received[i]); });
    }
    for (std::thread& worker : workers) worker.join();
    const unsigned long long total = received[0] + received[1] + received[2] + received[3];
    std::printf("%llu\n", total);
    return ok[0] && ok[1] && ok[2] && ok[3] && total == length ? 0 : 1;
}
