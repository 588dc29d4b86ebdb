#pragma once
// The steps every way of unpacking a version shares: folders, writes, and the commit around
// the staged files. Each logs why it failed.
#include <windows.h>

#include <cstdint>
#include <string>

#include "install/commit.h"
#include "install/extract_zip.h"

// Creates a directory and every missing one above it; one that already exists counts.
bool CreateDirectoryTree(const std::wstring& path);
std::wstring ParentOf(const std::wstring& path);
bool WriteAll(HANDLE file, const void* data, uint64_t size);

// BeginCommitPlan, logging a journal that is still there.
bool BeginPlan(const std::wstring& version, CommitPlan& plan);
// PrepareCommit, logging why it failed.
bool PrepareJournal(CommitPlan& plan);
// Plans the removals and the kept list; after the archive's files, so a name the version
// still ships is never removed.
void PlanExtras(CommitPlan& plan, const UnpackOptions& options);
// Writes the kept list's temporary through to disk, before anything is renamed.
bool WriteKeptList(const UnpackOptions& options);
// The commit of a staged plan, rolled back whole when a target can be neither replaced nor
// moved aside.
bool CommitOrRollBack(const CommitPlan& plan);
