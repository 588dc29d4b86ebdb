#include "install/commit.h"

#include <windows.h>

#include <filesystem>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "install/entry_name.h"
#include "install/held_file.h"

namespace {

const wchar_t kCommitMark[] = L"commit";
const wchar_t kShellStagingName[] = L"hopwell-shell-staging";

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

// name is base + suffix + a number the launcher adds (none, or 1 to 999).
bool IsNameBeside(const std::wstring& name, const std::wstring& base, const std::wstring& suffix) {
    const std::wstring start = base + suffix;
    if (name.compare(0, start.size(), start) != 0) return false;
    const std::wstring number = name.substr(start.size());
    return number.empty() || (number.size() <= 3 && number[0] != L'0' &&
                              number.find_first_not_of(L"0123456789") == std::wstring::npos);
}

bool IsShellStaged(const std::wstring& name) {
    const std::wstring folder = ShellStagedName(L"");
    return name.compare(0, folder.size(), folder) == 0 &&
           IsSafeEntryName(name.substr(folder.size()));
}

bool IsKeptList(const std::wstring& name) {
    const std::wstring kept = KeptListName();
    return CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), kept.c_str(),
                                static_cast<int>(kept.size()), TRUE) == CSTR_EQUAL;
}

// A target a commit may name: one an archive may hold, or the kept list, which no archive may.
bool IsCommittedName(const std::wstring& name) {
    return !name.empty() && (IsSafeEntryName(name) || IsKeptList(name));
}

// Only names the launcher itself writes: a target that passes the entry-name check; staged as
// the target itself (a new file), beside it or in the shell's folder, or empty (a file the
// commit removes); aside beside it, or empty for a new file.
bool IsJournalledFile(const StagedFile& file) {
    const bool aside = !file.aside.empty();
    if (!IsCommittedName(file.target) ||
        (aside && !IsNameBeside(file.aside, file.target, L".hopwell-old")))
        return false;
    if (file.staged.empty() || IsNameBeside(file.staged, file.target, L".hopwell-new"))
        return aside;
    if (IsKeptList(file.target) && file.staged == KeptListTemporaryName()) return true;
    return file.staged == file.target ? !aside : IsShellStaged(file.staged);
}

bool IsLeftover(const std::wstring& name) {
    const size_t end = name.rfind(L".hopwell-old");
    return end != std::wstring::npos && end > 0 && IsCommittedName(name.substr(0, end)) &&
           IsNameBeside(name, name.substr(0, end), L".hopwell-old");
}

enum class JournalRead { None, Read, Damaged };

// Reads the journal when there is one. Damaged: it cannot be read, or holds anything the
// launcher does not write (a record out of place, a name it would never have written), so
// nothing it names may be touched. The commit mark is appended on its own: a line cut short
// by a kill is a mark not yet written, before any rename.
JournalRead ReadJournal(Journal& journal) {
    const std::wstring path = CommitJournalPath();
    ScopedFile file;
    RetryWhileHeld(path, [&] {
        file.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr));
        return static_cast<bool>(file);
    });
    if (!file && (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND))
        return JournalRead::None;
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > (1LL << 30))
        return JournalRead::Damaged;
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        !ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr))
        return JournalRead::Damaged;
    bytes.resize(read);
    const std::wstring text = Utf8ToWide(bytes);
    if (WideToUtf8(text) != bytes) return JournalRead::Damaged;
    std::vector<std::wstring> lines = Split(text, L'\n');
    const std::wstring tail = lines.back();  // after the last line end
    lines.pop_back();
    if (lines.size() < 2 || lines[0] != L"hopwell-commit" ||
        std::wstring(kCommitMark).compare(0, tail.size(), tail) != 0)
        return JournalRead::Damaged;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::wstring> field = Split(lines[i], L'\t');
        if (journal.committing) return JournalRead::Damaged;  // the mark is the last line
        if (i == 1) {
            if (field.size() != 2 || field[0] != L"version" || field[1].empty())
                return JournalRead::Damaged;
            journal.version = field[1];
        } else if (field[0] == L"file" && field.size() == 4 && journal.leftovers.empty()) {
            journal.files.push_back({field[1], field[2], field[3], !field[3].empty()});
            if (!IsJournalledFile(journal.files.back())) return JournalRead::Damaged;
        } else if (field[0] == L"left" && field.size() == 2 && IsLeftover(field[1])) {
            journal.leftovers.push_back(field[1]);
        } else if (lines[i] == kCommitMark) {
            journal.committing = true;
        } else {
            return JournalRead::Damaged;
        }
    }
    return JournalRead::Read;
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

// Definitely not there; false also when the system cannot tell.
bool Absent(const std::wstring& name) {
    if (GetFileAttributesW(AppPath(name).c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Puts one file back as it was before the commit; true when it is. It can be run again from
// any state it or the commit leaves, so no restored file is ever taken for a new one: the aside
// copy exists only from the moment the old file is moved aside until it is back under its name,
// so a replaced target without one already holds the old file (or was never moved).
bool RestoreFile(const StagedFile& file, bool committing) {
    const bool separate = file.staged != file.target;
    if (file.replaces) {
        if (committing && !Absent(file.aside) &&
            !Rename(file.aside, file.target, MOVEFILE_REPLACE_EXISTING))
            return false;
        // Empty staged: a file the commit removes, with nothing in its place.
        return file.staged.empty() || Delete(file.staged);
    }
    // A new file: the target had no file, so whatever holds its name now is the new one. Before
    // the mark one waiting in the shell's folder has not been moved there.
    return (!separate || committing ? Delete(file.target) : true) &&
           (!separate || Delete(file.staged));
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

std::wstring KeptListName() { return L"version.files"; }
std::wstring KeptListTemporaryName() { return L"version.files.tmp"; }

std::wstring ShellStagingFolder() { return AppPath(kShellStagingName); }

std::wstring ShellStagedName(const std::wstring& entryName) {
    return std::wstring(kShellStagingName) + L"\\" + entryName;
}

bool BeginCommitPlan(const std::wstring& version, CommitPlan& plan) {
    plan = CommitPlan{version, {}, {}, {}, LongPath(AppDirectory()), {}};
    Journal earlier;
    const JournalRead read = ReadJournal(earlier);
    if (read == JournalRead::None) return true;
    if (read == JournalRead::Damaged) return false;
    plan.leftovers = earlier.leftovers;
    return earlier.files.empty();
}

namespace {

// An existing file's long name relative to AppDirectory; name itself otherwise.
std::wstring LongTarget(const CommitPlan& plan, const std::wstring& name) {
    const std::wstring path = LongPath(AppPath(name));
    // A long path comes in its extended form; the directory is compared in the same form.
    const std::wstring base = path.compare(0, 4, L"\\\\?\\") == 0
                                  ? ExtendedPath(plan.longDirectory, true)
                                  : plan.longDirectory;
    if (path.size() > base.size() + 1 && path[base.size()] == L'\\' &&
        CompareStringOrdinal(path.c_str(), static_cast<int>(base.size()), base.c_str(),
                             static_cast<int>(base.size()), TRUE) == CSTR_EQUAL)
        return path.substr(base.size() + 1);
    return name;
}

}  // namespace

size_t PlanStagedFile(CommitPlan& plan, const std::wstring& name) {
    StagedFile file{name, name, L"", false};
    // Only an existing file's long name is looked up.
    if (Listed(plan, name)) {
        file.replaces = true;
        file.target = file.staged = LongTarget(plan, name);
    }
    const auto found = plan.planned.emplace(Upper(file.target), plan.files.size());
    if (found.second) plan.files.push_back(file);
    return found.first->second;
}

void PlanRemovedFile(CommitPlan& plan, const std::wstring& name) {
    if (!Listed(plan, name)) return;
    const DWORD attributes = GetFileAttributesW(AppPath(name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    const StagedFile file{LongTarget(plan, name), L"", L"", true};
    if (plan.planned.emplace(Upper(file.target), plan.files.size()).second)
        plan.files.push_back(file);
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
        // The long name an existing file was found under must pass the check its entry
        // passed, or the journal would be one that no later start trusts.
        if (!IsCommittedName(file.target)) {
            SetLastError(ERROR_INVALID_NAME);
            return false;
        }
        if (!file.replaces) continue;
        // A removal has no staged name and keeps none.
        if (file.staged == file.target) {
            file.staged = freeName(file.target, L".hopwell-new");
            if (file.staged.empty()) return false;
        }
        file.aside = freeName(file.target, L".hopwell-old");
        if (file.aside.empty()) return false;
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
        if (!moved || (!file.staged.empty() && file.staged != file.target &&
                       !Rename(file.staged, file.target))) {
            error = GetLastError();
            heldTarget = AppPath(file.target);
            return false;
        }
    }
    return true;
}

CommitJournalState PendingCommitVersion(std::wstring& version) {
    DeleteFileW((CommitJournalPath() + L".tmp").c_str());  // a journal whose writing was killed
    Journal journal;
    const JournalRead read = ReadJournal(journal);
    if (read == JournalRead::None) return CommitJournalState::None;
    if (read == JournalRead::Damaged) return CommitJournalState::Damaged;
    version = journal.version;
    return CommitJournalState::Pending;
}

void RollBackCommit() {
    Journal journal;
    if (ReadJournal(journal) != JournalRead::Read) return;
    bool restored = true;
    for (auto file = journal.files.rbegin(); file != journal.files.rend(); ++file)
        restored &= RestoreFile(*file, journal.committing);
    // What could not be put back is tried again by the next pass, from the same journal.
    if (restored) FinishJournal(journal.version, journal.leftovers);
}

void CompleteCommit() {
    Journal journal;
    if (ReadJournal(journal) != JournalRead::Read) return;
    std::vector<std::wstring> leftovers = journal.leftovers;
    for (const StagedFile& file : journal.files)
        if (file.replaces) leftovers.push_back(file.aside);
    FinishJournal(journal.version, leftovers);
}
