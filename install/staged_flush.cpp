#include "install/staged_flush.h"

#include "install/held_file.h"

namespace {

// Flushes wait for the disk, not the processor: several at once let the file system write
// them in one journal commit.
constexpr int kFlushThreads = 4;
// Written files waiting for a flush stay open; past this many, staging waits for room.
constexpr size_t kMostWaiting = 1024;

}  // namespace

StagedFlusher::StagedFlusher() {
    try {
        for (int i = 0; i < kFlushThreads; ++i) threads_.emplace_back(&StagedFlusher::Run, this);
    } catch (...) {
        // Fewer threads, or none: Add then flushes itself.
    }
}

StagedFlusher::~StagedFlusher() {
    {
        ExclusiveLock lock(lock_);
        stop_ = true;
        queue_.clear();
    }
    WakeAllConditionVariable(&work_);
    for (std::thread& thread : threads_) thread.join();
}

void StagedFlusher::Add(ScopedFile file, size_t tag) {
    if (threads_.empty()) return Flush(std::move(file), tag);
    bool wake = false;
    {
        ExclusiveLock lock(lock_);
        while (queue_.size() >= kMostWaiting) {
            waiting_ = true;
            SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
        }
        waiting_ = false;
        queue_.emplace_back(std::move(file), tag);
        wake = idle_ > 0;  // a thread at work takes it next without a wake-up
    }
    if (wake) WakeConditionVariable(&work_);
}

bool StagedFlusher::Finish(size_t& failedTag) {
    ExclusiveLock lock(lock_);
    while (!queue_.empty() || busy_ > 0) {
        waiting_ = true;
        SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
    }
    waiting_ = false;
    failedTag = failedTag_;
    SetLastError(error_);
    return !failed_;
}

void StagedFlusher::Run() {
    ExclusiveLock lock(lock_);
    for (;;) {
        while (!stop_ && queue_.empty()) {
            ++idle_;
            SleepConditionVariableSRW(&work_, &lock_, INFINITE, 0);
            --idle_;
        }
        if (queue_.empty()) return;  // stopped
        std::pair<ScopedFile, size_t> next = std::move(queue_.front());
        queue_.pop_front();
        ++busy_;
        ReleaseSRWLockExclusive(&lock_);
        Flush(std::move(next.first), next.second);
        AcquireSRWLockExclusive(&lock_);
        --busy_;
        if (waiting_) WakeConditionVariable(&changed_);
    }
}

void StagedFlusher::Flush(ScopedFile file, size_t tag) {
    const bool flushed = FlushFileBuffers(file.get()) != FALSE;
    const DWORD error = GetLastError();
    file.reset();
    if (flushed) return;
    // Called with the lock held by no one here: from Add without threads, or from Run between
    // its release and acquire.
    ExclusiveLock lock(lock_);
    if (failed_) return;
    failed_ = true;
    failedTag_ = tag;
    error_ = error;
}

bool FlushFileToDisk(const std::wstring& path) {
    ScopedFile file;
    return RetryWhileHeld(path, [&] {
               file.reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
               return static_cast<bool>(file);
           }) &&
           FlushFileBuffers(file.get());
}
