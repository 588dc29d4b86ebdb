#pragma once
// Any version to the latest in one step, when every version has a file list: only the files
// that differ from what is in place are fetched, each from the archive of its SOURCE version,
// by range where the server offers ranges.
#include <map>
#include <string>
#include <vector>

#include "install/file_list.h"
#include "install/staged_unpack.h"
#include "net/download.h"
#include "update/update_steps.h"

// Every archive the manifest offers, by version: sources of files of the latest list.
using OfferedArchives = std::map<std::wstring, UpdateStep>;

// The files of latest that are not in place: all but user files already there, and files that
// the kept list names with the same digest and that have their listed size on disk.
std::vector<ListedFile> FilesToFetch(const FileList& latest, const FileList& kept);

// True when every file's SOURCE is offered.
bool SourcesOffered(const std::vector<ListedFile>& files, const OfferedArchives& offered);

enum class EntryFetch { Fetched, Failed, Tampered };

// Fetches the entries of files from their SOURCE archives and stages each into unpack (whose
// names are those of files) while its bytes arrive. Per archive: a probe, one range for its end,
// one more when its central directory is longer; then, once every directory is read, the
// ranges of the entries over four connections (DownloadRanges), or the whole archive
// (DownloadFile) when no source offers ranges or its directory cannot be read. Tampered when an
// archive lacks a listed file or an entry is not the one listed. options carries the retry
// policy and the callbacks; each archive's own length and mirrors are taken from offered.
// Progress counts the bytes of all archives together.
// What FetchListedEntries kept of the files' archives (their parts, or the archive fetched
// whole), so that a start after a kill before the commit asks for none of it again: deleted
// once the files are committed.
void DiscardFetchedEntries(const std::vector<ListedFile>& files);

EntryFetch FetchListedEntries(const std::vector<ListedFile>& files, const OfferedArchives& offered,
                              StagedUnpack& unpack, ProgressCallback progress,
                              const DownloadOptions& options);
