#include "update/local_files.h"

#include <algorithm>
#include <cstdlib>

#include "base/scoped_handle.h"
#include "base/text.h"
#include "install/held_file.h"

bool ReadFileToString(const std::wstring& path, std::string& content) {
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    std::string bytes;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file.get(), &size) && size.QuadPart > 0) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        // The file may shrink while we read it; keep what actually arrived.
        size_t filled = 0;
        while (filled < bytes.size()) {
            DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - filled, 1u << 30));
            DWORD got = 0;
            if (!ReadFile(file.get(), &bytes[filled], chunk, &got, nullptr) || got == 0) break;
            filled += got;
        }
        bytes.resize(filled);
    }
    content.swap(bytes);
    return true;
}

bool WriteStringToFile(const std::wstring& path, const std::string& bytes) {
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

std::wstring ReadInstalledVersion(const std::wstring& path) {
    const std::wstring none = L"0.0.0";
    std::string content;
    if (!ReadFileToString(path, content)) return none;
    if (content.size() < 8) return none;
    size_t key = content.find("version=");
    if (key == std::string::npos) return none;
    size_t start = key + 8;
    size_t end = content.find_first_of("\r\n", key);
    if (end == std::string::npos) end = content.size();
    return Utf8ToWide(content.data() + start, end - start);
}

bool WriteInstalledVersion(const std::wstring& path, const std::wstring& version) {
    // A target that cannot be opened for writing (read-only, locked) keeps its content, as an
    // in-place write would. The attribute is checked itself: a rename replaces read-only files
    // on some systems, and a process running as root under Wine opens them for writing.
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return false;
    // A holder that lets no one write (a scanner, for a moment) is waited for.
    {
        ScopedFile target;
        if (!RetryWhileHeld(path, [&] {
                target.reset(CreateFileW(path.c_str(), GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
                return static_cast<bool>(target);
            }) &&
            GetLastError() != ERROR_FILE_NOT_FOUND)
            return false;
    }
    const std::string text = "version=" + WideToUtf8(version) + "\r\n";
    // A fixed name beside the target, so a temporary left by a killed run is reused and
    // consumed by the next write instead of piling up. A second launcher writing at the same
    // moment cannot open it (no write sharing) and reports failure.
    const std::wstring temporary = path + L".tmp";
    {
        ScopedFile file(CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        DWORD written = 0;
        bool ok = WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                            nullptr) &&
                  written == text.size() && FlushFileBuffers(file.get());
        if (!ok) {
            file.reset();
            DeleteFileW(temporary.c_str());
            return false;
        }
    }
    if (MoveFileExW(temporary.c_str(), path.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    // Refused while another process holds the file without delete sharing (the application we
    // just stopped may not have ended yet): written in place instead, or every later start would
    // install this version again.
    DeleteFileW(temporary.c_str());
    return WriteStringToFile(path, text);
}

DWORD ReadPidFile(const std::wstring& path) {
    std::string content;
    if (!ReadFileToString(path, content)) return 0;
    return static_cast<DWORD>(std::atoi(content.c_str()));
}
