#include "update/manifest.h"

#include "base/text.h"

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

bool ParseManifest(const std::string& body, UpdateManifest& manifest) {
    std::string latest = FindQuotedValue(body, "latest_version");
    if (latest.empty()) return false;
    manifest.latest_version = Utf8ToWide(latest);

    size_t key = body.find("\"download_urls\"");
    if (key == std::string::npos) return true;
    size_t open = body.find('{', key);
    if (open == std::string::npos) return true;
    size_t close = body.find('}', open + 1);
    if (close == std::string::npos) return true;
    const std::string members = body.substr(open + 1, close - open - 1);

    size_t offset = 0;
    for (;;) {
        size_t nameStart = members.find('"', offset);
        if (nameStart == std::string::npos) break;
        size_t nameEnd = members.find('"', nameStart + 1);
        if (nameEnd == std::string::npos) break;
        size_t colon = members.find(':', nameEnd);
        if (colon == std::string::npos) break;
        size_t valueStart = members.find('"', colon);
        if (valueStart == std::string::npos) break;
        size_t valueEnd = members.find('"', valueStart + 1);
        if (valueEnd == std::string::npos) break;
        std::wstring name = Utf8ToWide(members.data() + nameStart + 1, nameEnd - nameStart - 1);
        manifest.download_urls[name] =
            Utf8ToWide(members.data() + valueStart + 1, valueEnd - valueStart - 1);
        offset = valueEnd + 1;
    }
    return true;
}
