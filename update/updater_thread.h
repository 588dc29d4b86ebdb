#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "update/manifest_expiry.h"

// One update pass against manifestUrl, reporting to window with the worker messages. Ends by
// posting WM_APP_ENABLE_START on every path, also when memory runs out; throws nothing. With a
// publicKey (the text of update/signature.h), the manifest must come with a valid signature at
// manifestUrl + ".sig" and every archive must match the manifest's "sha256" entry before it is
// unpacked, and a manifest whose "expires" has come by now (a UTC FILETIME count) is refused;
// without one, none of these is looked for. A pass that ends up to date or installed something
// checks the installed files against the kept list and repairs them; with repair, it checks
// their SHA-256 too.
void RunUpdatePass(HWND window, const std::wstring& manifestUrl,
                   const std::string& publicKey = std::string(), uint64_t now = CurrentUtcTime(),
                   bool repair = false);
// The same against several manifest URLs, tried in order: the next one when a manifest cannot
// be fetched after its retries or, with a publicKey, its signature cannot be fetched or does
// not verify. Every one is held to the same key.
void RunUpdatePass(HWND window, const std::vector<std::wstring>& manifestUrls,
                   const std::string& publicKey = std::string(), uint64_t now = CurrentUtcTime(),
                   bool repair = false);

// Whether the command line asks for the repair check ("--repair" among its arguments).
bool RepairRequested(const wchar_t* commandLine);

// Thread start routine: the parameter is the main window. Runs one pass against the manifest
// URL and with the public key compiled into the launcher and returns 0.
DWORD WINAPI UpdaterThread(LPVOID parameter);

// The manifest URLs of this executable, primary first, ending with a null pointer, and the key
// its releases are signed with (empty when they are not); each launcher executable defines both.
const wchar_t* const* ManifestUrls();
const char* ManifestPublicKey();
