#pragma once
// Files that another process holds for a moment. Antivirus scanners, search indexers and sync
// clients open a freshly written file for a few seconds, often without sharing deletion; an
// open, rename or delete that meets such a handle is tried again before the file counts as in
// use.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// How long a held file is waited for, from the first refusal.
constexpr DWORD kHeldFileWaitMs = 10000;

// Whether error, from an open, rename or delete of path, can come from another process's
// handle: a sharing or lock violation, or access denied to a file that exists.
bool MayBeHeld(DWORD error, const std::wstring& path);

// Runs operation (which sets the last error when it fails) until it succeeds, fails for a
// reason MayBeHeld does not take, or kHeldFileWaitMs have passed since its first failure, with
// short waits between the tries. The last error is the last try's.
bool RetryWhileHeld(const std::wstring& path, const std::function<bool()>& operation);

// The names of the processes holding any of paths, as the system tells them (Restart
// Manager), joined by ", "; empty when it cannot tell.
std::wstring HolderNames(const std::vector<std::wstring>& paths);
