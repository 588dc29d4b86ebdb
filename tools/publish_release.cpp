#include "tools/publish_release.h"

#include <windows.h>

#include <algorithm>
#include <map>

#include "base/hex.h"
#include "base/scoped_handle.h"
#include "base/sha256.h"
#include "base/text.h"
#include "install/entry_name.h"
#include "install/file_list.h"
#include "install/zip_reader.h"
#include "tools/signing_key.h"
#include "update/local_files.h"
#include "update/manifest.h"
#include "update/mirrors.h"
#include "update/manifest_expiry.h"
#include "update/signature.h"
#include "update/version.h"

namespace {

const wchar_t kManifestName[] = L"version.json";
const wchar_t kSignatureName[] = L"version.json.sig";
const wchar_t kNewSuffix[] = L".new";
const wchar_t kAsideSuffix[] = L".old";
constexpr uint64_t kTicksPerDay = 86400ull * 10000000;
constexpr unsigned long kMostDays = 36500;

struct Archive {
    std::wstring version;
    std::wstring fileName;
    std::string digest;
    uint64_t size = 0;  // bytes, so that a launcher refuses a longer body before writing it
    std::string listDigest;  // of VERSION.files; empty: the version has no list
};

std::string Utf8(const std::wstring& text) { return WideToUtf8(text); }

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
    return folder + L"\\" + name;
}

bool EndsWithNoCase(const std::wstring& text, const std::wstring& suffix) {
    return text.size() >= suffix.size() &&
           CompareStringOrdinal(text.c_str() + text.size() - suffix.size(),
                                static_cast<int>(suffix.size()), suffix.c_str(),
                                static_cast<int>(suffix.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

bool IsVersionText(const std::wstring& text) {
    if (text.empty() || text.front() == L'.' || text.back() == L'.') return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c == L'.' ? text[i + 1] == L'.' : (c < L'0' || c > L'9')) return false;
    }
    return true;
}

namespace {

// https, a host, and nothing the manifest's parser would cut at (quotes, braces) or a URL
// cannot hold as it stands (backslashes, spaces, control and non-ASCII characters).
bool IsHttpsBaseUrl(const std::wstring& url) {
    const std::wstring scheme = L"https://";
    if (url.size() <= scheme.size() ||
        CompareStringOrdinal(url.c_str(), static_cast<int>(scheme.size()), scheme.c_str(),
                             static_cast<int>(scheme.size()), TRUE) != CSTR_EQUAL ||
        url[scheme.size()] == L'/')
        return false;
    return std::none_of(url.begin(), url.end(), [](wchar_t c) {
        return c <= L' ' || c >= 0x7f || c == L'"' || c == L'\\' || c == L'{' || c == L'}';
    });
}

}  // namespace

bool CheckArchive(const std::wstring& path, const std::wstring& fileName, std::string& error) {
    error = "not a ZIP archive: " + Utf8(fileName);
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart == 0) return false;
    ScopedHandle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) return false;
    ScopedMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    ZipReader zip;
    if (!view || !ZipReaderInitMem(zip, view.get(), static_cast<uint64_t>(size.QuadPart)))
        return false;
    for (uint32_t index = 0; index < ZipReaderGetNumFiles(zip); ++index) {
        ZipEntryStat stat;
        if (!ZipReaderFileStat(zip, index, stat)) {
            error = Utf8(fileName) + ": the launcher cannot read record " +
                    std::to_string(index + 1) + " of its central directory";
            return false;
        }
        const char* reason = nullptr;
        if (!IsSafeEntryName(WideEntryName(stat.filename), reason)) {
            error = Utf8(fileName) + " holds an entry every launcher refuses: " + stat.filename +
                    " (" + reason + ")";
            return false;
        }
    }
    error.clear();
    return true;
}

namespace {

// The names of the regular files in folder.
bool ListFiles(const std::wstring& folder, std::vector<std::wstring>& names) {
    WIN32_FIND_DATAW found{};
    ScopedFind find(FindFirstFileW(Join(folder, L"*").c_str(), &found));
    if (!find) return false;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (FindNextFileW(find.get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

// Files an earlier run wrote (or left, had it been stopped between writing and renaming).
bool IsOwnOutput(const std::wstring& name) {
    for (const wchar_t* own : {L"version.json", L"version.json.sig", L"version.json.new",
                               L"version.json.sig.new", L"version.json.old",
                               L"version.json.sig.old"}) {
        if (CompareStringOrdinal(name.c_str(), -1, own, -1, TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}

// Every archive of the folder, oldest first, with its digest; refuses anything else.
bool CollectArchives(const std::wstring& folder, std::vector<Archive>& archives,
                     std::string& error) {
    std::vector<std::wstring> names;
    if (!ListFiles(folder, names)) {
        error = "cannot read the folder " + Utf8(folder);
        return false;
    }
    std::vector<std::wstring> lists;
    for (const std::wstring& name : names) {
        if (IsOwnOutput(name)) continue;
        if (EndsWithNoCase(name, L".files")) {
            lists.push_back(name);
            continue;
        }
        if (!EndsWithNoCase(name, L".zip")) {
            error = "not a ZIP archive: " + Utf8(name);
            return false;
        }
        const std::wstring version = name.substr(0, name.size() - 4);
        if (!IsVersionText(version)) {
            error = "not a version (digits and dots): " + Utf8(name);
            return false;
        }
        for (const Archive& other : archives) {
            if (CompareVersions(other.version, version) == 0) {
                error = "two archives of the same version: " + Utf8(other.fileName) + " and " +
                        Utf8(name);
                return false;
            }
        }
        if (!CheckArchive(Join(folder, name), name, error)) return false;
        archives.push_back({version, name, std::string(), 0, std::string()});
    }
    for (const std::wstring& name : lists) {
        const std::wstring version = name.substr(0, name.size() - 6);
        const auto archive = std::find_if(archives.begin(), archives.end(), [&](const Archive& a) {
            return a.version == version;
        });
        if (archive == archives.end()) {
            error = "a file list without its archive: " + Utf8(name);
            return false;
        }
        std::string text;
        if (!ReadFileToString(Join(folder, name), text) ||
            !Sha256OfBytes(text, archive->listDigest)) {
            error = "cannot read " + Utf8(name);
            return false;
        }
    }
    std::sort(archives.begin(), archives.end(), [](const Archive& a, const Archive& b) {
        return CompareVersions(a.version, b.version) < 0;
    });
    return true;
}

using EntryDigests = std::map<std::wstring, std::pair<std::string, uint64_t>>;

// Upper-cased entry name -> the hex SHA-256 and size of its bytes, for every file entry.
bool ReadEntryDigests(const std::wstring& path, const std::wstring& fileName,
                      EntryDigests& digests, std::string& error) {
    error = "cannot read the entries of " + Utf8(fileName);
    std::string bytes;
    ZipReader zip;
    if (!ReadFileToString(path, bytes) || !ZipReaderInitMem(zip, bytes.data(), bytes.size()))
        return false;
    for (uint32_t index = 0; index < ZipReaderGetNumFiles(zip); ++index) {
        ZipEntryStat stat;
        if (!ZipReaderFileStat(zip, index, stat)) return false;
        if (stat.isDirectory) continue;
        uint64_t size = 0;
        void* data = ZipReaderExtractToHeap(zip, index, &size);
        std::string digest;
        const bool hashed =
            data && Sha256OfBytes(std::string(static_cast<const char*>(data), size), digest);
        ZipFree(data);
        if (!hashed) {
            error = Utf8(fileName) + ": cannot inflate " + stat.filename;
            return false;
        }
        digests[UpperPath(WideEntryName(stat.filename))] = {HexText(digest), size};
    }
    ZipReaderEnd(zip);
    return true;
}

// The list of version (its text) against the archives: every entry of the version's own
// archive is listed with its bytes, and every listed file is in its source's archive with
// them. archivePaths: version -> archive path, for every version offered.
bool CheckFileList(const std::wstring& version, const std::string& text,
                   const std::map<std::wstring, std::wstring>& archivePaths,
                   std::map<std::wstring, EntryDigests>& cache, std::string& error) {
    FileList list;
    const std::string listName = Utf8(version) + ".files";
    if (!ParseFileList(text, list, error)) {
        error = listName + ": " + error;
        return false;
    }
    auto entriesOf = [&](const std::wstring& source, const EntryDigests*& entries) {
        const auto path = archivePaths.find(source);
        if (path == archivePaths.end()) {
            error = listName + " names a source version with no archive here: " + Utf8(source);
            return false;
        }
        auto cached = cache.find(source);
        if (cached == cache.end()) {
            EntryDigests read;
            const std::wstring name = path->second.substr(path->second.rfind(L'\\') + 1);
            if (!ReadEntryDigests(path->second, name, read, error)) return false;
            cached = cache.emplace(source, std::move(read)).first;
        }
        entries = &cached->second;
        return true;
    };
    std::map<std::wstring, const ListedFile*> listed;
    for (const ListedFile& file : list) {
        listed[UpperPath(file.path)] = &file;
        const EntryDigests* entries = nullptr;
        if (!entriesOf(file.source, entries)) return false;
        const auto entry = entries->find(UpperPath(file.path));
        if (entry == entries->end() || entry->second.first != file.sha256 ||
            entry->second.second != file.size) {
            error = listName + ": " + StoredPath(file.path) + " is not in " + Utf8(file.source) +
                    ".zip with the listed SHA-256 and size";
            return false;
        }
    }
    const EntryDigests* own = nullptr;
    if (!entriesOf(version, own)) return false;
    for (const auto& [name, digest] : *own) {
        const auto line = listed.find(name);
        if (line == listed.end() || line->second->sha256 != digest.first) {
            error = Utf8(version) + ".zip holds " + StoredPath(name) +
                    " without a line for its bytes in " + listName;
            return false;
        }
    }
    return true;
}

std::string ManifestText(const std::wstring& latest, uint64_t expires,
                         const std::vector<Archive>& archives, const std::wstring& baseUrl,
                         const std::vector<std::wstring>& mirrors) {
    std::string mirrorList;
    for (size_t i = 0; i < mirrors.size(); ++i)
        mirrorList += "    \"" + Utf8(mirrors[i]) + "\"" + (i + 1 < mirrors.size() ? ",\n" : "\n");
    std::string urls, digests, sizes, lists;
    for (size_t i = 0; i < archives.size(); ++i) {
        const std::string separator = i + 1 < archives.size() ? ",\n" : "\n";
        const std::string key = "    \"" + Utf8(archives[i].version) + "\": \"";
        urls += key + Utf8(baseUrl + L"/" + archives[i].fileName) + "\"" + separator;
        digests += key + HexText(archives[i].digest) + "\"" + separator;
        sizes += "    \"" + Utf8(archives[i].version) + "\": " +
                 std::to_string(archives[i].size) + separator;
        if (!archives[i].listDigest.empty())
            lists += std::string(lists.empty() ? "" : ",\n") + key +
                     HexText(archives[i].listDigest) + "\"";
    }
    // Before download_urls: the reader takes the first quoted "expires" in the body.
    const std::string validity =
        expires ? "  \"expires\": \"" + UtcTimeText(expires) + "\",\n" : std::string();
    return "{\n  \"latest_version\": \"" + Utf8(latest) + "\",\n" + validity +
           "  \"download_urls\": {\n" + urls + "  },\n  \"sha256\": {\n" + digests +
           "  },\n  \"size\": {\n" + sizes + "  }" +
           (mirrors.empty() ? std::string() : ",\n  \"mirrors\": [\n" + mirrorList + "  ]") +
           (lists.empty() ? std::string() : ",\n  \"files\": {\n" + lists + "\n  }") + "\n}\n";
}

// The files as written say what was meant: the bytes read back are the ones signed, the
// signature verifies, and the launcher's parser finds the latest version, every URL and every
// digest.
bool ReadsBackAsMeant(const std::wstring& manifestPath, const std::wstring& signaturePath,
                      const std::string& publicKey, const std::string& signedBytes,
                      const std::wstring& latest, uint64_t expires,
                      const std::vector<Archive>& archives, const std::wstring& base,
                      const std::vector<std::wstring>& mirrors) {
    std::map<std::wstring, std::wstring> urls;
    ArchiveDigests digests;
    ListDigests lists;
    for (const Archive& archive : archives) {
        urls[archive.version] = base + L"/" + archive.fileName;
        digests[archive.version] = Utf8ToWide(HexText(archive.digest));
        if (!archive.listDigest.empty())
            lists[archive.version] = Utf8ToWide(HexText(archive.listDigest));
    }
    std::string manifest, signature;
    UpdateManifest parsed;
    uint64_t parsedExpires = 0;
    return ReadFileToString(manifestPath, manifest) &&
           ReadFileToString(signaturePath, signature) && manifest == signedBytes &&
           VerifySignature(manifest, signature, publicKey) && ParseManifest(manifest, parsed) &&
           parsed.latest_version == latest && parsed.download_urls == urls &&
           ParseArchiveDigests(manifest) == digests && ParseListDigests(manifest) == lists &&
           ReadManifestExpiry(manifest, parsedExpires) && parsedExpires == expires &&
           ParseMirrors(manifest) == mirrors;
}

// A whole number of days from 1 to kMostDays, as the moment that many days after now, in
// whole seconds.
bool ParseExpiry(const std::wstring& days, uint64_t now, uint64_t& expires) {
    if (days.empty() || days.size() > 5 ||
        days.find_first_not_of(L"0123456789") != std::wstring::npos)
        return false;
    const unsigned long count = std::wcstoul(days.c_str(), nullptr, 10);
    if (count < 1 || count > kMostDays) return false;
    expires = now + count * kTicksPerDay;
    expires -= expires % 10000000;
    return true;
}

struct Replacement {
    std::wstring staged, target;
    bool setAside = false;  // the earlier target lies at target + kAsideSuffix
    bool placed = false;
};

// Puts every staged file in the place of its target, or leaves every target as it was. The
// targets are moved aside first (one held open without delete sharing stops it there), then
// the staged files moved in; a failure undoes what was done. failed: the target that failed.
bool ReplaceTogether(std::vector<Replacement>& files, std::wstring& failed, DWORD& code) {
    bool done = true;
    for (Replacement& file : files) {
        const std::wstring aside = file.target + kAsideSuffix;
        file.setAside = MoveFileExW(file.target.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING);
        if (!file.setAside && GetLastError() != ERROR_FILE_NOT_FOUND) {
            code = GetLastError();
            failed = file.target;
            done = false;
            break;
        }
    }
    for (Replacement& file : files) {
        if (!done) break;
        file.placed = MoveFileExW(file.staged.c_str(), file.target.c_str(), 0);
        if (!file.placed) {
            code = GetLastError();
            failed = file.target;
            done = false;
        }
    }
    for (Replacement& file : files) {
        const std::wstring aside = file.target + kAsideSuffix;
        if (!done && file.placed)
            MoveFileExW(file.target.c_str(), file.staged.c_str(), MOVEFILE_REPLACE_EXISTING);
        if (!done && file.setAside)
            MoveFileExW(aside.c_str(), file.target.c_str(), MOVEFILE_REPLACE_EXISTING);
        if (done && file.setAside) DeleteFileW(aside.c_str());
    }
    return done;
}

}  // namespace

bool CreateKeyFile(const std::wstring& keyPath, std::vector<std::string>& report,
                   std::string& error) {
    std::string keyText, key;
    if (!MakePrivateKeyText(keyText) || !ParsePrivateKeyText(keyText, key)) {
        error = "the system could not make an ECDSA P-256 key pair";
        return false;
    }
    ScopedFile file(CreateFileW(keyPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD code = GetLastError();
        error = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS
                    ? Utf8(keyPath) + " already exists; keygen never overwrites a key"
                    : "cannot write " + Utf8(keyPath) + " (error " + std::to_string(code) + ")";
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), keyText.data(), static_cast<DWORD>(keyText.size()), &written,
                   nullptr) ||
        written != keyText.size()) {
        error = "cannot write " + Utf8(keyPath) + " (error " + std::to_string(GetLastError()) +
                ")";
        file.reset();
        DeleteFileW(keyPath.c_str());
        return false;
    }
    report = {PublicKeyText(key)};
    return true;
}

bool PublishFolder(const std::wstring& keyPath, const std::wstring& folder,
                   const std::wstring& baseUrl, const std::wstring& latest,
                   std::vector<std::string>& report, std::string& error,
                   const std::wstring& expiresInDays, uint64_t now,
                   const std::vector<std::wstring>& mirrorUrls) {
    std::string keyText, key;
    if (!ReadFileToString(keyPath, keyText)) {
        error = "cannot read the key file " + Utf8(keyPath);
        return false;
    }
    if (!ParsePrivateKeyText(keyText, key)) {
        error = Utf8(keyPath) + " is not a private key made by hopwell-publish keygen";
        return false;
    }
    if (!IsHttpsBaseUrl(baseUrl)) {
        error = "not an https URL: " + Utf8(baseUrl);
        return false;
    }
    // Each written ending in "/", as the launcher reads them.
    std::vector<std::wstring> mirrors;
    for (std::wstring mirror : mirrorUrls) {
        if (!IsHttpsBaseUrl(mirror)) {
            error = "not an https URL: " + Utf8(mirror);
            return false;
        }
        while (mirror.back() == L'/') mirror.pop_back();
        mirrors.push_back(mirror + L"/");
    }
    if (!IsVersionText(latest)) {
        error = "not a version (digits and dots): " + Utf8(latest);
        return false;
    }
    uint64_t expires = 0;
    if (!expiresInDays.empty() && !ParseExpiry(expiresInDays, now, expires)) {
        error = "not a number of days from 1 to " + std::to_string(kMostDays) + ": " +
                Utf8(expiresInDays);
        return false;
    }
    std::vector<Archive> archives;
    if (!CollectArchives(folder, archives, error)) return false;
    if (std::none_of(archives.begin(), archives.end(), [&](const Archive& a) {
            return CompareVersions(a.version, latest) == 0;
        })) {
        error = "no archive of the latest version " + Utf8(latest);
        return false;
    }
    for (Archive& archive : archives) {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (!Sha256OfFile(Join(folder, archive.fileName), archive.digest) ||
            !GetFileAttributesExW(Join(folder, archive.fileName).c_str(), GetFileExInfoStandard,
                                  &data)) {
            error = "cannot read " + Utf8(archive.fileName);
            return false;
        }
        archive.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    std::map<std::wstring, std::wstring> archivePaths;
    for (const Archive& archive : archives)
        archivePaths[archive.version] = Join(folder, archive.fileName);
    std::map<std::wstring, EntryDigests> entryCache;
    for (const Archive& archive : archives) {
        std::string text;
        if (!archive.listDigest.empty() &&
            (!ReadFileToString(Join(folder, archive.version + L".files"), text) ||
             !CheckFileList(archive.version, text, archivePaths, entryCache, error)))
            return false;
    }

    std::wstring base = baseUrl;
    while (base.back() == L'/') base.pop_back();
    const std::string manifest = ManifestText(latest, expires, archives, base, mirrors);
    std::string signature;
    if (!SignData(key, manifest, signature)) {
        error = "the key in " + Utf8(keyPath) + " cannot sign";
        return false;
    }
    const std::wstring manifestPath = Join(folder, kManifestName);
    const std::wstring signaturePath = Join(folder, kSignatureName);
    const std::wstring newManifest = manifestPath + kNewSuffix;
    const std::wstring newSignature = signaturePath + kNewSuffix;
    // Both new files are written, read back and verified before either takes the place of
    // the earlier pair; then both do, or neither.
    std::wstring failed;
    if (!WriteStringToFile(newManifest, manifest)) failed = newManifest;
    else if (!WriteStringToFile(newSignature, signature)) failed = newSignature;
    DWORD code = GetLastError();
    const bool staged = failed.empty();
    std::vector<Replacement> files = {{newManifest, manifestPath}, {newSignature, signaturePath}};
    if (!staged || !ReadsBackAsMeant(newManifest, newSignature, PublicKeyText(key), manifest,
                                     latest, expires, archives, base, mirrors) ||
        !ReplaceTogether(files, failed, code)) {
        DeleteFileW(newManifest.c_str());
        DeleteFileW(newSignature.c_str());
        error = failed.empty()
                    ? "what was written does not verify with the key's public half (is " +
                          Utf8(keyPath) + " damaged?); nothing was published"
                    : std::string(staged ? "cannot replace " : "cannot write ") + Utf8(failed) +
                          " (error " + std::to_string(code) +
                          "); the earlier version.json and version.json.sig are as they were";
        return false;
    }
    report.clear();
    for (const Archive& archive : archives) {
        report.push_back(Utf8(archive.version) + "  " + HexText(archive.digest) + "  " +
                         Utf8(base + L"/" + archive.fileName));
    }
    for (const std::wstring& mirror : mirrors) report.push_back("mirror  " + Utf8(mirror));
    report.push_back("wrote " + Utf8(manifestPath) + " (latest " + Utf8(latest) +
                     (expires ? ", expires " + UtcTimeText(expires) : std::string()) +
                     ") and its signature, verified with public key " + PublicKeyText(key));
    return true;
}

bool VerifyFolder(const std::wstring& folder, const std::string& publicKeyText,
                  std::vector<std::string>& report, std::string& error, uint64_t now) {
    std::string point, manifest, signature;
    if (!ParsePublicKeyText(publicKeyText, point)) {
        error = "not a public key (128 hex digits): " + publicKeyText;
        return false;
    }
    const std::wstring manifestPath = Join(folder, kManifestName);
    const std::wstring signaturePath = Join(folder, kSignatureName);
    if (!ReadFileToString(manifestPath, manifest) ||
        !ReadFileToString(signaturePath, signature)) {
        error = "cannot read " + Utf8(manifestPath) + " and " + Utf8(signaturePath);
        return false;
    }
    if (!VerifySignature(manifest, signature, publicKeyText)) {
        error = "version.json.sig is not a signature of version.json by this key";
        return false;
    }
    UpdateManifest parsed;
    if (!ParseManifest(manifest, parsed)) {
        error = "version.json has no latest_version, or a version key the launcher refuses";
        return false;
    }
    uint64_t expires = 0;
    if (!ReadManifestExpiry(manifest, expires)) {
        error = "version.json has an expires that is not YYYY-MM-DDTHH:MM:SSZ";
        return false;
    }
    if (expires != 0 && now >= expires) {
        error = "version.json expired at " + UtcTimeText(expires) + "; publish again";
        return false;
    }
    if (parsed.download_urls.empty()) {
        error = "version.json lists no archive";
        return false;
    }
    const ArchiveDigests digests = ParseArchiveDigests(manifest);
    const ListDigests lists = ParseListDigests(manifest);
    std::map<std::wstring, std::wstring> archivePaths;
    for (const auto& [version, url] : parsed.download_urls)
        archivePaths[version] = Join(folder, url.substr(url.find_last_of(L'/') + 1));
    for (const auto& [version, url] : parsed.download_urls) {
        const auto entry = digests.find(version);
        std::string expected, actual;
        if (entry == digests.end() || !ParseHex(Utf8(entry->second), kSha256Size, expected)) {
            error = "no sha256 entry for version " + Utf8(version);
            return false;
        }
        const std::wstring fileName = url.substr(url.find_last_of(L'/') + 1);
        if (!Sha256OfFile(Join(folder, fileName), actual)) {
            error = "cannot read the archive of version " + Utf8(version) + ": " +
                    Utf8(fileName);
            return false;
        }
        if (actual != expected) {
            error = Utf8(fileName) + " does not match its sha256 entry";
            return false;
        }
        if (!CheckArchive(Join(folder, fileName), fileName, error)) return false;
    }
    std::map<std::wstring, EntryDigests> entryCache;
    for (const auto& [version, listDigest] : lists) {
        const auto url = parsed.download_urls.find(version);
        std::string expected, actual, text;
        if (url == parsed.download_urls.end() ||
            !ParseHex(Utf8(listDigest), kSha256Size, expected)) {
            error = "a files entry without its archive, or not a SHA-256: " + Utf8(version);
            return false;
        }
        const std::wstring listUrl = FileListUrl(url->second);
        const std::wstring fileName = listUrl.substr(listUrl.find_last_of(L'/') + 1);
        if (!ReadFileToString(Join(folder, fileName), text) || !Sha256OfBytes(text, actual)) {
            error = "cannot read the file list of version " + Utf8(version) + ": " +
                    Utf8(fileName);
            return false;
        }
        if (actual != expected) {
            error = Utf8(fileName) + " does not match its files entry";
            return false;
        }
        if (!CheckFileList(version, text, archivePaths, entryCache, error)) return false;
    }
    report = {"version.json: signature valid, latest " + Utf8(parsed.latest_version) +
              (expires ? ", expires " + UtcTimeText(expires) : std::string()) + ", " +
              std::to_string(parsed.download_urls.size()) + " archives and " +
              std::to_string(lists.size()) + " file lists match their digests"};
    return true;
}
