#include "install/staged_unpack.h"

#include <windows.h>

#include <deque>
#include <memory>
#include <thread>

#include "base/app_directory.h"
#include "base/hex.h"
#include "base/scoped_handle.h"
#include "base/sha256.h"
#include "base/text.h"
#include "base/worker_messages.h"
#include "install/file_list.h"
#include "install/held_file.h"
#include "install/unpack_steps.h"

namespace {

// Entries at least this large are hashed on a thread of their own.
constexpr uint64_t kBackgroundHashBytes = 1u << 20;

// SHA-256 of the bytes added, computed on a thread of its own from copies of them, so that
// hashing (slow in some providers) overlaps inflating and writing. Add waits while a few pieces
// are queued. Without a thread it hashes as it is given the bytes.
class BackgroundSha256 {
public:
    ~BackgroundSha256() { End(); }

    bool Start() {
        if (!StartSha256(sha_)) return false;
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (...) {
        }
        return true;
    }

    void Add(const uint8_t* data, size_t size) {
        if (!thread_.joinable()) return AddToSha256(sha_, data, size);
        ExclusiveLock hold(lock_);
        while (queue_.size() >= kMostQueued)
            SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
        std::string piece;
        if (!spare_.empty()) {
            piece.swap(spare_.back());
            spare_.pop_back();
        }
        piece.assign(reinterpret_cast<const char*>(data), size);
        queue_.push_back(std::move(piece));
        WakeAllConditionVariable(&changed_);
    }

    bool Finish(std::string& digest) {
        End();
        return FinishSha256(sha_, digest);
    }

private:
    static constexpr size_t kMostQueued = 8;

    void End() {
        {
            ExclusiveLock hold(lock_);
            ending_ = true;
            WakeAllConditionVariable(&changed_);
        }
        if (thread_.joinable()) thread_.join();
    }

    void Run() {
        std::string piece;
        for (;;) {
            {
                ExclusiveLock hold(lock_);
                if (!piece.empty()) {
                    try {
                        spare_.push_back(std::move(piece));
                    } catch (...) {
                    }
                    piece.clear();
                }
                while (queue_.empty() && !ending_)
                    SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
                if (queue_.empty()) return;
                piece.swap(queue_.front());
                queue_.pop_front();
                WakeAllConditionVariable(&changed_);
            }
            AddToSha256(sha_, piece.data(), piece.size());
        }
    }

    Sha256 sha_;
    std::thread thread_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    std::deque<std::string> queue_;
    std::vector<std::string> spare_;
    bool ending_ = false;
};

}  // namespace

StagedUnpack::~StagedUnpack() {
    if (!journaled_ || ended_) return;
    if (!failureLine_.empty()) AppendLogLine(failureLine_);
    flusher_.reset();  // closes the staged files, unflushed: the rollback removes them
    RollBackCommit();
}

StagedUnpack::StagedUnpack(const std::wstring& version, const std::vector<std::wstring>& names,
                           uint64_t stagedBytes, const UnpackOptions& options)
    : version_(version), names_(names), stagedBytes_(stagedBytes), options_(options) {}

bool StagedUnpack::Begin() {
    if (tried_) return begun_;
    tried_ = true;
    const std::wstring& destination = AppDirectory();
    if (!CreateDirectoryTree(destination)) {
        AppendLogLine(L"Không thể tạo thư mục đích: " + destination);
        return false;
    }
    // Staging needs room for every file while the old ones still stand.
    ULARGE_INTEGER available{};
    if (GetDiskFreeSpaceExW(destination.c_str(), &available, nullptr, nullptr) &&
        available.QuadPart < stagedBytes_) {
        failure = UnpackFailure::Space;
        return false;
    }
    if (!BeginPlan(version_, plan_)) return false;
    // An entry spelled like an existing file's short name is planned under the long one.
    for (const std::wstring& name : names_) places_[UpperPath(name)] = PlanStagedFile(plan_, name);
    PlanExtras(plan_, options_);
    if (!PrepareJournal(plan_)) return false;
    journaled_ = true;
    flusher_ = std::make_unique<StagedFlusher>();
    begun_ = WriteKeptList(options_);
    return begun_;
}

bool StagedUnpack::Stage(const std::wstring& name, const ZipEntryStat& stat, uint64_t offset,
                         const ArchiveRead& read) {
    // A file that failed is missing from the commit: the unpack can only be dropped now.
    stageFailed_ = stageFailed_ || !StageOne(name, stat, offset, read);
    return !stageFailed_;
}

bool StagedUnpack::StageOne(const std::wstring& name, const ZipEntryStat& stat, uint64_t offset,
                            const ArchiveRead& read) {
    if (!Begin() || ended_ || stageFailed_) return false;
    const auto planned = places_.find(UpperPath(name));
    if (planned == places_.end()) return false;
    const StagedFile& file = plan_.files[planned->second];
    const std::wstring target = AppPath(name);
    // Bytes that fail their CRC are a wrong entry when the list names the entry's digest: no
    // other reader may then stand in for ours.
    const bool listed = options_.digests != nullptr;
    const UnpackFailure damaged = listed ? UnpackFailure::Tampered : UnpackFailure::Other;
    if (!CreateDirectoryTree(ParentOf(target))) {
        failureLine_ = L"Không thể tạo thư mục cha: " + target;
        return false;
    }
    uint8_t header[ZipLocalHeaderSize];
    uint64_t dataOffset = 0;
    if (!read(offset, header, sizeof header)) return false;  // the bytes did not come
    if (!ZipLocalDataOffset(header, dataOffset) || (listed && !stat.isSupported)) {
        failure = damaged;
        failureLine_ = L"Không thể giải nén file: " + name;
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
    BackgroundSha256 background;
    Sha256 inline_;
    const bool large = stat.uncompressedSize >= kBackgroundHashBytes;
    if (listed && !(large ? background.Start() : StartSha256(inline_))) {
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
            if (listed && large)
                background.Add(data, size);
            else if (listed)
                AddToSha256(inline_, data, size);
            written = WriteAll(staged.get(), data, size);
            return written;
        });
    if (!written) {
        failureLine_ = L"Lỗi ghi file: " + target;
        return false;
    }
    if (!arrived) return false;  // the download ended short: not the entry's fault
    std::string digest;
    bool right = inflated;
    if (right && listed) {
        const auto expected = options_.digests->find(UpperPath(name));
        right = (large ? background.Finish(digest) : FinishSha256(inline_, digest)) &&
                expected != options_.digests->end() && HexText(digest) == expected->second;
    }
    if (!right) {
        // A method our reader lacks, every name read and checked, may go to the shell.
        failure = !listed && !stat.isSupported && !stat.isEncrypted ? UnpackFailure::Method
                                                                    : damaged;
        failureLine_ = L"Không thể giải nén file: " + name;
        return false;
    }
    flusher_->Add(std::move(staged), planned->second);
    return true;
}

bool StagedUnpack::Commit() {
    if (!Begin() || ended_) return false;
    ended_ = true;
    size_t failed = 0;
    if (!stageFailed_ && flusher_->Finish(failed)) return CommitOrRollBack(plan_);
    if (!stageFailed_)
        AppendLogLine(L"Lỗi ghi file: " + AppPath(plan_.files[failed].target));
    else if (!failureLine_.empty())
        AppendLogLine(failureLine_);
    flusher_.reset();
    RollBackCommit();
    return false;
}
