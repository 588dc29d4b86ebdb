#include "update/install_steps.h"

#include <cstdint>

#include "base/app_directory.h"
#include "base/hex.h"
#include "base/scoped_handle.h"
#include "base/sha256.h"
#include "base/text.h"
#include "base/worker_messages.h"
#include "install/commit.h"
#include "install/extract_zip.h"
#include "install/staged_unpack.h"
#include "net/download.h"
#include "net/progress.h"
#include "update/attempt.h"
#include "update/catch_up.h"
#include "update/file_lists.h"
#include "update/local_files.h"

namespace {

// Identity of a file on disk, so two spellings of one path (case, short names) compare equal.
bool SameFile(const std::wstring& a, const std::wstring& b) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    ScopedFile first(CreateFileW(a.c_str(), 0, share, nullptr, OPEN_EXISTING, 0, nullptr));
    ScopedFile second(CreateFileW(b.c_str(), 0, share, nullptr, OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    return first && second && GetFileInformationByHandle(first.get(), &x) &&
           GetFileInformationByHandle(second.get(), &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

// True when the process's image is our application, so a stale pid that the system has
// since given to another program is never killed.
bool IsOurApplication(HANDLE process) {
    std::wstring image(32768, L'\0');
    DWORD length = static_cast<DWORD>(image.size());
    if (!QueryFullProcessImageNameW(process, 0, &image[0], &length)) return false;
    image.resize(length);
    const std::wstring expected = AppPath(L"AutoTorvane.exe");
    if (CompareStringOrdinal(image.c_str(), static_cast<int>(image.size()), expected.c_str(),
                             static_cast<int>(expected.size()), TRUE) == CSTR_EQUAL)
        return true;
    return SameFile(image, expected);
}

// Stops the running application named in app.pid and waits for it to end, so that its image
// and the files it holds are free before they are replaced.
void StopRunningApplication(const std::wstring& pidPath) {
    DWORD pid = ReadPidFile(pidPath);
    if (pid == 0) return;
    ScopedHandle process(OpenProcess(
        PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
    if (process && IsOurApplication(process.get())) TerminateProcess(process.get(), 0);
    else process.reset();  // not ours: neither stopped nor waited for
    if (process) WaitForSingleObject(process.get(), kApplicationExitWaitMs);
    DeleteFileW(pidPath.c_str());
}

// Unpacks with our reader, falling back to the shell only where our reader checked every name
// and then met an entry compressed by a method it lacks. The files are in place, awaiting
// CompleteCommit, on true.
bool UnpackArchive(HWND window, const std::wstring& zipPath, const std::wstring& version,
                   const UnpackOptions& options, UnpackFailure& failure) {
    failure = UnpackFailure::Other;
    if (ExtractZip(zipPath, version, &failure, options)) {
        AppendLogLine(L"Sử dụng miniz để giải nén (nhanh)");
        return true;
    }
    if (failure == UnpackFailure::Space)
        PostLogLine(window, L"Không đủ dung lượng trống để cài " + version + L".");
    if (failure != UnpackFailure::Method) return false;
    AppendLogLine(L"Miniz thất bại, chuyển sang Shell extraction");
    AppendLogLine(L"Sử dụng Shell extraction (chậm)");
    return ShellExtractAndCommit(zipPath, version, options);
}

// Unpacks and records a version, then lets its old files go. A version that cannot be recorded
// is not installed: its files are put back, as they are after memory ran out mid-way.
bool InstallArchive(HWND window, const std::wstring& zipPath, const std::wstring& versionIniPath,
                    const std::wstring& version, const UnpackOptions& options,
                    UnpackFailure* why = nullptr) {
    UnpackFailure failure = UnpackFailure::Other;
    const bool unpacked =
        Attempt([&] { return UnpackArchive(window, zipPath, version, options, failure); });
    if (why) *why = failure;
    if (unpacked &&
        WriteInstalledVersion(versionIniPath, version)) {
        CompleteCommit();
        RemoveEmptyFolders(options.removals);
        return true;
    }
    RollBackCommit();
    return false;
}

// The digest that a signed manifest lists for version; false when it lists none that can be
// read.
bool ExpectedDigest(const ArchiveDigests& digests, const std::wstring& version,
                    std::string& digest) {
    const auto entry = digests.find(version);
    return entry != digests.end() && ParseHex(WideToUtf8(entry->second), kSha256Size, digest);
}

// The files of list that are user files already in place: never replaced.
std::set<std::wstring> UserFilesInPlace(const FileList& list) {
    std::set<std::wstring> userFiles;
    for (const ListedFile& file : list)
        if (file.user && GetFileAttributesW(AppPath(file.path).c_str()) != INVALID_FILE_ATTRIBUTES)
            userFiles.insert(UpperPath(file.path));
    return userFiles;
}

enum class OneStep { Done, Failed, OneByOne };

// Installs the latest step alone, from the files that differ between its list and what is in
// place, each fetched from the archive of its SOURCE version: one download, one commit.
// OneByOne, having said nothing, when a file's SOURCE is not offered.
OneStep InstallLatestInOneStep(HWND window, const std::wstring& versionIniPath,
                               const UpdateStep& latest, const FileList& installedList,
                               const OfferedArchives& offered, const ArchiveDigests* digests) {
    const std::wstring& version = latest.version;
    std::string listText;
    FileList list;
    const ListFetch fetched =
        FetchFileList(latest.url, digests ? &latest.listDigest : nullptr, listText, list);
    std::vector<ListedFile> wanted;
    if (fetched == ListFetch::Fetched) {
        wanted = FilesToFetch(list, installedList);
        if (!SourcesOffered(wanted, offered)) return OneStep::OneByOne;
    }
    PostLogLine(window, L"Đang tải bản " + version + L"...");
    if (fetched != ListFetch::Fetched) {
        PostLogLine(window, (fetched == ListFetch::Failed ? L"Tải thất bại: "
                                                          : L"Tệp cập nhật bị thay đổi hoặc hỏng: ") +
                                version);
        return OneStep::Failed;
    }
    // User files in place are not among those wanted: never replaced.
    std::map<std::wstring, std::string> listed;
    for (const ListedFile& file : wanted) listed[UpperPath(file.path)] = file.sha256;
    UnpackOptions unpack;
    unpack.removals = DroppedFiles(installedList, list);
    unpack.keptList = &listText;
    unpack.digests = &listed;

    const uint64_t startTick = GetTickCount64(), stepNumber = 1, stepCount = 1;
    uint64_t lastReportTick = startTick;
    ProgressReporter reporter{lastReportTick, stepNumber, stepCount, window, startTick, version};
    DownloadOptions options;
    options.retrying = [&] { PostStatusText(window, L"Mất kết nối, đang thử lại..."); };
    bool lackedSpace = false;
    options.lackedSpace = &lackedSpace;
    // The journal is written as the first bytes arrive, before the first entry is staged: a
    // kill anywhere is rolled back by the next start.
    std::vector<std::wstring> names;
    uint64_t stagedBytes = 0;
    for (const ListedFile& file : wanted) {
        names.push_back(file.path);
        stagedBytes += std::min(file.size, UINT64_MAX - stagedBytes);
    }
    EntryFetch entries = EntryFetch::Failed;
    bool beginFailed = false, committed = false;
    UnpackFailure failure = UnpackFailure::Other;
    Attempt([&] {
        StagedUnpack staged(version, names, stagedBytes, unpack);
        entries = FetchListedEntries(wanted, offered, staged, reporter, options);
        // Begun by the first entry that arrived, or now: a version may only drop files.
        if (entries == EntryFetch::Fetched) staged.Begin();
        beginFailed = staged.tried() && !staged.begun();
        failure = staged.failure;
        if (beginFailed || entries != EntryFetch::Fetched) return false;  // rolled back as it ends
        PostLogLine(window, L"Đang giải nén " + version + L"...");
        committed = staged.Commit();
        return committed;
    });
    if (!beginFailed && entries != EntryFetch::Fetched) {
        if (entries == EntryFetch::Tampered) {
            PostLogLine(window, L"Tệp cập nhật bị thay đổi hoặc hỏng: " + version);
            return OneStep::Failed;
        }
        if (lackedSpace)
            PostLogLine(window, L"Không đủ dung lượng trống để tải " + version + L".");
        PostLogLine(window, L"Tải thất bại: " + version);
        return OneStep::Failed;
    }
    if (beginFailed && failure == UnpackFailure::Space)
        PostLogLine(window, L"Không đủ dung lượng trống để cài " + version + L".");
    // A version that cannot be recorded is not installed: its files are put back.
    if (!committed || !WriteInstalledVersion(versionIniPath, version)) {
        if (committed) RollBackCommit();
        PostLogLine(window, L"Giải nén thất bại: " + version);
        return OneStep::Failed;
    }
    AppendLogLine(L"Miniz giải nén thành công!");
    AppendLogLine(L"Sử dụng miniz để giải nén (nhanh)");
    CompleteCommit();
    DiscardFetchedEntries(wanted);
    RemoveEmptyFolders(unpack.removals);
    PostLogLine(window, L"Hoàn tất cập nhật " + version + L".");
    return OneStep::Done;
}

}  // namespace

void InstallUpdateSteps(HWND window, const std::wstring& versionIniPath,
                        const std::wstring& pidPath, const std::vector<UpdateStep>& steps,
                        size_t& installed, const ArchiveDigests* digests,
                        FileList installedList, const OfferedArchives* offered) {
    installed = 0;
    // A signed release names every digest, and every length, before anything is stopped or
    // downloaded: a step without a signed length could fill the disk.
    std::string expected;
    for (const UpdateStep& step : steps) {
        if (digests && (!ExpectedDigest(*digests, step.version, expected) || step.size < 0 ||
                        (step.hasList && !ParseHex(WideToUtf8(step.listDigest), kSha256Size,
                                                   expected)))) {
            PostLogLine(window, L"Tệp cập nhật bị thay đổi hoặc hỏng: " + step.version);
            return;
        }
    }
    StopRunningApplication(pidPath);

    bool everyList = !steps.empty();
    for (const UpdateStep& step : steps) everyList = everyList && step.hasList;
    if (everyList && offered) {
        const OneStep oneStep =
            InstallLatestInOneStep(window, versionIniPath, steps.back(), installedList, *offered, digests);
        if (oneStep == OneStep::Done) installed = steps.size();
        if (oneStep != OneStep::OneByOne) return;
    }

    const uint64_t stepCount = steps.size();
    uint64_t stepNumber = 0;
    for (const UpdateStep& step : steps) {
        stepNumber++;
        const std::wstring zipPath = AppPath(step.version + L".zip");
        if (digests) ExpectedDigest(*digests, step.version, expected);
        PostLogLine(window, L"Đang tải bản " + step.version + L"...");

        std::string listText;
        FileList list;
        UnpackOptions unpack;
        std::set<std::wstring> userFiles;  // in place already: never replaced
        if (step.hasList) {
            const ListFetch fetched =
                FetchFileList(step.url, digests ? &step.listDigest : nullptr, listText, list);
            if (fetched != ListFetch::Fetched) {
                PostLogLine(window, (fetched == ListFetch::Failed
                                         ? L"Tải thất bại: "
                                         : L"Tệp cập nhật bị thay đổi hoặc hỏng: ") +
                                        step.version);
                return;
            }
            unpack.removals = DroppedFiles(installedList, list);
            unpack.keptList = &listText;
            userFiles = UserFilesInPlace(list);
            unpack.skip = &userFiles;
        } else {
            unpack.removals = {KeptListName()};
        }

        const uint64_t startTick = GetTickCount64();
        uint64_t lastReportTick = startTick;
        ProgressReporter reporter{lastReportTick, stepNumber, stepCount,
                                  window,         startTick,  step.version};
        std::string digest;
        DownloadOptions options;
        options.digest = digests ? &digest : nullptr;
        options.expectedSize = step.size;
        options.mirrors = step.mirrors;
        options.retrying = [&] { PostStatusText(window, L"Mất kết nối, đang thử lại..."); };
        bool lackedSpace = false;
        options.lackedSpace = &lackedSpace;
        if (!Attempt([&] { return DownloadFile(step.url, zipPath, reporter, options); })) {
            if (lackedSpace)
                PostLogLine(window, L"Không đủ dung lượng trống để tải " + step.version + L".");
            PostLogLine(window, L"Tải thất bại: " + step.version);
            return;
        }
        if (digests && digest != expected) {
            DeleteFileW(zipPath.c_str());
            PostLogLine(window, L"Tệp cập nhật bị thay đổi hoặc hỏng: " + step.version);
            return;
        }

        PostLogLine(window, L"Đang giải nén " + step.version + L"...");
        if (!InstallArchive(window, zipPath, versionIniPath, step.version, unpack)) {
            PostLogLine(window, L"Giải nén thất bại: " + step.version);
            return;
        }
        DeleteFileW(zipPath.c_str());
        installedList.swap(list);
        installed++;
        PostLogLine(window, L"Hoàn tất cập nhật " + step.version + L".");
    }
}

bool RecoverInterruptedCommit(const std::wstring& versionIniPath) {
    // What a killed write of version.ini leaves; no other pass is writing it now.
    DeleteFileW((versionIniPath + L".tmp").c_str());
    std::wstring version;
    const CommitJournalState journal = PendingCommitVersion(version);
    if (journal == CommitJournalState::Damaged) return false;
    if (journal == CommitJournalState::None) {
        // Only a commit's journal names it; without one it is what a killed write left.
        DeleteFileW(AppPath(KeptListTemporaryName()).c_str());
        return true;
    }
    // Recorded: the commit had ended and only its old files were left to delete.
    if (version == ReadInstalledVersion(versionIniPath))
        CompleteCommit();
    else
        RollBackCommit();
    return true;
}
