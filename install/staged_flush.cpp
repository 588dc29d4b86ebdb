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
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        queue_.clear();
    }
    work_.notify_all();
    room_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

void StagedFlusher::Add(ScopedFile file, size_t tag) {
    if (threads_.empty()) return Flush(std::move(file), tag);
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [&] { return queue_.size() < kMostWaiting; });
    queue_.emplace_back(std::move(file), tag);
    lock.unlock();
    work_.notify_one();
}

bool StagedFlusher::Finish(size_t& failedTag) {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [&] { return queue_.empty() && busy_ == 0; });
    failedTag = failedTag_;
    SetLastError(error_);
    return !failed_;
}

void StagedFlusher::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopped
        std::pair<ScopedFile, size_t> next = std::move(queue_.front());
        queue_.pop_front();
        ++busy_;
        lock.unlock();
        room_.notify_one();
        Flush(std::move(next.first), next.second);
        lock.lock();
        if (--busy_ == 0 && queue_.empty()) idle_.notify_all();
    }
}

void StagedFlusher::Flush(ScopedFile file, size_t tag) {
    const bool flushed = FlushFileBuffers(file.get()) != FALSE;
    const DWORD error = GetLastError();
    file.reset();
    if (flushed) return;
    std::lock_guard<std::mutex> lock(mutex_);
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
