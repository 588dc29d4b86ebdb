#include "install/extract_zip.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "base/worker_messages.h"
#include "install/commit.h"
#include "install/entry_name.h"
#include "install/file_list.h"
#include "install/held_file.h"
#include "install/shell_extract.h"
#include "install/staged_flush.h"
#include "install/staged_unpack.h"
#include "install/unpack_steps.h"
#include "install/zip_reader.h"

namespace {


struct ZipBufferFree {
    void operator()(void* buffer) const { ZipFree(buffer); }
};
using EntryBuffer = std::unique_ptr<void, ZipBufferFree>;

// An entry this unpack leaves out: one a repair does not need, or a user file in place.
bool Skipped(const UnpackOptions& options, const std::wstring& name) {
    if (options.only && (name.back() == L'\\' || !options.only->count(UpperPath(name))))
        return true;
    return options.skip && options.skip->count(UpperPath(name)) > 0;
}

struct Entry {
    uint32_t index = 0;
    std::wstring name;
    bool directory = false;
    uint64_t size = 0;
    bool foreignMethod = false;  // compressed by a method our reader lacks, not encrypted
};

// Every record is read and every name checked before anything is written, so a hostile or
// damaged directory leaves no trace. False ends the run; the reason has been logged.
bool ReadEntries(const ZipReader& zip, std::vector<Entry>& entries,
                 const UnpackOptions& options) {
    const uint32_t count = ZipReaderGetNumFiles(zip);
    for (uint32_t index = 0; index < count; ++index) {
        ZipEntryStat stat;
        if (!ZipReaderFileStat(zip, index, stat)) {
            AppendLogLine(L"Lỗi đọc thông tin file " + std::to_wstring(index));
            return false;
        }
        const std::wstring name = WideEntryName(stat.filename);
        if (name.empty()) continue;
        if (!IsSafeEntryName(name)) {
            AppendLogLine(L"Đường dẫn không hợp lệ trong file ZIP: " + name);
            return false;
        }
        if (Skipped(options, name)) continue;
        const bool foreign = stat.method != ZipMethodStored && stat.method != ZipMethodDeflated &&
                             !stat.isEncrypted;
        entries.push_back({index, name, name.back() == L'\\', stat.uncompressedSize, foreign});
    }
    return true;
}

// An archive mapped, not copied: its pages come from the file cache, so private memory holds
// one entry at a time whatever the archive's size.
struct MappedArchive {
    ScopedFile file;
    ScopedHandle mapping;
    ScopedMappedView view;
    ZipReader zip;
};

// Opens the reader over the archive; false when it cannot, the reason logged.
bool OpenArchive(const std::wstring& archivePath, MappedArchive& archive) {
    // Just downloaded, so a scanner may be reading it.
    if (!RetryWhileHeld(archivePath, [&] {
            archive.file.reset(CreateFileW(archivePath.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            return static_cast<bool>(archive.file);
        })) {
        AppendLogLine(L"Không thể mở file ZIP: " + archivePath);
        return false;
    }
    // An empty file cannot be mapped; it goes to the reader as no bytes at all.
    LARGE_INTEGER size{};
    bool read = GetFileSizeEx(archive.file.get(), &size) != FALSE;
    if (read && size.QuadPart > 0) {
        archive.mapping.reset(
            CreateFileMappingW(archive.file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (archive.mapping)
            archive.view.reset(MapViewOfFile(archive.mapping.get(), FILE_MAP_READ, 0, 0, 0));
        read = static_cast<bool>(archive.view);
    }
    if (!read) {
        archive.view.reset();
        archive.mapping.reset();
        archive.file.reset();
        AppendLogLine(L"Không thể đọc file ZIP: " + archivePath);
        return false;
    }
    if (!ZipReaderInitMem(archive.zip, archive.view.get(), static_cast<uint64_t>(size.QuadPart))) {
        AppendLogLine(L"Không thể khởi tạo miniz reader");
        return false;
    }
    return true;
}

// Sleeps for about ms while handling this thread's messages, which the shell's objects in its
// apartment may need.
void PauseHandlingMessages(DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now),
                                      QS_ALLINPUT) != WAIT_OBJECT_0)
            return;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

// Waits until every file of entries is in the shell's staging folder whole: its listed size,
// and no other handle on it (it opens without sharing). The shell copies on a thread of its own
// and hides what it skips, so nothing else tells. False once stallMs pass with no byte more.
bool AwaitShellFiles(const std::vector<Entry>& entries, DWORD stallMs) {
    std::map<std::wstring, const Entry*> files;  // the last of one name counts, as in the commit
    for (const Entry& entry : entries) {
        if (entry.directory) continue;
        std::wstring key = entry.name;
        CharUpperBuffW(&key[0], static_cast<DWORD>(key.size()));
        files[key] = &entry;
    }
    uint64_t arrived = 0;
    ULONGLONG lastArrival = GetTickCount64();
    for (;;) {
        uint64_t bytes = 0;
        bool whole = true;
        for (const auto& file : files) {
            const std::wstring path = ShellStagingFolder() + L"\\" + file.second->name;
            WIN32_FILE_ATTRIBUTE_DATA data{};
            if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
                (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                whole = false;
                continue;
            }
            const uint64_t size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
            bytes += std::min(size, UINT64_MAX - bytes);
            whole = whole && size == file.second->size &&
                    ScopedFile(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                           0, nullptr));
        }
        if (whole) return true;
        if (bytes != arrived) {
            arrived = bytes;
            lastArrival = GetTickCount64();
        } else if (GetTickCount64() - lastArrival >= stallMs) {
            return false;
        }
        PauseHandlingMessages(50);
    }
}

// Whether every entry our reader can inflate does (its size and CRC-32 right), checked before
// the archive goes to the shell, which would hide a damaged entry or unpack it anyway. The
// first that does not is logged.
bool OthersInflate(const ZipReader& zip, const std::vector<Entry>& entries) {
    for (const Entry& entry : entries) {
        if (entry.directory || entry.foreignMethod) continue;
        uint64_t size = 0;
        if (!EntryBuffer(ZipReaderExtractToHeap(zip, entry.index, &size))) {
            AppendLogLine(L"Không thể giải nén file: " + entry.name);
            return false;
        }
    }
    return true;
}

// Stages every entry and commits them as one whole. False ends the run; the reason has been
// logged and every target is as it was.
bool StageAndCommit(const ZipReader& zip, const std::vector<Entry>& entries,
                    const std::wstring& version, UnpackFailure& failure,
                    const UnpackOptions& options) {
    std::vector<std::wstring> names;
    for (const Entry& entry : entries)
        if (!entry.directory) names.push_back(entry.name);
    StagedUnpack unpack(version, names, 0, options);
    if (!unpack.Begin()) return false;
    // Entries lie in front of the directory; one that does not is damaged.
    bool outside = false;
    const ArchiveRead read = [&](uint64_t offset, void* buffer, size_t size) {
        outside = offset > zip.centralStart || size > zip.centralStart - offset;
        if (!outside) std::memcpy(buffer, zip.data + offset, size);
        return !outside;
    };
    for (const Entry& entry : entries) {
        if (entry.directory) {
            if (CreateDirectoryTree(AppPath(entry.name))) continue;
            AppendLogLine(L"Không thể tạo thư mục: " + AppPath(entry.name));
            return false;
        }
        ZipEntryStat stat;
        if (!ZipReaderFileStat(zip, entry.index, stat) ||
            !unpack.Stage(entry.name, stat, ZipEntryArchiveOffset(zip, stat), read)) {
            if (outside) AppendLogLine(L"Không thể giải nén file: " + entry.name);
            failure = unpack.failure;
            return false;
        }
    }
    return unpack.Commit();
}

}  // namespace

bool ShellExtractAndCommit(const std::wstring& archivePath, const std::wstring& version,
                           const UnpackOptions& options, const ShellCopy& copy,
                           unsigned long stallMs) {
    // Our reader lists and checks every name first; only the files it lists are committed.
    std::vector<Entry> entries;
    {
        MappedArchive archive;
        if (!OpenArchive(archivePath, archive)) return false;
        const bool listed = ReadEntries(archive.zip, entries, options);
        ZipReaderEnd(archive.zip);
        if (!listed) return false;
    }
    const std::wstring folder = ShellStagingFolder();
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    CommitPlan plan;
    bool result = BeginPlan(version, plan) && CreateDirectoryTree(folder) &&
                  copy(archivePath, folder, [&] { return AwaitShellFiles(entries, stallMs); });
    for (const Entry& entry : entries) {
        if (!result) break;
        result = CreateDirectoryTree(entry.directory ? AppPath(entry.name)
                                                     : ParentOf(AppPath(entry.name)));
        if (!result || entry.directory) continue;
        plan.files[PlanStagedFile(plan, entry.name)].staged = ShellStagedName(entry.name);
        result = FlushFileToDisk(AppPath(ShellStagedName(entry.name)));
    }
    if (result) PlanExtras(plan, options);
    result = result && PrepareJournal(plan);
    if (result && !WriteKeptList(options)) {
        RollBackCommit();
        result = false;
    }
    result = result && CommitOrRollBack(plan);
    if (!result) std::filesystem::remove_all(folder, error);
    return result;
}

bool ExtractZip(const std::wstring& archivePath, const std::wstring& version,
                UnpackFailure* failure, const UnpackOptions& options) {
    UnpackFailure unused = UnpackFailure::Other;
    UnpackFailure& why = failure ? *failure : unused;
    why = UnpackFailure::Other;
    const std::wstring& destination = AppDirectory();
    if (!CreateDirectoryTree(destination)) {
        AppendLogLine(L"Không thể tạo thư mục đích: " + destination);
        return false;
    }

    MappedArchive archive;
    if (!OpenArchive(archivePath, archive)) return false;
    ZipReader& zip = archive.zip;

    std::vector<Entry> entries;
    bool result = ReadEntries(zip, entries, options);
    if (result) {
        // Staging needs room for every file while the old ones still stand. The sum saturates:
        // sizes that wrap past 2^64 would read as little needed.
        uint64_t needed = 0;
        for (const Entry& entry : entries)
            needed = entry.size > UINT64_MAX - needed ? UINT64_MAX : needed + entry.size;
        ULARGE_INTEGER available{};
        if (GetDiskFreeSpaceExW(destination.c_str(), &available, nullptr, nullptr) &&
            available.QuadPart < needed) {
            why = UnpackFailure::Space;
            ZipReaderEnd(zip);
            return false;
        }
        result = StageAndCommit(zip, entries, version, why, options);
        if (why == UnpackFailure::Method && !OthersInflate(zip, entries)) why = UnpackFailure::Other;
    }

    ZipReaderEnd(zip);
    AppendLogLine(result ? L"Miniz giải nén thành công!" : L"Miniz giải nén thất bại!");
    return result;
}
