#include "update/catch_up.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <set>
#include <thread>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "install/zip_ranges.h"
#include "install/zip_reader.h"

namespace {

// Longer central directories are not read by range: the whole archive is fetched instead.
constexpr uint64_t kMaxDirectoryBytes = 64u << 20;

// One SOURCE archive: the entries wanted from it, and how they are fetched.
struct Archive {
    const UpdateStep* step = nullptr;
    std::vector<const ListedFile*> files;
    std::vector<DownloadSource> ranged;
    uint64_t length = 0;
    std::string tail;  // the reader points into it: an Archive never moves
    ZipReader zip;
    std::vector<uint32_t> indices;   // of files, in the same order
    std::vector<ByteRange> ranges;   // empty: the whole archive is fetched
};

uint64_t SizeOnDisk(const std::wstring& path, bool& exists) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    exists = GetFileAttributesExW(AppPath(path).c_str(), GetFileExInfoStandard, &data) != 0 &&
             !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    return exists ? (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow : 0;
}

bool ReadAt(HANDLE file, uint64_t offset, void* buffer, size_t size) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
    char* out = static_cast<char*>(buffer);
    for (size_t done = 0; done < size;) {
        DWORD read = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 20));
        if (!ReadFile(file, out + done, want, &read, nullptr) || read == 0) return false;
        done += read;
    }
    return true;
}

// Opens the directory from the end of an archive of length bytes, reading with read(from,
// bytes): the end first, then from where the reader asks. False when it cannot be read.
template <typename Read>
bool OpenDirectory(Archive& archive, uint64_t length, Read&& read) {
    uint64_t from = length - std::min(length, ZipTailBytes);
    for (int reads = 0; reads < 3; ++reads) {
        if (!read(from, archive.tail)) return false;
        uint64_t needFrom = length;
        if (ZipReaderInitTail(archive.zip, archive.tail.data(), archive.tail.size(), length,
                              needFrom))
            return true;
        if (needFrom >= from || length - needFrom > kMaxDirectoryBytes) return false;
        from = needFrom;
    }
    return false;
}

// The entries of the archive's files in its directory, by their stored names. False when one
// lacks.
bool FindEntries(Archive& archive) {
    std::map<std::string, uint32_t> byName;
    ZipEntryStat stat;
    for (uint32_t i = 0; i < ZipReaderGetNumFiles(archive.zip); ++i)
        if (ZipReaderFileStat(archive.zip, i, stat)) byName.emplace(stat.filename, i);
    archive.indices.clear();
    for (const ListedFile* file : archive.files) {
        const auto found = byName.find(StoredPath(file->path));
        if (found == byName.end()) return false;
        archive.indices.push_back(found->second);
    }
    return true;
}

// Stages the archive's files into unpack in the order their entries lie in, reading with
// read: at joined offsets of the ranges, or at archive offsets when it was fetched whole.
bool StageEntries(const Archive& archive, StagedUnpack& unpack, const ArchiveRead& read) {
    std::vector<std::pair<uint64_t, size_t>> order;  // archive offset, place in files
    ZipEntryStat stat;
    for (size_t i = 0; i < archive.files.size(); ++i) {
        if (!ZipReaderFileStat(archive.zip, archive.indices[i], stat)) return false;
        order.emplace_back(ZipEntryArchiveOffset(archive.zip, stat), i);
    }
    std::sort(order.begin(), order.end());
    for (const auto& [at, i] : order) {
        uint64_t offset = at;
        if (!ZipReaderFileStat(archive.zip, archive.indices[i], stat) ||
            (!archive.ranges.empty() && !JoinedOffset(archive.ranges, at, offset)) ||
            !unpack.Stage(archive.files[i]->path, stat, offset, read))
            return false;
    }
    return true;
}

// Reads the directory of the archive by range and plans the ranges of its entries, leaving
// them empty when the archive is to be fetched whole; Tampered when it lacks a file.
EntryFetch PlanArchive(Archive& archive, const DownloadOptions& fetch) {
    const UpdateStep& step = *archive.step;
    std::vector<DownloadSource> sources = ProbeSources(step.url, step.mirrors, fetch.retry);
    archive.length = DropOtherLengths(sources, step.size);
    archive.ranged = RangeSources(sources, archive.length);
    const uint64_t length = archive.length;
    const bool opened =
        !archive.ranged.empty() && length > 0 &&
        OpenDirectory(archive, length, [&](uint64_t from, std::string& bytes) {
            return FetchByteRange(archive.ranged, length, {from, length - 1}, bytes, fetch);
        });
    if (opened && !FindEntries(archive)) return EntryFetch::Tampered;
    if (!opened || !PlanEntryRanges(archive.zip, archive.indices, archive.ranges))
        archive.ranges.clear();
    return EntryFetch::Fetched;
}

// Fetches the whole archive to zipPath, then stages its files from it.
EntryFetch FetchWhole(Archive& archive, const std::wstring& zipPath, StagedUnpack& unpack,
                      const ProgressCallback& progress, const DownloadOptions& fetch) {
    if (!DownloadFile(archive.step->url, zipPath, progress, fetch)) return EntryFetch::Failed;
    ScopedFile local(CreateFileW(zipPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!local || !GetFileSizeEx(local.get(), &size)) return EntryFetch::Failed;
    const uint64_t length = static_cast<uint64_t>(size.QuadPart);
    // The whole archive is here: bytes it lacks are a wrong archive's.
    bool outside = false;
    const auto read = [&](uint64_t from, void* buffer, size_t bytes) {
        outside = from > length || bytes > length - from ||
                  !ReadAt(local.get(), from, buffer, bytes);
        return !outside;
    };
    if (!OpenDirectory(archive, length,
                       [&](uint64_t from, std::string& bytes) {
                           bytes.assign(static_cast<size_t>(length - from), '\0');
                           return ReadAt(local.get(), from, &bytes[0], bytes.size());
                       }) ||
        !FindEntries(archive))
        return EntryFetch::Tampered;
    if (StageEntries(archive, unpack, read)) return EntryFetch::Fetched;
    return outside || unpack.failure == UnpackFailure::Tampered ? EntryFetch::Tampered
                                                                : EntryFetch::Failed;
}

}  // namespace

std::vector<ListedFile> FilesToFetch(const FileList& latest, const FileList& kept) {
    std::map<std::wstring, const ListedFile*> installed;
    for (const ListedFile& file : kept) installed[UpperPath(file.path)] = &file;
    std::vector<ListedFile> wanted;
    for (const ListedFile& file : latest) {
        bool exists = false;
        const uint64_t size = SizeOnDisk(file.path, exists);
        if (file.user && exists) continue;
        const auto same = installed.find(UpperPath(file.path));
        if (exists && size == file.size && same != installed.end() &&
            same->second->sha256 == file.sha256)
            continue;
        wanted.push_back(file);
    }
    return wanted;
}

bool SourcesOffered(const std::vector<ListedFile>& files, const OfferedArchives& offered) {
    for (const ListedFile& file : files)
        if (!offered.count(file.source)) return false;
    return true;
}

void DiscardFetchedEntries(const std::vector<ListedFile>& files) {
    std::set<std::wstring> sources;
    for (const ListedFile& file : files) sources.insert(file.source);
    for (const std::wstring& version : sources) {
        DeleteFileW(AppPath(version + L".zip").c_str());  // fetched whole
        DiscardPartialDownload(AppPath(version + L".zip.ranges"));
    }
}

EntryFetch FetchListedEntries(const std::vector<ListedFile>& files,
                              const OfferedArchives& offered, StagedUnpack& unpack,
                              ProgressCallback progress, const DownloadOptions& options) {
    std::map<std::wstring, std::unique_ptr<Archive>> archives;
    for (const ListedFile& file : files) {
        const auto step = offered.find(file.source);
        if (step == offered.end()) return EntryFetch::Failed;
        std::unique_ptr<Archive>& archive = archives[file.source];
        if (!archive) archive = std::make_unique<Archive>();
        archive->step = &step->second;
        archive->files.push_back(&file);
    }
    DownloadOptions fetch = options;
    fetch.digest = nullptr;  // each entry's own digest is checked as it is staged
    // Every directory first, the archives side by side: a few round trips each, and the
    // progress then knows the bytes of all of them.
    std::vector<EntryFetch> planned(archives.size(), EntryFetch::Failed);
    std::vector<std::thread> planners;
    size_t index = 0;
    for (auto& [version, archive] : archives) {
        DownloadOptions own = fetch;
        own.expectedSize = archive->step->size;
        own.mirrors = archive->step->mirrors;
        const auto plan = [&planned, index, own, target = archive.get()] {
            try {
                planned[index] = PlanArchive(*target, own);
            } catch (...) {  // nothing may escape a thread's function
            }
        };
        try {
            planners.emplace_back(plan);
        } catch (...) {
            plan();  // no thread: planned here
        }
        ++index;
    }
    for (std::thread& planner : planners) planner.join();
    for (const EntryFetch result : planned)
        if (result != EntryFetch::Fetched) return result;
    uint64_t total = 0;
    for (auto& [version, archive] : archives) {
        uint64_t bytes = archive->length;
        if (!archive->ranges.empty()) {
            bytes = 0;
            for (const ByteRange& range : archive->ranges) bytes += range.Length();
        }
        total += bytes;
    }
    uint64_t base = 0;
    for (auto& [version, archive] : archives) {
        fetch.expectedSize = archive->step->size;
        fetch.mirrors = archive->step->mirrors;
        uint64_t last = 0;
        const ProgressCallback overall = [&](uint64_t done, uint64_t) {
            last = done;
            if (progress) progress(base + done, total);
        };
        const std::wstring zipPath = AppPath(version + L".zip");
        EntryFetch result = EntryFetch::Fetched;
        if (archive->ranges.empty()) {
            result = FetchWhole(*archive, zipPath, unpack, overall, fetch);
        } else {
            const FollowRanges follow = [&](ArrivingBytes& bytes) {
                return StageEntries(*archive, unpack, [&](uint64_t at, void* buffer, size_t size) {
                    return bytes.Read(at, buffer, size);
                });
            };
            if (!DownloadRanges(archive->ranged, archive->length, archive->ranges,
                                zipPath + L".ranges", follow, overall, fetch))
                result = unpack.failure == UnpackFailure::Tampered ? EntryFetch::Tampered
                                                                   : EntryFetch::Failed;
        }
        // What holds a wrong entry is of no use to a later start.
        if (result == EntryFetch::Tampered) {
            DeleteFileW(zipPath.c_str());
            DiscardPartialDownload(zipPath);
            DiscardPartialDownload(zipPath + L".ranges");
        }
        if (result != EntryFetch::Fetched) return result;
        base += last;
    }
    return EntryFetch::Fetched;
}
