#include "tools/pack_release.h"

#include <windows.h>

#include <filesystem>
#include <map>

#include "base/hex.h"
#include "base/sha256.h"
#include "base/text.h"
#include "install/entry_name.h"
#include "install/file_list.h"
#include "tools/publish_release.h"
#include "tools/zip_writer.h"
#include "update/local_files.h"
#include "update/version.h"

namespace {

const wchar_t kPackSuffix[] = L".pack";

bool MatchHere(const wchar_t* glob, const wchar_t* text) {
    for (; *glob; ++glob, ++text) {
        if (*glob == L'*') {
            for (const wchar_t* rest = text;; ++rest) {
                if (MatchHere(glob + 1, rest)) return true;
                if (!*rest || *rest == L'/') return false;
            }
        }
        if (!*text || (*glob == L'?' ? *text == L'/' : *glob != *text)) return false;
    }
    return !*text;
}

// The newest list in folder of a version before version; false when one cannot be read.
bool ReadEarlierList(const std::wstring& folder, const std::wstring& version,
                     std::wstring& earlier, FileList& list, std::string& error) {
    std::error_code code;
    for (const auto& entry : std::filesystem::directory_iterator(folder, code)) {
        const std::wstring name = entry.path().filename().wstring();
        if (name.size() <= 6 || UpperPath(name.substr(name.size() - 6)) != L".FILES") continue;
        const std::wstring other = name.substr(0, name.size() - 6);
        if (!IsVersionText(other) || CompareVersions(other, version) >= 0) continue;
        if (earlier.empty() || CompareVersions(other, earlier) > 0) earlier = other;
    }
    if (code) {
        error = "cannot read the folder " + WideToUtf8(folder);
        return false;
    }
    std::string text;
    if (earlier.empty()) return true;
    if (!ReadFileToString(folder + L"\\" + earlier + L".files", text) ||
        !ParseFileList(text, list, error)) {
        error = WideToUtf8(earlier) + ".files: " + (error.empty() ? "cannot be read" : error);
        return false;
    }
    return true;
}

// Every regular file below buildDir, relative and '\'-separated, each name checked.
bool CollectBuild(const std::wstring& buildDir, std::vector<std::wstring>& files,
                  std::string& error) {
    std::error_code code;
    const std::filesystem::path root(buildDir);
    for (std::filesystem::recursive_directory_iterator it(root, code), end; !code && it != end;
         it.increment(code)) {
        if (!it->is_regular_file()) continue;
        const std::wstring name = it->path().lexically_relative(root).wstring();
        const char* reason = nullptr;
        if (!IsSafeEntryName(name, reason)) {
            error = WideToUtf8(buildDir) + " holds a file every launcher refuses: " +
                    StoredPath(name) + " (" + reason + ")";
            return false;
        }
        files.push_back(name);
    }
    if (code) {
        error = "cannot read the folder " + WideToUtf8(buildDir);
        return false;
    }
    if (files.empty()) error = WideToUtf8(buildDir) + " holds no file";
    return !files.empty();
}

}  // namespace

bool MatchesUserGlob(const std::wstring& glob, const std::wstring& path) {
    const std::wstring text =
        glob.find(L'/') == std::wstring::npos ? path.substr(path.rfind(L'/') + 1) : path;
    return MatchHere(UpperPath(glob).c_str(), UpperPath(text).c_str());
}

bool PackRelease(const std::wstring& buildDir, const std::wstring& version,
                 const std::wstring& folder, bool full, const std::vector<std::wstring>& userGlobs,
                 std::vector<std::string>& report, std::string& error) {
    if (!IsVersionText(version)) {
        error = "not a version (digits and dots): " + WideToUtf8(version);
        return false;
    }
    std::vector<std::wstring> names;
    std::wstring earlierVersion;
    FileList earlier;
    if (!CollectBuild(buildDir, names, error) ||
        !ReadEarlierList(folder, version, earlierVersion, earlier, error))
        return false;
    std::map<std::wstring, const ListedFile*> before;
    for (const ListedFile& file : earlier) before[UpperPath(file.path)] = &file;

    FileList list;
    std::vector<std::wstring> packed;
    std::vector<std::string> lines;
    size_t added = 0, changed = 0, unchanged = 0;
    for (const std::wstring& name : names) {
        ListedFile file;
        std::string digest;
        WIN32_FILE_ATTRIBUTE_DATA data{};
        const std::wstring path = buildDir + L"\\" + name;
        if (!Sha256OfFile(path, digest) ||
            !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
            error = "cannot read " + WideToUtf8(path);
            return false;
        }
        file.sha256 = HexText(digest);
        file.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        file.path = name;
        const std::wstring stored = Utf8ToWide(StoredPath(name));
        for (const std::wstring& glob : userGlobs) file.user |= MatchesUserGlob(glob, stored);
        const auto old = before.find(UpperPath(name));
        const bool same = old != before.end() && old->second->sha256 == file.sha256;
        if (old == before.end()) {
            ++added;
            lines.push_back("added " + StoredPath(name));
        } else if (!same) {
            ++changed;
            lines.push_back("changed " + StoredPath(name));
        } else {
            ++unchanged;
        }
        file.source = same && !full ? old->second->source : version;
        if (old != before.end()) before.erase(old);
        if (file.source == version) packed.push_back(name);
        list.push_back(file);
    }
    for (const auto& [upper, file] : before) lines.push_back("removed " + StoredPath(file->path));

    // Both are written under other names, checked, and then take their own together.
    const std::wstring zipPath = folder + L"\\" + version + L".zip";
    const std::wstring listPath = folder + L"\\" + version + L".files";
    ZipWriter zip;
    bool written = ZipWriterOpen(zip, zipPath + kPackSuffix, error);
    for (size_t i = 0; written && i < packed.size(); ++i)
        written = ZipWriterAddFile(zip, buildDir + L"\\" + packed[i], StoredPath(packed[i]), error);
    written = written && ZipWriterFinish(zip, error);
    zip.file.reset();
    if (written && !WriteStringToFile(listPath + kPackSuffix, FileListText(list))) {
        written = false;
        error = "cannot write " + WideToUtf8(listPath + kPackSuffix);
    }
    written = written && CheckArchive(zipPath + kPackSuffix, version + L".zip", error);
    if (written && (!MoveFileExW((zipPath + kPackSuffix).c_str(), zipPath.c_str(),
                                 MOVEFILE_REPLACE_EXISTING) ||
                    !MoveFileExW((listPath + kPackSuffix).c_str(), listPath.c_str(),
                                 MOVEFILE_REPLACE_EXISTING))) {
        written = false;
        error = "cannot replace " + WideToUtf8(zipPath) + " and " + WideToUtf8(listPath);
    }
    if (!written) {
        DeleteFileW((zipPath + kPackSuffix).c_str());
        DeleteFileW((listPath + kPackSuffix).c_str());
        return false;
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(zipPath.c_str(), GetFileExInfoStandard, &data);
    const uint64_t zipSize = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    report = lines;
    report.push_back(std::to_string(added) + " added, " + std::to_string(changed) +
                     " changed, " + std::to_string(before.size()) + " removed, " +
                     std::to_string(unchanged) + " unchanged" +
                     (earlierVersion.empty() ? std::string(" (no earlier list)")
                                             : " since " + WideToUtf8(earlierVersion)));
    report.push_back("wrote " + WideToUtf8(zipPath) + " (" + std::to_string(packed.size()) +
                     " files, " + std::to_string(zipSize) + " bytes) and " +
                     WideToUtf8(listPath) + " (" + std::to_string(list.size()) + " files)");
    return true;
}
