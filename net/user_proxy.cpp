#include "net/user_proxy.h"

#include "net/http_request.h"

namespace {

// A string that WinHTTP allocated for the caller, freed with GlobalFree.
struct GlobalStringTraits {
    static wchar_t* Invalid() { return nullptr; }
    static bool IsValid(wchar_t* p) { return p != nullptr; }
    static void Close(wchar_t* p) { GlobalFree(p); }
};
using ScopedGlobalString = Scoped<wchar_t*, GlobalStringTraits>;

// The time an auto-config script or auto-detection may take, per step, before a request goes
// direct.
constexpr int kProxyLookupMs = 3000;

}  // namespace

HttpProxy UserProxyFor(const std::wstring& url) {
    HttpProxy chosen;
    std::wstring& proxy = chosen.proxy;
    std::wstring& bypass = chosen.bypass;
    WINHTTP_PROXY_INFO own = {};
    if (WinHttpGetDefaultProxyConfiguration(&own)) {
        ScopedGlobalString ownProxy(own.lpszProxy), ownBypass(own.lpszProxyBypass);
        if (own.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) return chosen;
    }
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user = {};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&user)) return chosen;
    ScopedGlobalString autoConfigUrl(user.lpszAutoConfigUrl), userProxy(user.lpszProxy),
        userBypass(user.lpszProxyBypass);

    if (user.fAutoDetect || autoConfigUrl) {
        WINHTTP_AUTOPROXY_OPTIONS lookup = {};
        if (autoConfigUrl) {
            lookup.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
            lookup.lpszAutoConfigUrl = autoConfigUrl.get();
        }
        if (user.fAutoDetect) {
            lookup.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
            lookup.dwAutoDetectFlags =
                WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        }
        lookup.fAutoLogonIfChallenged = TRUE;
        ScopedInternet session(WinHttpOpen(L"Hopwell/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                           WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        WINHTTP_PROXY_INFO found = {};
        if (session &&
            WinHttpSetTimeouts(session.get(), kProxyLookupMs, kProxyLookupMs, kProxyLookupMs,
                               kProxyLookupMs) &&
            WinHttpGetProxyForUrl(session.get(), url.c_str(), &lookup, &found)) {
            ScopedGlobalString foundProxy(found.lpszProxy), foundBypass(found.lpszProxyBypass);
            if (found.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && foundProxy) {
                proxy = foundProxy.get();
                if (foundBypass) bypass = foundBypass.get();
            }
            return chosen;  // the script chose, also when it chose no proxy
        }
    }
    if (userProxy) proxy = userProxy.get();
    if (userProxy && userBypass) bypass = userBypass.get();
    return chosen;
}

