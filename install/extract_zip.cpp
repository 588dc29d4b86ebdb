#include "install/extract_zip.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "base/worker_messages.h"
#include "install/zip_reader.h"

namespace {

// WriteFile takes a 32-bit count; larger entries go out in pieces of this size.
constexpr uint64_t WriteChunk = 1u << 30;

struct ZipBufferFree {
    void operator()(void* buffer) const { ZipFree(buffer); }
};
using EntryBuffer = std::unique_ptr<void, ZipBufferFree>;

bool MakeDirectory(const std::wstring& path) {
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// Creates a directory and every missing one above it; one that already exists counts.
// SHCreateDirectoryExW announces each directory it makes to the shell, which costs
// milliseconds a directory, so missing directories are made with CreateDirectoryW from the
// first one that exists downwards. Whatever that cannot do is left to SHCreateDirectoryExW,
// whose answer then decides.
bool CreateDirectoryTree(const std::wstring& path) {
    if (MakeDirectory(path)) return true;
    if (GetLastError() == ERROR_PATH_NOT_FOUND) {
        std::wstring parent = path;
        while (!parent.empty() && parent.back() == L'\\') parent.pop_back();
        PathRemoveFileSpecW(&parent[0]);
        parent.resize(std::wcslen(parent.c_str()));
        if (!parent.empty() && parent.size() < path.size() && CreateDirectoryTree(parent) &&
            MakeDirectory(path))
            return true;
    }
    const int result = SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    return result == ERROR_SUCCESS || GetLastError() == ERROR_ALREADY_EXISTS;
}

// The stored name as a Windows relative path: UTF-8 to UTF-16, '/' to '\'.
std::wstring WideEntryName(const ZipEntryStat& stat) {
    std::wstring name = Utf8ToWide(stat.filename, std::strlen(stat.filename));
    std::replace(name.begin(), name.end(), L'/', L'\\');
    return name;
}

// A name stays below the destination only when it is relative, names no drive, stream or
// device (no colon anywhere) and never steps up. Windows drops trailing dots and spaces from
// path components, so "..." and ".. " are taken to step up as well.
bool IsSafeEntryName(const std::wstring& name) {
    if (!name.empty() && name[0] == L'\\') return false;
    if (name.find(L':') != std::wstring::npos) return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find(L'\\', start);
        if (end == std::wstring::npos) end = name.size();
        const std::wstring component = name.substr(start, end - start);
        const bool dotsAndSpaces = component.find_first_not_of(L". ") == std::wstring::npos;
        if (dotsAndSpaces && std::count(component.begin(), component.end(), L'.') >= 2)
            return false;
        start = end + 1;
    }
    return true;
}

// Every name is looked at before anything is written, so a hostile archive leaves no trace.
// An entry whose record cannot be read is left to the walk, which reports it in its place.
bool CheckEntryNames(const ZipReader& zip, int count) {
    for (int index = 0; index < count; ++index) {
        ZipEntryStat stat;
        if (!ZipReaderFileStat(zip, static_cast<uint32_t>(index), stat)) continue;
        const std::wstring name = WideEntryName(stat);
        if (!IsSafeEntryName(name)) {
            AppendLogLine(L"Đường dẫn không hợp lệ trong file ZIP: " + name);
            return false;
        }
    }
    return true;
}

bool WriteAll(HANDLE file, const void* data, uint64_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min(size, WriteChunk));
        DWORD written = 0;
        if (!WriteFile(file, bytes, chunk, &written, nullptr) || written != chunk) return false;
        bytes += chunk;
        size -= chunk;
    }
    return true;
}

// A target that cannot be created: in use (skipped, and said for the first five entries), or
// any other reason (the walk ends). Returns whether the walk goes on.
bool ReportCreateFailure(int index, const std::wstring& target, DWORD error) {
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) {
        if (index < 5) AppendLogLine(L"File đang được sử dụng, bỏ qua: " + target);
        return true;
    }
    AppendLogLine(L"Không thể tạo file: " + target + L" (lỗi: " + std::to_wstring(error) + L")");
    return false;
}

// Replaces an existing target by writing beside it and renaming over it, so that a process
// killed mid-write leaves the old file or the new one, never a truncated one. Protected targets
// and ones another process holds are refused here and left to the in-place write, which gives
// the platform's own answer for them.
bool ReplaceWithStagedCopy(const std::wstring& target, const void* data, uint64_t size) {
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                       FILE_ATTRIBUTE_DIRECTORY))) {
        return false;
    }
    const std::wstring staged = target + L".hopwell-new";
    {
        ScopedFile file(CreateFileW(staged.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        if (!WriteAll(file.get(), data, size)) {
            file.reset();
            DeleteFileW(staged.c_str());
            return false;
        }
    }
    if (MoveFileExW(staged.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    DeleteFileW(staged.c_str());
    return false;
}

// Writes one file entry. A new file is written where it stands (a killed run leaves at most a
// file no installed version has); an existing one is replaced whole. False ends the walk.
bool WriteEntryFile(int index, const std::wstring& target, const void* data, uint64_t size) {
    ScopedFile file(CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS) return ReportCreateFailure(index, target, error);
        if (ReplaceWithStagedCopy(target, data, size)) return true;
        file.reset(CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return ReportCreateFailure(index, target, GetLastError());
    }
    if (!WriteAll(file.get(), data, size)) {
        AppendLogLine(L"Lỗi ghi file: " + target);
        return false;
    }
    return true;
}

// One entry of the walk. False ends the walk; the reason has been logged.
bool ExtractEntry(const ZipReader& zip, int index, const std::wstring& destination) {
    ZipEntryStat stat;
    if (!ZipReaderFileStat(zip, static_cast<uint32_t>(index), stat)) {
        AppendLogLine(L"Lỗi đọc thông tin file " + std::to_wstring(index));
        return false;
    }
    const std::wstring name = WideEntryName(stat);
    if (name.empty()) return true;
    const std::wstring target = destination + L"\\" + name;

    if (name.back() == L'\\' || name.back() == L'/') {
        if (!CreateDirectoryTree(target)) {
            AppendLogLine(L"Không thể tạo thư mục: " + target);
            return false;
        }
        return true;
    }

    std::wstring parent = target;
    PathRemoveFileSpecW(&parent[0]);
    parent.resize(std::wcslen(parent.c_str()));
    if (!CreateDirectoryTree(parent)) {
        AppendLogLine(L"Không thể tạo thư mục cha: " + target);
        return false;
    }

    uint64_t size = 0;
    EntryBuffer data(ZipReaderExtractToHeap(zip, static_cast<uint32_t>(index), &size));
    if (!data) {
        AppendLogLine(L"Không thể giải nén file: " + name);
        return false;
    }

    return WriteEntryFile(index, target, data.get(), size);
    return true;
}

}  // namespace

bool ExtractZip(const std::wstring& archivePath) {
    const std::wstring& destination = AppDirectory();
    if (!CreateDirectoryTree(destination)) {
        AppendLogLine(L"Không thể tạo thư mục đích: " + destination);
        return false;
    }

    ScopedFile archive(CreateFileW(archivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!archive) {
        AppendLogLine(L"Không thể mở file ZIP: " + archivePath);
        return false;
    }

    // The archive is mapped, not copied: its pages come from the file cache, so private
    // memory holds one entry at a time whatever the archive's size. An empty file cannot be
    // mapped; it goes to the reader as no bytes at all.
    LARGE_INTEGER size{};
    ScopedHandle mapping;
    ScopedMappedView view;
    bool read = GetFileSizeEx(archive.get(), &size) != FALSE;
    if (read && size.QuadPart > 0) {
        mapping.reset(CreateFileMappingW(archive.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (mapping) view.reset(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
        read = static_cast<bool>(view);
    }
    if (!read) {
        view.reset();
        mapping.reset();
        archive.reset();
        AppendLogLine(L"Không thể đọc file ZIP: " + archivePath);
        return false;
    }

    ZipReader zip;
    if (!ZipReaderInitMem(zip, view.get(), static_cast<uint64_t>(size.QuadPart))) {
        AppendLogLine(L"Không thể khởi tạo miniz reader");
        return false;
    }

    const int count = static_cast<int>(ZipReaderGetNumFiles(zip));
    bool result = true;
    if (count >= 1) {
        result = CheckEntryNames(zip, count);
        for (int index = 0; result && index < count; ++index)
            result = ExtractEntry(zip, index, destination);
    }

    ZipReaderEnd(zip);
    AppendLogLine(result ? L"Miniz giải nén thành công!" : L"Miniz giải nén thất bại!");
    return result;
}
