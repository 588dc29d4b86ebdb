#pragma once
// The installed version's files against the kept list, and their repair.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "install/file_list.h"
#include "update/manifest.h"

// The listed files, user files aside, that are missing or of another size, from one listing
// per folder; with hashes, also those whose SHA-256 differs, reporting the bytes hashed of the
// total to progress (may be empty).
std::vector<ListedFile> FindDamagedFiles(const FileList& list, bool hashes,
                                         const std::function<void(uint64_t, uint64_t)>& progress);

// What a pass that ends up to date or installed something does last: checks the kept list's
// files (SHA-256 too with hashes) and repairs the damaged ones from their source versions'
// archives through the stage and commit, leaving version.ini as it is. digests and sizes: a
// keyed launcher's signed members (null digests: no key). False when a file could not be
// repaired; true also without a kept list.
bool CheckInstalledFiles(HWND window, const UpdateManifest& manifest,
                         const ArchiveDigests* digests, const ArchiveSizes& sizes, bool hashes);
