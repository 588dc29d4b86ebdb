#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "install/file_list.h"
#include "update/catch_up.h"
#include "update/manifest.h"
#include "update/update_steps.h"

// How long the application, once terminated, is given to end before its files are replaced.
constexpr DWORD kApplicationExitWaitMs = 10000;

// Stops the running application, then downloads, unpacks and records each step in order,
// stopping at the first step that fails. Reports with worker messages and AppendLogLine.
// With digests (a signed manifest's), every step must have a valid entry before anything is
// stopped, and a step is unpacked only when its archive's SHA-256 equals its entry. Each
// version is unpacked whole or not at all; the installed one is in versionIniPath. installed
// counts the steps, from the first, that were installed and recorded.
// A step with a list fetches it first (with digests, it must match its signed entry); its
// commit removes the files of the installed version's list (installedList, then each step's)
// that it no longer lists, and keeps its list as version.files. A step without one removes
// version.files in its commit, so the kept list never describes another version.
// With offered (every archive the manifest offers), when every step has a list, the latest
// step alone is installed, from the files that differ (catch_up.h), logged as that version
// only; installed then counts every step or none. When a file's SOURCE is not offered, the
// steps are installed one by one.
void InstallUpdateSteps(HWND window, const std::wstring& versionIniPath,
                        const std::wstring& pidPath, const std::vector<UpdateStep>& steps,
                        size_t& installed, const ArchiveDigests* digests = nullptr,
                        FileList installedList = FileList(),
                        const OfferedArchives* offered = nullptr);

// Resolves a commit that a killed or failed pass left under way: finishes it when its version
// was recorded, else puts the old files back. Run at the start of a pass, before anything else.
// False when the journal is damaged: it is kept and no file is touched.
bool RecoverInterruptedCommit(const std::wstring& versionIniPath);
