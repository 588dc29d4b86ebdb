#pragma once
// A version's files unpacked one entry at a time, from wherever the entries' bytes come (ranges
// of remote archives while they arrive, or an archive on disk), and committed as one whole.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "install/commit.h"
#include "install/extract_zip.h"
#include "install/staged_flush.h"
#include "install/zip_reader.h"

// Reads size bytes at offset of a source of archive bytes into buffer; false when it cannot.
using ArchiveRead = std::function<bool(uint64_t offset, void* buffer, size_t size)>;

class StagedUnpack {
public:
    // An unpack of the files names lists (relative, checked) as version, with options' removals
    // and kept list; staging them needs stagedBytes.
    StagedUnpack(const std::wstring& version, const std::vector<std::wstring>& names,
                 uint64_t stagedBytes, const UnpackOptions& options);
    // Rolls back an unpack that began and was not committed, logging why a Stage failed.
    ~StagedUnpack();
    StagedUnpack(const StagedUnpack&) = delete;
    StagedUnpack& operator=(const StagedUnpack&) = delete;

    // Plans every file, the removals and the kept list, then writes the journal and the kept
    // list through to disk; the first Stage, or Commit, does it when it has not been done. False,
    // the reason logged, when it cannot; failure is then Space when the volume lacks room.
    bool Begin();

    // Stages the file name from the entry stat describes, whose local header lies at offset of
    // read's source: inflated as it is read, checked against its size, its CRC-32 and, with
    // options.digests, its SHA-256 (a mismatch is Tampered; without digests a damaged entry is
    // Other, and one of a method our reader lacks is Method). May run on another thread than
    // the constructor's, one call at a time, each call's thread ended or joined before the
    // next call's. False ends the unpack: failure says why (Other also when read could not
    // have the bytes); what it has to say is logged when the unpack is committed or dropped.
    bool Stage(const std::wstring& name, const ZipEntryStat& stat, uint64_t offset,
               const ArchiveRead& read);

    // Flushes the staged files and commits them. On false everything is as it was, and the
    // reason (a failed Stage's too) has been logged.
    bool Commit();

    UnpackFailure failure = UnpackFailure::Other;
    bool tried() const { return tried_; }  // Begin ran
    bool begun() const { return begun_; }

private:
    bool StageOne(const std::wstring& name, const ZipEntryStat& stat, uint64_t offset,
                  const ArchiveRead& read);

    std::wstring version_;
    std::vector<std::wstring> names_;
    uint64_t stagedBytes_;
    UnpackOptions options_;
    CommitPlan plan_;
    std::map<std::wstring, size_t> places_;  // upper-cased name -> its file in plan_
    std::unique_ptr<StagedFlusher> flusher_;
    std::wstring failureLine_;  // what a failed Stage has to say
    bool tried_ = false;
    bool journaled_ = false;  // what a rollback has to undo is written
    bool begun_ = false;
    bool stageFailed_ = false;
    bool ended_ = false;
};
