#include "update/catch_up.h"

#include <windows.h>

#include <memory>
#include <set>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "install/zip_ranges.h"
#include "install/zip_reader.h"

namespace {

// Longer central directories are not read by range: the whole archive is fetched instead.
constexpr uint64_t kMaxDirectoryBytes = 64u << 20;

// What one SOURCE archive gives the image: a local file holding either the fetched ranges
// joined, or the whole archive, and the directory that describes the entries.
struct Piece {
    std::wstring file;
    bool whole = false;
    std::string tail;  // the reader points into it: a Piece never moves
    ZipReader zip;
    std::vector<uint32_t> indices;
    std::vector<ByteRange> ranges;
};

uint64_t SizeOnDisk(const std::wstring& path, bool& exists) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    exists = GetFileAttributesExW(AppPath(path).c_str(), GetFileExInfoStandard, &data) != 0 &&
             !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    return exists ? (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow : 0;
}

bool ReadAt(HANDLE file, uint64_t offset, std::string& bytes) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return false;
    for (size_t done = 0; done < bytes.size();) {
        DWORD read = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        if (!ReadFile(file, &bytes[done], want, &read, nullptr) || read == 0) return false;
        done += read;
    }
    return true;
}

// Opens the directory from the end of an archive of length bytes, reading with read(from,
// bytes): the end first, then from where the reader asks. False when it cannot be read.
template <typename Read>
bool OpenDirectory(Piece& piece, uint64_t length, Read&& read) {
    uint64_t from = length - std::min(length, ZipTailBytes);
    for (int reads = 0; reads < 3; ++reads) {
        if (!read(from, piece.tail)) return false;
        uint64_t needFrom = length;
        if (ZipReaderInitTail(piece.zip, piece.tail.data(), piece.tail.size(), length, needFrom))
            return true;
        if (needFrom >= from || length - needFrom > kMaxDirectoryBytes) return false;
        from = needFrom;
    }
    return false;
}

// The entries of files in the piece's directory, by their stored names. False when one lacks.
bool FindEntries(Piece& piece, const std::vector<const ListedFile*>& files) {
    std::map<std::string, uint32_t> byName;
    ZipEntryStat stat;
    for (uint32_t i = 0; i < ZipReaderGetNumFiles(piece.zip); ++i)
        if (ZipReaderFileStat(piece.zip, i, stat)) byName.emplace(stat.filename, i);
    for (const ListedFile* file : files) {
        const auto found = byName.find(StoredPath(file->path));
        if (found == byName.end()) return false;
        piece.indices.push_back(found->second);
    }
    return true;
}

bool AppendFile(HANDLE image, const std::wstring& path, const std::vector<ByteRange>* ranges) {
    ScopedFile source(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source) return false;
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(source.get(), &size)) return false;
    const std::vector<ByteRange> all = {{0, static_cast<uint64_t>(size.QuadPart) - 1}};
    std::string buffer;
    for (const ByteRange& range : ranges ? *ranges : all) {
        if (size.QuadPart == 0) break;
        for (uint64_t at = range.first; at <= range.last; at += buffer.size()) {
            buffer.resize(static_cast<size_t>(std::min<uint64_t>(range.last - at + 1, 1u << 20)));
            DWORD written = 0;
            if (!ReadAt(source.get(), at, buffer) ||
                !WriteFile(image, buffer.data(), static_cast<DWORD>(buffer.size()), &written,
                           nullptr) ||
                written != buffer.size())
                return false;
        }
    }
    return true;
}

// Joins the pieces into one archive at imagePath, written beside it and then moved there.
bool WriteImage(const std::vector<std::unique_ptr<Piece>>& pieces,
                const std::wstring& imagePath) {
    const std::wstring temporary = imagePath + L".tmp";
    // Ranges of one archive (full builds) are the image's front already: moved, not copied.
    const bool moved = pieces.size() == 1 && !pieces[0]->whole &&
                       MoveFileExW(pieces[0]->file.c_str(), temporary.c_str(),
                                   MOVEFILE_REPLACE_EXISTING);
    ScopedFile image(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                 moved ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
    LARGE_INTEGER end = {};
    if (!image || !SetFilePointerEx(image.get(), end, nullptr, FILE_END)) return false;
    std::string records;
    uint64_t base = 0, entries = 0;
    for (const auto& piece : pieces) {
        if (!RangeImageRecords(piece->zip, piece->indices, piece->ranges, base, records) ||
            (!moved &&
             !AppendFile(image.get(), piece->file, piece->whole ? &piece->ranges : nullptr)))
            return false;
        for (const ByteRange& range : piece->ranges) base += range.Length();
        entries += piece->indices.size();
    }
    records += ZipEndRecords(entries, records.size(), base);
    DWORD written = 0;
    if (!WriteFile(image.get(), records.data(), static_cast<DWORD>(records.size()), &written,
                   nullptr) ||
        written != records.size())
        return false;
    image.reset();
    return MoveFileExW(temporary.c_str(), imagePath.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
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

EntryFetch FetchListedEntries(const std::vector<ListedFile>& files,
                              const OfferedArchives& offered, const std::wstring& imagePath,
                              ProgressCallback progress, const DownloadOptions& options) {
    std::map<std::wstring, std::vector<const ListedFile*>> bySource;
    for (const ListedFile& file : files) bySource[file.source].push_back(&file);
    std::vector<std::unique_ptr<Piece>> pieces;
    EntryFetch result = EntryFetch::Fetched;
    for (const auto& [version, wanted] : bySource) {
        const auto archive = offered.find(version);
        if (archive == offered.end()) return EntryFetch::Failed;
        const UpdateStep& step = archive->second;
        pieces.push_back(std::make_unique<Piece>());
        Piece& piece = *pieces.back();
        DownloadOptions fetch = options;
        fetch.expectedSize = step.size;
        fetch.mirrors = step.mirrors;
        fetch.digest = nullptr;  // each entry's own digest is checked as it is unpacked

        std::vector<DownloadSource> sources = ProbeSources(step.url, step.mirrors, fetch.retry);
        const uint64_t length = DropOtherLengths(sources, step.size);
        const std::vector<DownloadSource> ranged = RangeSources(sources, length);
        const bool opened =
            !ranged.empty() && length > 0 &&
            OpenDirectory(piece, length, [&](uint64_t from, std::string& bytes) {
                return FetchByteRange(ranged, length, {from, length - 1}, bytes, fetch);
            });
        if (opened && !FindEntries(piece, wanted)) {
            result = EntryFetch::Tampered;
            break;
        }
        if (opened && PlanEntryRanges(piece.zip, piece.indices, piece.ranges)) {
            piece.file = AppPath(version + L".zip.ranges");
            if (!DownloadRanges(ranged, length, piece.ranges, std::string(), piece.file,
                                progress, fetch)) {
                result = EntryFetch::Failed;
                break;
            }
            continue;
        }
        // No ranges, or a directory not to be read by them: the whole archive.
        piece.whole = true;
        piece.file = AppPath(version + L".zip");
        piece.indices.clear();
        if (!DownloadFile(step.url, piece.file, progress, fetch)) {
            result = EntryFetch::Failed;
            break;
        }
        ScopedFile local(CreateFileW(piece.file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size = {};
        if (!local || !GetFileSizeEx(local.get(), &size) ||
            !OpenDirectory(piece, static_cast<uint64_t>(size.QuadPart),
                           [&](uint64_t from, std::string& bytes) {
                               bytes.assign(static_cast<size_t>(size.QuadPart - from), '\0');
                               return ReadAt(local.get(), from, bytes);
                           }) ||
            !FindEntries(piece, wanted) || !PlanEntryRanges(piece.zip, piece.indices, piece.ranges)) {
            result = EntryFetch::Tampered;
            break;
        }
    }
    if (result == EntryFetch::Fetched && !WriteImage(pieces, imagePath)) result = EntryFetch::Failed;
    // A failed fetch keeps its parts for the next start; what was joined is not needed again.
    if (result != EntryFetch::Failed)
        for (const auto& piece : pieces) {
            DeleteFileW(piece->file.c_str());
            DiscardPartialDownload(piece->file);
        }
    return result;
}
