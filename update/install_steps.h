#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "update/manifest.h"
#include "update/update_steps.h"

// Stops the running application, then downloads, unpacks and records each step in order,
// stopping at the first step that fails. Reports with worker messages and AppendLogLine.
// With digests (a signed manifest's), a step is unpacked only when its archive's SHA-256
// equals its entry; a step without a valid entry is not even downloaded.
void InstallUpdateSteps(HWND window, const std::wstring& versionIniPath,
                        const std::wstring& pidPath, const std::vector<UpdateStep>& steps,
                        const ArchiveDigests* digests = nullptr);
