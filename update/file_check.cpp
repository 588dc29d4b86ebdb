#include "update/file_check.h"

#include <map>
#include <set>

#include "base/app_directory.h"
#include "base/hex.h"
#include "base/scoped_handle.h"
#include "base/sha256.h"
#include "base/text.h"
#include "base/worker_messages.h"
#include "install/commit.h"
#include "install/extract_zip.h"
#include "net/download.h"
#include "update/attempt.h"
#include "update/file_lists.h"

namespace {

constexpr DWORD kHashChunk = 1u << 20;

struct Found {
    uint64_t size = 0;
    bool directory = false;
};

// Upper-cased name -> what the folder holds under it (long names only: lists hold long names).
std::map<std::wstring, Found> ListFolder(const std::wstring& folder) {
    std::map<std::wstring, Found> names;
    WIN32_FIND_DATAW found{};
    ScopedFind search(FindFirstFileExW(AppPath(folder + L"*").c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    for (bool more = static_cast<bool>(search); more;
         more = FindNextFileW(search.get(), &found) != FALSE)
        names[UpperPath(found.cFileName)] = {
            (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow,
            (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0};
    return names;
}

bool HashMatches(const ListedFile& file, uint64_t& done, uint64_t total,
                 const std::function<void(uint64_t, uint64_t)>& progress) {
    ScopedFile handle(CreateFileW(AppPath(file.path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    Sha256 sha;
    if (!handle || !StartSha256(sha)) return false;
    std::string buffer(kHashChunk, '\0'), digest;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(handle.get(), &buffer[0], kHashChunk, &got, nullptr)) return false;
        if (got == 0) break;
        AddToSha256(sha, buffer.data(), got);
        done += got;
        if (progress) progress(done, total);
    }
    return FinishSha256(sha, digest) && HexText(digest) == file.sha256;
}

std::wstring Count(size_t n) { return std::to_wstring(n); }

}  // namespace

std::vector<ListedFile> FindDamagedFiles(const FileList& list, bool hashes,
                                         const std::function<void(uint64_t, uint64_t)>& progress) {
    std::map<std::wstring, std::map<std::wstring, Found>> folders;
    std::vector<ListedFile> damaged;
    std::vector<const ListedFile*> toHash;
    uint64_t total = 0, done = 0;
    for (const ListedFile& file : list) {
        if (file.user) continue;
        const size_t slash = file.path.rfind(L'\\');
        const std::wstring folder =
            slash == std::wstring::npos ? L"" : file.path.substr(0, slash + 1);
        auto listing = folders.find(UpperPath(folder));
        if (listing == folders.end())
            listing = folders.emplace(UpperPath(folder), ListFolder(folder)).first;
        const auto found = listing->second.find(UpperPath(file.path.substr(folder.size())));
        if (found == listing->second.end() || found->second.directory ||
            found->second.size != file.size) {
            damaged.push_back(file);
        } else if (hashes) {
            toHash.push_back(&file);
            total += file.size;
        }
    }
    for (const ListedFile* file : toHash)
        if (!HashMatches(*file, done, total, progress)) damaged.push_back(*file);
    return damaged;
}

bool CheckInstalledFiles(HWND window, const UpdateManifest& manifest,
                         const ArchiveDigests* digests, const ArchiveSizes& sizes, bool hashes) {
    FileList kept;
    if (!ReadKeptList(kept)) return true;
    PostStatusText(window, L"Đang kiểm tra tệp...");
    int shown = -1;
    const auto progress = [&](uint64_t done, uint64_t total) {
        const int percent = total ? static_cast<int>(done * 100 / total) : 100;
        if (percent != shown) PostProgress(window, shown = percent);
    };
    const std::vector<ListedFile> damaged = FindDamagedFiles(kept, hashes, progress);
    if (damaged.empty()) return true;

    PostLogLine(window, L"Đang sửa " + Count(damaged.size()) + L" tệp...");
    std::map<std::wstring, std::set<std::wstring>> bySource;  // source -> upper-cased paths
    for (const ListedFile& file : damaged) bySource[file.source].insert(UpperPath(file.path));
    for (const auto& [source, names] : bySource) {
        const auto url = manifest.download_urls.find(source);
        std::string expected;
        const auto signedDigest = digests ? digests->find(source) : ArchiveDigests::const_iterator();
        if (url == manifest.download_urls.end() ||
            (digests && (signedDigest == digests->end() ||
                         !ParseHex(WideToUtf8(signedDigest->second), kSha256Size, expected))))
            continue;  // no longer offered: its files stay damaged
        const std::wstring zipPath = AppPath(source + L".zip");
        const uint64_t startTick = GetTickCount64(), one = 1;
        uint64_t lastReportTick = startTick;
        ProgressReporter reporter{lastReportTick, one, one, window, startTick, source};
        std::string digest;
        DownloadOptions options;
        options.digest = digests ? &digest : nullptr;
        const auto size = sizes.find(source);
        if (size != sizes.end()) options.expectedSize = size->second;
        options.retrying = [&] { PostStatusText(window, L"Mất kết nối, đang thử lại..."); };
        if (!Attempt([&] { return DownloadFile(url->second, zipPath, reporter, options); }))
            continue;
        if (digests && digest != expected) {
            DeleteFileW(zipPath.c_str());
            PostLogLine(window, L"Tệp cập nhật bị thay đổi hoặc hỏng: " + source);
            continue;
        }
        UnpackOptions only;
        only.only = &names;
        // Its own journal version, which version.ini never names: a repair killed midway is
        // rolled back, and the next pass repairs again.
        const std::wstring journalVersion = L"repair " + source;
        UnpackFailure failure = UnpackFailure::Other;
        const bool unpacked =
            Attempt([&] { return ExtractZip(zipPath, journalVersion, &failure, only); }) ||
            (failure == UnpackFailure::Method &&
             Attempt([&] { return ShellExtractAndCommit(zipPath, journalVersion, only); }));
        if (unpacked)
            CompleteCommit();
        else
            RollBackCommit();
        DeleteFileW(zipPath.c_str());
    }
    // What the archives did not put right stays damaged, whatever the reason.
    FileList repairedList;
    for (const ListedFile& file : damaged) repairedList.push_back(file);
    const std::vector<ListedFile> left = FindDamagedFiles(repairedList, true, nullptr);
    for (const ListedFile& file : left)
        PostLogLine(window, L"Không sửa được tệp: " + file.path);
    if (left.size() < damaged.size())
        PostLogLine(window, L"Đã sửa " + Count(damaged.size() - left.size()) + L" tệp.");
    return left.empty();
}
