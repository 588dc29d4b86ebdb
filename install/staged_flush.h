#pragma once
// Staged files reach the disk before a commit relies on them: a power loss after the renames
// must not leave targets whose data was still in the cache. A flush waits for the disk, so
// written files are handed to threads that flush and close them while the next entries are
// inflated; their waits overlap the unpacking and each other.
#include <windows.h>

#include <cstddef>
#include <deque>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/scoped_handle.h"

class StagedFlusher {
public:
    StagedFlusher();
    // Closes the files still waiting without flushing them (a failed run removes them anyway)
    // and joins the threads.
    ~StagedFlusher();
    StagedFlusher(const StagedFlusher&) = delete;
    StagedFlusher& operator=(const StagedFlusher&) = delete;

    // Takes a written file (open for writing) to flush and close; tag names it to Finish. Without
    // threads, flushes at once.
    void Add(ScopedFile file, size_t tag);
    // Waits until every file added has been flushed and closed. False when one could not be
    // flushed; failedTag is its tag and the last error says why.
    bool Finish(size_t& failedTag);

private:
    void Run();
    void Flush(ScopedFile file, size_t tag);

    // The system's slim lock and condition variables: under Wine the C++ library's wait on
    // kernel objects, a round trip to the server per file.
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE work_ = CONDITION_VARIABLE_INIT;     // for idle threads
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;  // for Add and Finish
    std::deque<std::pair<ScopedFile, size_t>> queue_;
    size_t busy_ = 0, idle_ = 0;
    bool waiting_ = false;  // Add or Finish waits for changed_
    bool stop_ = false;
    bool failed_ = false;
    size_t failedTag_ = 0;
    DWORD error_ = 0;
    std::vector<std::thread> threads_;
};

// Flushes the file at path to disk, waiting out a passing holder; false when it cannot.
bool FlushFileToDisk(const std::wstring& path);
