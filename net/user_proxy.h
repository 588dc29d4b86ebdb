#pragma once
#include <string>

// The proxy a request goes through: empty for WinHTTP's default (its own setting, else none).
struct HttpProxy {
    std::wstring proxy;   // as Internet Options writes it: "host:port", "http=host:port;..."
    std::wstring bypass;  // hosts that go direct, "<local>" for names without a dot
};

// The proxy for url when WinHTTP's own setting names none (WinHTTP reads only its own): the
// user's Internet Options. An auto-config script or auto-detection comes first, bounded to 3 s
// in all (on a thread of its own, left to end by itself when late); then a static proxy with its
// bypass list. Whatever fails is direct.
HttpProxy UserProxyFor(const std::wstring& url);
