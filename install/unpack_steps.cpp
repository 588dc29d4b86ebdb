#include "install/unpack_steps.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cwchar>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "base/worker_messages.h"
#include "install/commit.h"
#include "install/file_list.h"
#include "install/held_file.h"

namespace {

// WriteFile takes a 32-bit count; larger buffers go out in pieces of this size.
constexpr uint64_t WriteChunk = 1u << 30;

bool MakeDirectory(const std::wstring& path) {
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace

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

std::wstring ParentOf(const std::wstring& path) {
    std::wstring parent = path;
    PathRemoveFileSpecW(&parent[0]);
    parent.resize(std::wcslen(parent.c_str()));
    return parent;
}

// The commit of a staged plan, rolled back whole when a target can be neither replaced nor
// moved aside.
bool CommitOrRollBack(const CommitPlan& plan) {
    std::wstring held;
    unsigned long error = 0;
    if (CommitStagedFiles(plan, held, error)) return true;
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
        error == ERROR_LOCK_VIOLATION) {
        // The holder may have the target or its staged copy open.
        std::vector<std::wstring> paths{held};
        for (const StagedFile& file : plan.files)
            if (AppPath(file.target) == held && file.staged != file.target)
                paths.push_back(AppPath(file.staged));
        const std::wstring holders = HolderNames(paths);
        AppendLogLine(L"File đang được sử dụng: " + held +
                      (holders.empty() ? L"" : L" (" + holders + L")"));
    } else
        AppendLogLine(L"Không thể tạo file: " + held + L" (lỗi: " + std::to_wstring(error) + L")");
    RollBackCommit();
    return false;
}

bool BeginPlan(const std::wstring& version, CommitPlan& plan) {
    if (BeginCommitPlan(version, plan)) return true;
    AppendLogLine(L"Không thể tạo file: " + CommitJournalPath() + L" (lỗi: " +
                  std::to_wstring(ERROR_ALREADY_EXISTS) + L")");
    return false;
}

bool PrepareJournal(CommitPlan& plan) {
    if (PrepareCommit(plan)) return true;
    AppendLogLine(L"Không thể tạo file: " + CommitJournalPath() + L" (lỗi: " +
                  std::to_wstring(GetLastError()) + L")");
    return false;
}

// Plans the removals and the kept list; after the archive's files, so a name the version
// still ships is never removed.
void PlanExtras(CommitPlan& plan, const UnpackOptions& options) {
    for (const std::wstring& name : options.removals) PlanRemovedFile(plan, name);
    if (!options.keptList) return;
    DeleteFileW(AppPath(KeptListTemporaryName()).c_str());
    plan.files[PlanStagedFile(plan, KeptListName())].staged = KeptListTemporaryName();
    plan.planned.emplace(UpperPath(KeptListTemporaryName()), plan.files.size());
}

// Written through to disk like version.ini, before anything is renamed.
bool WriteKeptList(const UnpackOptions& options) {
    if (!options.keptList) return true;
    const std::wstring path = AppPath(KeptListTemporaryName());
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file && WriteAll(file.get(), options.keptList->data(), options.keptList->size()) &&
        FlushFileBuffers(file.get()))
        return true;
    AppendLogLine(L"Không thể tạo file: " + path + L" (lỗi: " + std::to_wstring(GetLastError()) +
                  L")");
    return false;
}

