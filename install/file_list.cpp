#include "install/file_list.h"

#include <windows.h>

#include <algorithm>
#include <set>

#include "base/text.h"
#include "install/entry_name.h"

namespace {

bool IsLowerHex(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A version as manifests key it: ASCII letters, digits, '.', '-', '_' and '+'.
bool IsSourceText(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789.-_+abcdefghijklmnopqrstuvwxyz"
                                                   "ABCDEFGHIJKLMNOPQRSTUVWXYZ") ==
                                std::string::npos;
}

// One line into its fields; false with why.
// pathRefused: the fields were good and the path is what was refused.
bool ParseLine(const std::string& line, ListedFile& file, std::string& stored, const char*& why,
               bool& pathRefused) {
    pathRefused = false;
    size_t at = 0;
    std::string field[4];
    for (std::string& part : field) {
        const size_t space = line.find(' ', at);
        why = "has fewer than five fields";
        if (space == std::string::npos) return false;
        part = line.substr(at, space - at);
        at = space + 1;
    }
    stored = line.substr(at);
    why = "has no SHA-256 of 64 lower-case hex digits";
    if (!IsLowerHex(field[0])) return false;
    why = "has no size in bytes";
    const std::string most = "18446744073709551615";
    if (field[1].empty() || field[1].find_first_not_of("0123456789") != std::string::npos ||
        (field[1].size() > 1 && field[1][0] == '0') || field[1].size() > most.size() ||
        (field[1].size() == most.size() && field[1] > most))
        return false;
    why = "has no source version";
    if (!IsSourceText(field[2])) return false;
    why = "has flags other than - and u";
    if (field[3] != "-" && field[3] != "u") return false;
    why = "has an empty path or one ending in /";
    if (stored.empty() || stored.back() == '/') return false;
    file.sha256 = field[0];
    file.size = std::stoull(field[1]);
    file.source = Utf8ToWide(field[2]);
    file.user = field[3] == "u";
    file.path = WideEntryName(stored.c_str());
    pathRefused = true;
    why = "holds a NUL";
    // A NUL in the path would cut it short of what was checked.
    return stored.find('\0') == std::string::npos && IsSafeEntryName(file.path, why);
}

}  // namespace

std::string StoredPath(const std::wstring& path) {
    std::string stored = WideToUtf8(path);
    std::replace(stored.begin(), stored.end(), '\\', '/');
    return stored;
}

std::wstring UpperPath(std::wstring path) {
    if (!path.empty()) CharUpperBuffW(&path[0], static_cast<DWORD>(path.size()));
    return path;
}

bool ParseFileList(const std::string& text, FileList& list, std::string& error) {
    FileList parsed;
    std::set<std::wstring> seen;
    std::string previous;
    size_t number = 0;
    for (size_t at = 0; at < text.size(); ++number) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            error = "line " + std::to_string(number + 1) + " has no line end";
            return false;
        }
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        ListedFile file;
        std::string stored;
        const char* why = nullptr;
        bool pathRefused = false;
        if (!ParseLine(line, file, stored, why, pathRefused)) {
            error = "line " + std::to_string(number + 1) +
                    (pathRefused ? ": " + stored + " (" + why + ")" : std::string(" ") + why);
            return false;
        }
        if (number > 0 && !(previous < stored)) {
            error = "line " + std::to_string(number + 1) + " is out of order: " + stored;
            return false;
        }
        if (!seen.insert(UpperPath(file.path)).second) {
            error = "line " + std::to_string(number + 1) + " lists a path twice: " + stored;
            return false;
        }
        previous = stored;
        parsed.push_back(std::move(file));
    }
    list.swap(parsed);
    return true;
}

std::string FileListText(FileList list) {
    std::vector<std::pair<std::string, const ListedFile*>> lines;
    for (const ListedFile& file : list) lines.emplace_back(StoredPath(file.path), &file);
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const auto& [stored, file] : lines)
        text += file->sha256 + " " + std::to_string(file->size) + " " + WideToUtf8(file->source) +
                (file->user ? " u " : " - ") + stored + "\n";
    return text;
}
