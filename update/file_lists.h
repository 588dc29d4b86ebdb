#pragma once
// Version file lists on the launcher's side: fetched beside their archives, kept for the
// installed version as version.files, and what one version drops of another.
#include <string>
#include <vector>

#include "install/file_list.h"

enum class ListFetch { Fetched, Failed, Tampered };

// Fetches the list served beside archiveUrl (FileListUrl) through the HTTP client (retries,
// proxy, size cap). With signedDigest (a keyed launcher's signed "files" entry) its SHA-256
// must equal it, else Tampered; a list that does not parse is Tampered too.
ListFetch FetchFileList(const std::wstring& archiveUrl, const std::wstring* signedDigest,
                        std::string& text, FileList& list);

// The installed version's list as the launcher kept it; false when there is none it can read.
bool ReadKeptList(FileList& list);

// The files of installed, user files aside, that next does not list (in any case).
std::vector<std::wstring> DroppedFiles(const FileList& installed, const FileList& next);

// Removes each folder above the removed files, deepest first, while it is empty.
void RemoveEmptyFolders(const std::vector<std::wstring>& removed);
