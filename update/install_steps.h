#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "update/update_steps.h"

// Stops the running application, then downloads, unpacks and records each step in order,
// stopping at the first step that fails. Reports with worker messages and AppendLogLine.
void InstallUpdateSteps(HWND window, const std::wstring& versionIniPath,
                        const std::wstring& pidPath, const std::vector<UpdateStep>& steps);
