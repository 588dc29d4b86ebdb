#include "install/commit.h"

#include <windows.h>

#include <filesystem>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "install/held_file.h"

namespace {

const wchar_t kCommitMark[] = L"commit";

// What a journal on disk says. committing: the mark written before the first rename is there.
struct Journal {
    std::wstring version;
    std::vector<StagedFile> files;
    std::vector<std::wstring> leftovers;
    bool committing = false;
};

std::wstring Upper(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

bool Exists(const std::wstring& name) {
    return GetFileAttributesW(AppPath(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Gone afterwards, or was never there; a read-only file is made writable first. Without a wait
// for a holder: for a moved-aside file that is still in use, which a later start deletes.
bool DeleteNow(const std::wstring& name) {
    const std::wstring path = AppPath(name);
    if (DeleteFileW(path.c_str()) || !Exists(name)) return true;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(path.c_str()) != FALSE;
}

// The deletes and renames of staging, commit and rollback wait a while for a passing holder.
bool Delete(const std::wstring& name) {
    return RetryWhileHeld(AppPath(name), [&] { return DeleteNow(name); });
}

bool Rename(const std::wstring& from, const std::wstring& to, DWORD flags = 0) {
    const std::wstring source = AppPath(from), destination = AppPath(to);
    return RetryWhileHeld(source, [&] {
        return MoveFileExW(source.c_str(), destination.c_str(), flags) != FALSE;
    });
}

// The long form of a full path; the path itself when it names nothing that exists.
std::wstring LongPath(const std::wstring& path) {
    std::wstring result(GetLongPathNameW(path.c_str(), nullptr, 0), L'\0');
    const DWORD length =
        GetLongPathNameW(path.c_str(), &result[0], static_cast<DWORD>(result.size()));
    if (length == 0 || length >= result.size()) return path;
    result.resize(length);
    return result;
}

bool WriteThrough(const std::wstring& path, const std::string& bytes, DWORD disposition) {
    ScopedFile file;
    RetryWhileHeld(path, [&] {
        file.reset(CreateFileW(path.c_str(),
                               disposition == OPEN_ALWAYS ? FILE_APPEND_DATA : GENERIC_WRITE, 0,
                               nullptr, disposition, FILE_FLAG_WRITE_THROUGH, nullptr));
        return static_cast<bool>(file);
    });
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size() && FlushFileBuffers(file.get());
}

// Replaced whole through a written-through copy, so a kill leaves the old journal or the new.
bool WriteJournal(const std::wstring& version, const std::vector<StagedFile>& files,
                  const std::vector<std::wstring>& leftovers) {
    std::wstring text = L"hopwell-commit\nversion\t" + version + L"\n";
    for (const StagedFile& file : files)
        text += L"file\t" + file.target + L"\t" + file.staged + L"\t" + file.aside + L"\n";
    for (const std::wstring& leftover : leftovers) text += L"left\t" + leftover + L"\n";
    const std::wstring path = CommitJournalPath(), temporary = path + L".tmp";
    return WriteThrough(temporary, WideToUtf8(text), CREATE_ALWAYS) &&
           RetryWhileHeld(temporary, [&] {
               return MoveFileExW(temporary.c_str(), path.c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
           });
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts(1);
    for (wchar_t c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

bool ReadJournal(Journal& journal) {
    const std::wstring path = CommitJournalPath();
    ScopedFile file;
    RetryWhileHeld(path, [&] {
        file.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr));
        return static_cast<bool>(file);
    });
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > (1LL << 30)) return false;
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        !ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr))
        return false;
    bytes.resize(read);
    for (const std::wstring& line : Split(Utf8ToWide(bytes), L'\n')) {
        const std::vector<std::wstring> field = Split(line, L'\t');
        if (field[0] == L"version" && field.size() == 2) journal.version = field[1];
        if (field[0] == L"file" && field.size() == 4)
            journal.files.push_back({field[1], field[2], field[3], !field[3].empty()});
        if (field[0] == L"left" && field.size() == 2) journal.leftovers.push_back(field[1]);
        if (line == kCommitMark) journal.committing = true;
    }
    return true;
}

// Whether name exists, from one listing of its folder (long and short names): creating files
// is most of an unpack's time under Wine, and a look per file would add a sixth to it. A name
// ending in a dot or space, which Windows drops when opening, is looked at itself.
bool Listed(CommitPlan& plan, const std::wstring& name) {
    if (name.back() == L'.' || name.back() == L' ') return Exists(name);
    const size_t slash = name.rfind(L'\\');
    const std::wstring folder = slash == std::wstring::npos ? L"" : name.substr(0, slash + 1);
    const auto listing = plan.listings.emplace(Upper(folder), std::set<std::wstring>());
    if (listing.second) {
        WIN32_FIND_DATAW found{};
        ScopedFind search(FindFirstFileExW(AppPath(folder + L"*").c_str(), FindExInfoStandard,
                                           &found, FindExSearchNameMatch, nullptr, 0));
        for (bool more = static_cast<bool>(search); more;
             more = FindNextFileW(search.get(), &found) != FALSE) {
            listing.first->second.insert(Upper(found.cFileName));
            if (found.cAlternateFileName[0])
                listing.first->second.insert(Upper(found.cAlternateFileName));
        }
    }
    return listing.first->second.count(Upper(name.substr(folder.size()))) > 0;
}

// Deletes what is left to delete; the journal then keeps only what could not be deleted.
void FinishJournal(const std::wstring& version, std::vector<std::wstring> leftovers) {
    std::vector<std::wstring> remaining;
    for (const std::wstring& leftover : leftovers)
        if (!DeleteNow(leftover)) remaining.push_back(leftover);
    std::error_code ignored;
    std::filesystem::remove_all(ShellStagingFolder(), ignored);
    if (remaining.empty())
        DeleteFileW(CommitJournalPath().c_str());
    else
        WriteJournal(version, {}, remaining);
}

}  // namespace

std::wstring CommitJournalPath() { return AppPath(L"hopwell-commit.journal"); }

std::wstring ShellStagingFolder() { return AppPath(L"hopwell-shell-staging"); }

bool BeginCommitPlan(const std::wstring& version, CommitPlan& plan) {
    plan = CommitPlan{version, {}, {}, {}, LongPath(AppDirectory()), {}};
    Journal earlier;
    // One that exists but cannot be read (held past the wait) is not overwritten either.
    if (!ReadJournal(earlier))
        return GetFileAttributesW(CommitJournalPath().c_str()) == INVALID_FILE_ATTRIBUTES;
    plan.leftovers = earlier.leftovers;
    return earlier.files.empty();
}

size_t PlanStagedFile(CommitPlan& plan, const std::wstring& name) {
    StagedFile file{name, name, L"", false};
    // Only an existing file's long name is looked up.
    if (Listed(plan, name)) {
        file.replaces = true;
        const std::wstring& base = plan.longDirectory;
        const std::wstring path = LongPath(AppPath(name));
        if (path.size() > base.size() + 1 && path[base.size()] == L'\\' &&
            CompareStringOrdinal(path.c_str(), static_cast<int>(base.size()), base.c_str(),
                                 static_cast<int>(base.size()), TRUE) == CSTR_EQUAL)
            file.target = file.staged = path.substr(base.size() + 1);
    }
    const auto found = plan.planned.emplace(Upper(file.target), plan.files.size());
    if (found.second) plan.files.push_back(file);
    return found.first->second;
}

bool PrepareCommit(CommitPlan& plan) {
    // A name is free when neither a file nor a name of the plan holds it.
    auto freeName = [&](const std::wstring& target, const wchar_t* suffix) {
        for (int n = 0; n < 1000; ++n) {
            const std::wstring name =
                target + suffix + (n > 0 ? std::to_wstring(n) : std::wstring());
            if (plan.planned.emplace(Upper(name), plan.files.size()).second &&
                !Listed(plan, name))
                return name;
        }
        return std::wstring();
    };
    for (StagedFile& file : plan.files) {
        if (!file.replaces) continue;
        if (file.staged == file.target) file.staged = freeName(file.target, L".hopwell-new");
        file.aside = freeName(file.target, L".hopwell-old");
        if (file.staged.empty() || file.aside.empty()) return false;
    }
    return WriteJournal(plan.version, plan.files, plan.leftovers);
}

bool CommitStagedFiles(const CommitPlan& plan, std::wstring& heldTarget, unsigned long& error) {
    if (!WriteThrough(CommitJournalPath(), WideToUtf8(kCommitMark) + "\n", OPEN_ALWAYS)) {
        error = GetLastError();
        heldTarget = CommitJournalPath();
        return false;
    }
    for (const StagedFile& file : plan.files) {
        const bool moved = !file.replaces || Rename(file.target, file.aside) ||
                           GetLastError() == ERROR_FILE_NOT_FOUND;
        if (!moved || (file.staged != file.target && !Rename(file.staged, file.target))) {
            error = GetLastError();
            heldTarget = AppPath(file.target);
            return false;
        }
    }
    return true;
}

bool PendingCommitVersion(std::wstring& version) {
    DeleteFileW((CommitJournalPath() + L".tmp").c_str());  // a journal whose writing was killed
    Journal journal;
    if (!ReadJournal(journal)) return false;
    version = journal.version;
    return true;
}

void RollBackCommit() {
    Journal journal;
    if (!ReadJournal(journal)) return;
    bool restored = true;
    for (auto file = journal.files.rbegin(); file != journal.files.rend(); ++file) {
        const bool separate = file->staged != file->target;
        if (!journal.committing) {
            // Nothing was renamed yet: a new file written under its own name goes, staged
            // copies go.
            restored &= Delete(separate ? file->staged : file->target);
        } else if (file->replaces && Exists(file->aside)) {
            restored &= Rename(file->aside, file->target, MOVEFILE_REPLACE_EXISTING) &&
                        (!separate || Delete(file->staged));
        } else if (separate && Exists(file->staged)) {
            restored &= Delete(file->staged);  // its target was never touched
        } else {
            restored &= Delete(file->target);  // the new file under a name that had none
        }
    }
    // What could not be put back is tried again by the next pass, from the same journal.
    if (restored) FinishJournal(journal.version, journal.leftovers);
}

void CompleteCommit() {
    Journal journal;
    if (!ReadJournal(journal)) return;
    std::vector<std::wstring> leftovers = journal.leftovers;
    for (const StagedFile& file : journal.files)
        if (file.replaces) leftovers.push_back(file.aside);
    FinishJournal(journal.version, leftovers);
}
