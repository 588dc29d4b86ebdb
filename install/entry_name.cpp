#include "install/entry_name.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "base/text.h"

namespace {

// CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$ and CLOCK$ open a device, not a file, in
// any case and whatever follows the first dot ("nul.txt"); Windows also drops the spaces
// before that dot.
bool IsDeviceName(std::wstring component) {
    component.resize(std::min(component.find(L'.'), component.size()));
    while (!component.empty() && component.back() == L' ') component.pop_back();
    for (wchar_t& c : component) c = static_cast<wchar_t>(std::towupper(c));
    for (const wchar_t* device :
         {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$", L"CLOCK$"}) {
        if (component == device) return true;
    }
    return component.size() == 4 &&
           (component.compare(0, 3, L"COM") == 0 || component.compare(0, 3, L"LPT") == 0) &&
           std::wcschr(L"123456789\u00B9\u00B2\u00B3", component[3]) != nullptr;
}

}  // namespace

// A name stays below the destination only when it is relative, names no drive, stream or
// device (no colon anywhere, no device name) and never steps up. Windows drops trailing dots
// and spaces from path components, so "..." and ".. " are taken to step up as well.
bool IsSafeEntryName(const std::wstring& name, const char*& reason) {
    reason = "starts at the root";
    if (!name.empty() && name[0] == L'\\') return false;
    reason = "names a drive or stream (':')";
    if (name.find(L':') != std::wstring::npos) return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find(L'\\', start);
        if (end == std::wstring::npos) end = name.size();
        const std::wstring component = name.substr(start, end - start);
        const bool dotsAndSpaces = component.find_first_not_of(L". ") == std::wstring::npos;
        reason = "steps up out of the folder";
        if (dotsAndSpaces && std::count(component.begin(), component.end(), L'.') >= 2)
            return false;
        reason = "names a device";
        if (IsDeviceName(component)) return false;
        start = end + 1;
    }
    reason = "is a name the launcher keeps for itself";
    for (const wchar_t* kept : {L"version.files", L"version.files.tmp"})
        if (CompareStringOrdinal(name.c_str(), -1, kept, -1, TRUE) == CSTR_EQUAL) return false;
    reason = nullptr;
    return true;
}

bool IsSafeEntryName(const std::wstring& name) {
    const char* reason = nullptr;
    return IsSafeEntryName(name, reason);
}

std::wstring WideEntryName(const char* stored) {
    std::wstring name = Utf8ToWide(stored, std::strlen(stored));
    std::replace(name.begin(), name.end(), L'/', L'\\');
    return name;
}
