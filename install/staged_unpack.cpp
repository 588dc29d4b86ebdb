#include "install/staged_unpack.h"

#include <windows.h>

#include <memory>

#include "base/app_directory.h"
#include "base/hex.h"
#include "base/scoped_handle.h"
#include "base/sha256.h"
#include "base/text.h"
#include "base/worker_messages.h"
#include "install/file_list.h"
#include "install/held_file.h"
#include "install/unpack_steps.h"

StagedUnpack::~StagedUnpack() {
    if (!begun_ || ended_) return;
    if (!failureLine_.empty()) AppendLogLine(failureLine_);
    flusher_.reset();  // closes the staged files, unflushed: the rollback removes them
    RollBackCommit();
}

bool StagedUnpack::Begin(const std::wstring& version, const std::vector<std::wstring>& names,
                         uint64_t stagedBytes, const UnpackOptions& options) {
    options_ = options;
    const std::wstring& destination = AppDirectory();
    if (!CreateDirectoryTree(destination)) {
        AppendLogLine(L"Không thể tạo thư mục đích: " + destination);
        return false;
    }
    // Staging needs room for every file while the old ones still stand.
    ULARGE_INTEGER available{};
    if (GetDiskFreeSpaceExW(destination.c_str(), &available, nullptr, nullptr) &&
        available.QuadPart < stagedBytes) {
        failure = UnpackFailure::Space;
        return false;
    }
    if (!BeginPlan(version, plan_)) return false;
    for (const std::wstring& name : names) PlanStagedFile(plan_, name);
    PlanExtras(plan_, options_);
    if (!PrepareJournal(plan_)) return false;
    begun_ = true;
    flusher_ = std::make_unique<StagedFlusher>();
    return WriteKeptList(options_);
}

bool StagedUnpack::Stage(const std::wstring& name, const ZipEntryStat& stat, uint64_t offset,
                         const ArchiveRead& read) {
    const auto planned = plan_.planned.find(UpperPath(name));
    if (!begun_ || ended_ || planned == plan_.planned.end()) return false;
    const StagedFile& file = plan_.files[planned->second];
    const std::wstring target = AppPath(name);
    // Bytes that are not this entry's, or fail its CRC or digest, are a wrong entry.
    failure = UnpackFailure::Tampered;
    uint8_t header[ZipLocalHeaderSize];
    uint64_t dataOffset = 0;
    if (!read(offset, header, sizeof header)) {
        failure = UnpackFailure::Other;
        return false;
    }
    if (!ZipLocalDataOffset(header, dataOffset)) {
        failureLine_ = L"Không thể giải nén file: " + name;
        return false;
    }
    failure = UnpackFailure::Other;
    if (!CreateDirectoryTree(ParentOf(target))) {
        failureLine_ = L"Không thể tạo thư mục cha: " + target;
        return false;
    }
    const DWORD attributes = file.replaces ? GetFileAttributesW(target.c_str()) : 0;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        failureLine_ = L"Không thể tạo file: " + target + L" (lỗi: 5)";
        return false;
    }
    const std::wstring path = AppPath(file.staged);
    ScopedFile staged;
    if (!RetryWhileHeld(path, [&] {
            staged.reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
            return static_cast<bool>(staged);
        })) {
        failureLine_ = L"Không thể tạo file: " + target + L" (lỗi: " +
                       std::to_wstring(GetLastError()) + L")";
        return false;
    }
    Sha256 sha;
    if (!StartSha256(sha)) {
        failureLine_ = L"Không thể giải nén file: " + name;
        return false;
    }
    uint64_t at = offset + dataOffset;
    std::string buffer;
    bool arrived = true, written = true;
    const bool inflated = ZipInflateEntry(
        stat,
        [&](size_t size) -> const uint8_t* {
            buffer.resize(size);
            arrived = read(at, &buffer[0], size);
            at += size;
            return arrived ? reinterpret_cast<const uint8_t*>(buffer.data()) : nullptr;
        },
        [&](const uint8_t* data, size_t size) {
            AddToSha256(sha, reinterpret_cast<const char*>(data), size);
            written = WriteAll(staged.get(), data, size);
            return written;
        });
    if (!written) {
        failureLine_ = L"Lỗi ghi file: " + target;
        return false;
    }
    if (!arrived) return false;  // the download ended short: not the entry's fault
    std::string digest;
    bool right = inflated && FinishSha256(sha, digest);
    if (right && options_.digests) {
        const auto expected = options_.digests->find(UpperPath(name));
        right = expected != options_.digests->end() && HexText(digest) == expected->second;
    }
    if (!right) {
        failure = UnpackFailure::Tampered;
        failureLine_ = L"Không thể giải nén file: " + name;
        return false;
    }
    flusher_->Add(std::move(staged), planned->second);
    return true;
}

bool StagedUnpack::Commit() {
    if (!begun_ || ended_) return false;
    ended_ = true;
    size_t failed = 0;
    if (failureLine_.empty() && flusher_->Finish(failed)) return CommitOrRollBack(plan_);
    AppendLogLine(failureLine_.empty() ? L"Lỗi ghi file: " + AppPath(plan_.files[failed].target)
                                       : failureLine_);
    flusher_.reset();
    RollBackCommit();
    return false;
}
