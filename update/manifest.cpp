#include "update/manifest.h"

#include <algorithm>
#include <cctype>

#include "base/text.h"
#include "install/entry_name.h"

std::string FindQuotedValue(const std::string& body, const std::string& name) {
    size_t key = body.find("\"" + name + "\"");
    if (key == std::string::npos) return std::string();
    size_t colon = body.find(':', key);
    if (colon == std::string::npos) return std::string();
    size_t open = body.find('"', colon);
    if (open == std::string::npos) return std::string();
    size_t close = body.find('"', open + 1);
    if (close == std::string::npos) return std::string();
    return body.substr(open + 1, close - open - 1);
}

namespace {

// Every "name": "value" pair between the first opening brace after the quoted key and the
// first closing brace after that, into members (the last of equal names wins). Nothing when
// the key or a brace is missing; a pair with a missing quote or colon ends the walk.
void ReadStringObject(const std::string& body, const std::string& key,
                      std::map<std::wstring, std::wstring>& members) {
    size_t at = body.find("\"" + key + "\"");
    if (at == std::string::npos) return;
    size_t open = body.find('{', at);
    if (open == std::string::npos) return;
    size_t close = body.find('}', open + 1);
    if (close == std::string::npos) return;
    const std::string text = body.substr(open + 1, close - open - 1);

    size_t offset = 0;
    for (;;) {
        size_t nameStart = text.find('"', offset);
        if (nameStart == std::string::npos) break;
        size_t nameEnd = text.find('"', nameStart + 1);
        if (nameEnd == std::string::npos) break;
        size_t colon = text.find(':', nameEnd);
        if (colon == std::string::npos) break;
        size_t valueStart = text.find('"', colon);
        if (valueStart == std::string::npos) break;
        size_t valueEnd = text.find('"', valueStart + 1);
        if (valueEnd == std::string::npos) break;
        std::wstring name = Utf8ToWide(text.data() + nameStart + 1, nameEnd - nameStart - 1);
        members[name] = Utf8ToWide(text.data() + valueStart + 1, valueEnd - valueStart - 1);
        offset = valueEnd + 1;
    }
}

// A key names files in the application directory (VERSION.zip and its part files), so it holds
// only ASCII letters, digits, '.', '-', '_' and '+', is not dots alone (nor empty), and
// VERSION.zip is no device name ("nul.zip").
bool IsSafeVersionKey(const std::wstring& key) {
    const auto allowed = [](wchar_t c) {
        return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') ||
               c == L'.' || c == L'-' || c == L'_' || c == L'+';
    };
    return key.find_first_not_of(L'.') != std::wstring::npos &&
           std::all_of(key.begin(), key.end(), allowed) && IsSafeEntryName(key + L".zip");
}

}  // namespace

bool ParseManifest(const std::string& body, UpdateManifest& manifest) {
    std::string latest = FindQuotedValue(body, "latest_version");
    if (latest.empty()) return false;
    std::map<std::wstring, std::wstring> urls;
    ReadStringObject(body, "download_urls", urls);
    for (const auto& entry : urls) {
        if (!IsSafeVersionKey(entry.first)) return false;
    }
    manifest.latest_version = Utf8ToWide(latest);
    manifest.download_urls = std::move(urls);
    return true;
}

ArchiveDigests ParseArchiveDigests(const std::string& body) {
    ArchiveDigests digests;
    ReadStringObject(body, "sha256", digests);
    return digests;
}

ArchiveSizes ParseArchiveSizes(const std::string& body) {
    ArchiveSizes sizes;
    const size_t at = body.find("\"size\"");
    const size_t open = at == std::string::npos ? at : body.find('{', at);
    const size_t close = open == std::string::npos ? open : body.find('}', open);
    if (close == std::string::npos) return sizes;
    const std::string text = body.substr(open + 1, close - open - 1);
    for (size_t offset = 0;;) {
        const size_t nameStart = text.find('"', offset);
        const size_t nameEnd =
            nameStart == std::string::npos ? nameStart : text.find('"', nameStart + 1);
        const size_t colon = nameEnd == std::string::npos ? nameEnd : text.find(':', nameEnd);
        if (colon == std::string::npos) break;
        const size_t first = std::min(text.find_first_not_of(" \t\r\n", colon + 1), text.size());
        size_t end = first;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
        // Up to 18 digits always fit.
        if (end > first && end - first <= 18) {
            sizes[Utf8ToWide(text.data() + nameStart + 1, nameEnd - nameStart - 1)] =
                std::stoll(text.substr(first, end - first));
        }
        offset = std::max(end, colon + 1);
    }
    return sizes;
}

ListDigests ParseListDigests(const std::string& body) {
    ListDigests digests;
    ReadStringObject(body, "files", digests);
    return digests;
}

std::wstring FileListUrl(const std::wstring& archiveUrl) {
    std::wstring lower = archiveUrl;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; });
    const size_t zip = lower.rfind(L".zip");
    if (zip == std::wstring::npos) return archiveUrl + L".files";
    return archiveUrl.substr(0, zip) + L".files" + archiveUrl.substr(zip + 4);
}
