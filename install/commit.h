#pragma once
// Putting a version's files in place as one whole.
//
// Each file is first staged: written beside its target under a free name, or straight under its
// own name when no file of that name exists. A commit then renames every existing target aside
// within its folder (allowed even for a running program's image) and the staged file to the
// target's name. The old files are deleted only once the caller has recorded the version.
//
// The journal (AppDirectory\hopwell-commit.journal) lists every name involved. It is written
// through to disk before the first file is staged and marked again before the first rename, once
// every staged file has been flushed, so whatever moment a process is killed at or the power
// fails, the next one can put every target back as it was or finish the commit. It also lists
// moved-aside files that could not be deleted yet (still in use), and goes away when none is
// left.
#include <map>
#include <set>
#include <string>
#include <vector>

// One file of a commit; names relative to AppDirectory.
struct StagedFile {
    std::wstring target;  // for an existing file, its long name
    std::wstring staged;  // where the new content waits; the target itself for a new file;
                          // empty for a file the commit removes
    std::wstring aside;   // where the old file goes during the commit; empty for a new file
    bool replaces = false;  // the target exists
};

struct CommitPlan {
    std::wstring version;
    std::vector<StagedFile> files;
    std::vector<std::wstring> leftovers;  // moved aside by earlier commits, still to delete
    std::map<std::wstring, size_t> planned;  // upper-cased target -> its place in files
    std::wstring longDirectory;              // AppDirectory's long form
    // Upper-cased folder (relative, with its backslash) -> upper-cased names in it, long and short.
    std::map<std::wstring, std::set<std::wstring>> listings;
};

std::wstring CommitJournalPath();

// Starts a plan for version: takes over the leftovers of an earlier journal. False when an
// earlier commit is still unresolved (its journal lists files) or its journal is damaged, so
// that it is not overwritten.
bool BeginCommitPlan(const std::wstring& version, CommitPlan& plan);

// Adds the file name (relative, checked) to the plan, or finds it there when it names a file
// already planned (in any case). An existing file is planned under its long name, so an entry
// spelled like its short name replaces it rather than taking the short name. Returns its index.
size_t PlanStagedFile(CommitPlan& plan, const std::wstring& name);

// Adds the existing file name (relative, checked) to the plan as one the commit removes: it is
// moved aside with the replaced files, deleted when the commit completes and put back by a
// rollback. The journal records it as a file whose staged name is empty. A name that the plan
// already holds, or that names no file, is left out.
void PlanRemovedFile(CommitPlan& plan, const std::wstring& name);

// Names the staged and moved-aside files (free names, taken by no file of the plan) and writes
// the journal through to disk; staging may start once it returns true.
bool PrepareCommit(CommitPlan& plan);

// Renames the targets aside and the staged files into place, each rename waiting a while for a
// passing holder (install/held_file.h). The staged files must have reached the disk. On false,
// heldTarget names the file that could not be moved and error says why; the caller rolls back.
bool CommitStagedFiles(const CommitPlan& plan, std::wstring& heldTarget, unsigned long& error);

enum class CommitJournalState {
    None,     // no journal
    Pending,  // a journal the launcher wrote
    Damaged,  // unreadable, or naming anything the launcher would not write: touch nothing
};

// Whether there is a journal and, when it can be trusted, the version of the commit it
// describes. A copy of the journal whose writing was killed is removed.
CommitJournalState PendingCommitVersion(std::wstring& version);

// Puts every target back as the journal says it was and removes the staged files, waiting a
// while for passing holders. It may run any number of times, and be killed anywhere: each run
// ends where a whole one would have.
void RollBackCommit();

// After the version was recorded: deletes the moved-aside files and, when none is left, the
// journal.
void CompleteCommit();

// The launcher's own copy of the installed version's file list (relative), and the temporary
// it is staged under: committed with the version's files, though no archive may hold them.
std::wstring KeptListName();
std::wstring KeptListTemporaryName();

// Where the shell unpacks an archive; its files are then committed like our reader's.
std::wstring ShellStagingFolder();

// Where the shell's copy of an entry waits, relative to AppDirectory.
std::wstring ShellStagedName(const std::wstring& entryName);
