#include "update/manifest_expiry.h"

#include <windows.h>

#include <cstdio>

#include "update/manifest.h"

namespace {

uint64_t Ticks(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

uint64_t CurrentUtcTime() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return Ticks(now);
}

std::string UtcTimeText(uint64_t moment) {
    const FILETIME time{static_cast<DWORD>(moment), static_cast<DWORD>(moment >> 32)};
    SYSTEMTIME fields{};
    if (!FileTimeToSystemTime(&time, &fields)) return std::string();
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", fields.wYear,
                  fields.wMonth, fields.wDay, fields.wHour, fields.wMinute, fields.wSecond);
    return text;
}

bool ReadManifestExpiry(const std::string& body, uint64_t& expires) {
    expires = 0;
    if (body.find("\"expires\"") == std::string::npos) return true;
    const std::string text = FindQuotedValue(body, "expires");
    const char* format = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != std::char_traits<char>::length(format)) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (format[i] == 'd' ? text[i] < '0' || text[i] > '9' : text[i] != format[i]) return false;
    }
    const auto number = [&](size_t at, size_t digits) {
        return static_cast<WORD>(std::stoi(text.substr(at, digits)));
    };
    SYSTEMTIME fields{};
    fields.wYear = number(0, 4);
    fields.wMonth = number(5, 2);
    fields.wDay = number(8, 2);
    fields.wHour = number(11, 2);
    fields.wMinute = number(14, 2);
    fields.wSecond = number(17, 2);
    FILETIME time{};
    if (!SystemTimeToFileTime(&fields, &time)) return false;
    // Read back, so a date the platform would shift ("02-30") is refused, not moved.
    if (UtcTimeText(Ticks(time)) != text) return false;
    expires = Ticks(time);
    return expires != 0;
}

bool ManifestHasExpired(const std::string& body, uint64_t now) {
    uint64_t expires = 0;
    return !ReadManifestExpiry(body, expires) || (expires != 0 && now >= expires);
}
