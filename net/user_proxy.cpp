#include "net/user_proxy.h"

#include <memory>
#include <new>
#include <thread>

#include "net/http_request.h"

namespace {

// A string that WinHTTP allocated for the caller, freed with GlobalFree.
struct GlobalStringTraits {
    static wchar_t* Invalid() { return nullptr; }
    static bool IsValid(wchar_t* p) { return p != nullptr; }
    static void Close(wchar_t* p) { GlobalFree(p); }
};
using ScopedGlobalString = Scoped<wchar_t*, GlobalStringTraits>;

// The time an auto-config script or auto-detection may take, all steps together, before a
// request goes without it.
constexpr DWORD kProxyLookupMs = 3000;

// One look-up by script or auto-detection, shared by the caller and the thread that runs it:
// whichever lets go last frees it, so a thread still running after the caller gave up touches
// nothing freed.
struct ProxyLookup {
    std::wstring url;
    std::wstring autoConfigUrl;  // empty: none
    bool autoDetect = false;
    ScopedHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    // Written before done is set, read only after.
    bool chose = false;
    HttpProxy found;
};

// WinHTTP's synchronous look-up, which auto-detection (DHCP, DNS) and a script can keep
// for minutes.
void RunProxyLookup(ProxyLookup& state) {
    WINHTTP_AUTOPROXY_OPTIONS lookup = {};
    if (!state.autoConfigUrl.empty()) {
        lookup.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        lookup.lpszAutoConfigUrl = state.autoConfigUrl.c_str();
    }
    if (state.autoDetect) {
        lookup.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        lookup.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    lookup.fAutoLogonIfChallenged = TRUE;
    ScopedInternet session(WinHttpOpen(L"Hopwell/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    WINHTTP_PROXY_INFO found = {};
    const int ms = static_cast<int>(kProxyLookupMs);
    if (session && WinHttpSetTimeouts(session.get(), ms, ms, ms, ms) &&
        WinHttpGetProxyForUrl(session.get(), state.url.c_str(), &lookup, &found)) {
        ScopedGlobalString foundProxy(found.lpszProxy), foundBypass(found.lpszProxyBypass);
        if (found.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && foundProxy) {
            state.found.proxy = foundProxy.get();
            if (foundBypass) state.found.bypass = foundBypass.get();
        }
        state.chose = true;  // also when it chose no proxy
    }
}

// True when the look-up ended within kProxyLookupMs and chose; a thread that takes longer is
// left to end on its own.
bool LookUpWithin(const std::shared_ptr<ProxyLookup>& state, HttpProxy& chosen) {
    if (!state->done) return false;
    try {
        std::thread([state] {
            // Nothing may escape a thread's function: it would end the process.
            try {
                RunProxyLookup(*state);
            } catch (...) {
            }
            SetEvent(state->done.get());
        }).detach();
    } catch (...) {
        return false;  // no thread: no look-up
    }
    if (WaitForSingleObject(state->done.get(), kProxyLookupMs) != WAIT_OBJECT_0 || !state->chose)
        return false;
    chosen = state->found;
    return true;
}

}  // namespace

HttpProxy UserProxyFor(const std::wstring& url) {
    HttpProxy chosen;
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
        try {
            auto state = std::make_shared<ProxyLookup>();
            state->url = url;
            if (autoConfigUrl) state->autoConfigUrl = autoConfigUrl.get();
            state->autoDetect = user.fAutoDetect != FALSE;
            if (LookUpWithin(state, chosen)) return chosen;  // the script chose
        } catch (const std::bad_alloc&) {
        }
    }
    if (userProxy) chosen.proxy = userProxy.get();
    if (userProxy && userBypass) chosen.bypass = userBypass.get();
    return chosen;
}
