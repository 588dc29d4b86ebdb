// UTF-8 to UTF-16 for native fuzz builds, with the replacement behaviour of the Windows
// conversion (an invalid or truncated sequence becomes U+FFFD).
#include <string>

#include "base/text.h"

std::wstring Utf8ToWide(const char* bytes, size_t length) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
    std::wstring out;
    size_t i = 0;
    while (i < length) {
        const unsigned lead = p[i];
        size_t trail = lead < 0x80 ? 0 : lead >= 0xF0 && lead < 0xF5 ? 3 : lead >= 0xE0 ? 2
                     : lead >= 0xC2 ? 1 : SIZE_MAX;
        if (lead >= 0xF5) trail = SIZE_MAX;
        bool ok = trail != SIZE_MAX && i + trail < length;
        unsigned code = !ok || trail == 0 ? lead : lead & (0x3F >> trail);
        for (size_t k = 1; ok && k <= trail; k++) {
            ok = (p[i + k] & 0xC0) == 0x80;
            code = (code << 6) | (p[i + k] & 0x3F);
        }
        ok = ok && !(trail == 2 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) &&
             !(trail == 3 && (code < 0x10000 || code > 0x10FFFF));
        if (!ok) {
            out.push_back(0xFFFD);
            i++;
            continue;
        }
        i += trail + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(code));
        }
    }
    return out;
}

std::wstring Utf8ToWide(const std::string& bytes) { return Utf8ToWide(bytes.data(), bytes.size()); }
