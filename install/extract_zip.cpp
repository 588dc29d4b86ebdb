#include "install/extract_zip.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "base/worker_messages.h"
#include "install/entry_name.h"
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

// What came of replacing an existing target through a staged copy.
enum class Staging { Replaced, Refused, Failed };

// Replaces an existing target by writing beside it and renaming over it, so that a process
// killed mid-write leaves the old file or the new one, never a truncated one. Protected targets
// and ones another process holds (the rename is refused) are Refused and left to the in-place
// write, which gives the platform's own answer for them. A staged copy that cannot be made or
// written (a full disk) Fails, and the target keeps its old content.
Staging ReplaceWithStagedCopy(const std::wstring& target, const void* data, uint64_t size) {
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                       FILE_ATTRIBUTE_DIRECTORY))) {
        return Staging::Refused;
    }
    // A name that exists may be a file of the application or of this very archive: the staged
    // copy takes the first free one.
    std::wstring staged;
    for (int n = 0; n < 100 && staged.empty(); ++n) {
        staged = target + L".hopwell-new" + (n > 0 ? std::to_wstring(n) : std::wstring());
        if (GetFileAttributesW(staged.c_str()) != INVALID_FILE_ATTRIBUTES) staged.clear();
    }
    if (staged.empty()) return Staging::Failed;
    ScopedFile file(CreateFileW(staged.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return Staging::Failed;
    const bool written = WriteAll(file.get(), data, size);
    file.reset();
    if (written && MoveFileExW(staged.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
        return Staging::Replaced;
    const DWORD error = GetLastError();
    DeleteFileW(staged.c_str());
    const bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                      error == ERROR_USER_MAPPED_FILE;
    return written && held ? Staging::Refused : Staging::Failed;
}

}  // namespace

bool WriteEntryFile(int index, const std::wstring& target, const void* data, uint64_t size) {
    ScopedFile file(CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS) return ReportCreateFailure(index, target, error);
        const Staging staging = ReplaceWithStagedCopy(target, data, size);
        if (staging == Staging::Replaced) return true;
        if (staging == Staging::Failed) {
            AppendLogLine(L"Lỗi ghi file: " + target);
            return false;
        }
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

namespace {

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
}

}  // namespace

bool ExtractZip(const std::wstring& archivePath, bool* refused) {
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
        if (!result && refused) *refused = true;
        for (int index = 0; result && index < count; ++index)
            result = ExtractEntry(zip, index, destination);
    }

    ZipReaderEnd(zip);
    AppendLogLine(result ? L"Miniz giải nén thành công!" : L"Miniz giải nén thất bại!");
    return result;
}
