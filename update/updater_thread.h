#pragma once
#include <windows.h>

#include <string>

// One update pass against manifestUrl, reporting to window with the worker messages. Ends by
// posting WM_APP_ENABLE_START on every path, also when memory runs out; throws nothing.
void RunUpdatePass(HWND window, const std::wstring& manifestUrl);

// Thread start routine: the parameter is the main window. Runs one pass against the manifest
// URL compiled into the launcher (ManifestUrl()) and returns 0.
DWORD WINAPI UpdaterThread(LPVOID parameter);

// The manifest URL of this executable; each launcher executable defines it.
const wchar_t* ManifestUrl();
