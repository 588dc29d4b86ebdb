#include "update/mirrors.h"

#include <windows.h>

#include <algorithm>

#include "base/text.h"

namespace {

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() > prefix.size() &&
           CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

bool IsMirrorBase(const std::wstring& url) {
    size_t host = 0;
    if (StartsWithNoCase(url, L"https://")) host = 8;
    else if (StartsWithNoCase(url, L"http://")) host = 7;
    else return false;
    if (url[host] == L'/') return false;
    return std::none_of(url.begin(), url.end(),
                        [](wchar_t c) { return c <= L' ' || c >= 0x7f || c == L'\\'; });
}

}  // namespace

std::vector<std::wstring> ParseMirrors(const std::string& body) {
    std::vector<std::wstring> mirrors;
    const size_t at = body.find("\"mirrors\"");
    const size_t open = at == std::string::npos ? at : body.find('[', at);
    const size_t close = open == std::string::npos ? open : body.find(']', open);
    if (close == std::string::npos) return mirrors;
    for (size_t offset = open + 1;;) {
        const size_t first = body.find('"', offset);
        const size_t last = first < close ? body.find('"', first + 1) : std::string::npos;
        if (last == std::string::npos || last > close) break;
        std::wstring url = Utf8ToWide(body.data() + first + 1, last - first - 1);
        if (IsMirrorBase(url)) {
            if (url.back() != L'/') url += L'/';
            mirrors.push_back(url);
        }
        offset = last + 1;
    }
    return mirrors;
}

std::wstring MirrorUrl(const std::wstring& mirror, const std::wstring& archiveUrl) {
    const std::wstring path = archiveUrl.substr(0, archiveUrl.find_first_of(L"?#"));
    const size_t scheme = path.find(L"://");
    const size_t host = scheme == std::wstring::npos ? 0 : scheme + 3;
    const size_t slash = path.rfind(L'/');
    // A URL without a path past its host names no file.
    if (slash == std::wstring::npos || slash < host || slash + 1 == path.size()) return {};
    return mirror + path.substr(slash + 1);
}
