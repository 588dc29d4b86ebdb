#include "install/entry_name.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "base/text.h"

namespace {

// Names the launcher keeps for itself straight in AppDirectory (a folder's, with everything in
// it): an entry spelled like one could forge the journal or take the place of a file the pass
// relies on. One line per name.
const wchar_t* const kKeptNames[] = {
    L"hopwell-commit.journal",
    L"hopwell-commit.journal.tmp",
    L"hopwell-shell-staging",
    L"hopwell.lock",
    L"version.ini.tmp",
    L"version.files",
    L"version.files.tmp",
};

// What a commit stages or moves aside beside its target, in any folder, a number possibly
// following. Both give the short-name extension "HOP".
const wchar_t* const kKeptSuffixes[] = {L".hopwell-new", L".hopwell-old"};
const wchar_t kKeptSuffixExtension[] = L"HOP";

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$ and CLOCK$ open a device, not a file, in
// any case and whatever follows the first dot ("nul.txt"); Windows also drops the spaces
// before that dot.
bool IsDeviceName(std::wstring component) {
    component.resize(std::min(component.find(L'.'), component.size()));
    while (!component.empty() && component.back() == L' ') component.pop_back();
    component = Upper(component);
    for (const wchar_t* device :
         {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$", L"CLOCK$"}) {
        if (component == device) return true;
    }
    return component.size() == 4 &&
           (component.compare(0, 3, L"COM") == 0 || component.compare(0, 3, L"LPT") == 0) &&
           std::wcschr(L"123456789\u00B9\u00B2\u00B3", component[3]) != nullptr;
}

// A component as Windows opens it: trailing dots and spaces dropped, upper-cased.
std::wstring AsOpened(std::wstring component) {
    while (!component.empty() && (component.back() == L'.' || component.back() == L' '))
        component.pop_back();
    return Upper(component);
}

bool EndsWithKeptSuffix(const std::wstring& upper) {
    const size_t digits = upper.size() - (upper.find_last_not_of(L"0123456789") + 1);
    const std::wstring stem = upper.substr(0, upper.size() - digits);
    return std::any_of(std::begin(kKeptSuffixes), std::end(kKeptSuffixes), [&](const wchar_t* s) {
        const std::wstring suffix = Upper(s);
        return stem.size() >= suffix.size() &&
               stem.compare(stem.size() - suffix.size(), suffix.size(), suffix) == 0;
    });
}

// A generated short name has a base of at most 8 characters with a '~' after at least one
// character of the long name (Windows "HOPWEL~1", "HO3A1F~1", "H~123456"; Wine "HOPW~K2Q"),
// and the first 3 characters of the long name's extension. Short names need not be on (and
// are made at creation), so any such spelling of a kept name is refused: one whose extension
// is the kept name's and whose characters before the '~' begin the kept name's base (or, in
// the hashed form, are its first 2 followed by 4 hex digits). Other names with a '~' pass.
bool IsShortNameShape(const std::wstring& upper, std::wstring& prefix, std::wstring& extension) {
    const size_t dot = upper.find(L'.');
    const std::wstring base = upper.substr(0, dot);
    extension = dot == std::wstring::npos ? L"" : upper.substr(dot + 1);
    const size_t tilde = base.find(L'~');
    if (base.size() > 8 || extension.size() > 3 || extension.find(L'.') != std::wstring::npos ||
        tilde == std::wstring::npos || tilde == 0)
        return false;
    prefix = base.substr(0, tilde);
    return true;
}

bool MayBeShortNameOf(const std::wstring& prefix, const std::wstring& extension,
                      const std::wstring& kept) {
    const std::wstring upper = Upper(kept);
    const size_t dot = upper.rfind(L'.');
    std::wstring base = upper.substr(0, dot);
    base.erase(std::remove_if(base.begin(), base.end(),
                              [](wchar_t c) { return c == L'.' || c == L' '; }),
               base.end());
    const std::wstring keptExtension =
        dot == std::wstring::npos ? L"" : upper.substr(dot + 1, 3);
    if (extension != keptExtension) return false;
    const bool hashed = prefix.size() == 6 && base.compare(0, 2, prefix, 0, 2) == 0 &&
                        prefix.find_first_not_of(L"0123456789ABCDEF", 2) == std::wstring::npos;
    return hashed || base.compare(0, prefix.size(), prefix) == 0;
}

// The reason a component is one of the launcher's own names, or null. top: it stands straight
// in AppDirectory.
const char* KeptNameReason(const std::wstring& component, bool top) {
    const std::wstring upper = AsOpened(component);
    if (EndsWithKeptSuffix(upper)) return "is a name the launcher keeps for itself";
    for (const wchar_t* kept : kKeptNames)
        if (top && upper == Upper(kept)) return "is a name the launcher keeps for itself";
    std::wstring prefix, extension;
    if (!IsShortNameShape(upper, prefix, extension)) return nullptr;
    if (extension == kKeptSuffixExtension ||
        (top && std::any_of(std::begin(kKeptNames), std::end(kKeptNames), [&](const wchar_t* k) {
             return MayBeShortNameOf(prefix, extension, k);
         })))
        return "may be the short name of a name the launcher keeps for itself";
    return nullptr;
}

}  // namespace

// A name stays below the destination only when it is relative, names no drive, stream or
// device (no colon anywhere, no device name) and never steps up. Windows drops trailing dots
// and spaces from path components, so "..." and ".. " are taken to step up as well. Control
// characters would also let a name add lines to the journal.
bool IsSafeEntryName(const std::wstring& name, const char*& reason) {
    reason = "holds a control character";
    if (std::any_of(name.begin(), name.end(), [](wchar_t c) { return c < L' '; })) return false;
    reason = "holds a character Windows refuses in names (<>\"|?*)";
    if (name.find_first_of(L"<>\"|?*") != std::wstring::npos) return false;
    reason = "starts at the root";
    if (!name.empty() && name[0] == L'\\') return false;
    reason = "names a drive or stream (':')";
    if (name.find(L':') != std::wstring::npos) return false;
    size_t start = 0;
    bool top = true;  // every component so far stays in the folder itself ("." or nothing)
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
        reason = KeptNameReason(component, top);
        if (reason) return false;
        top = top && dotsAndSpaces;
        start = end + 1;
    }
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
