#pragma once
// The SHA-256 of a segmented download's parts joined in index order, computed on a thread of
// its own while the workers still write them. The first part is hashed as it arrives and each
// later one as soon as the ones before it are done, so less is left to hash when the workers
// end, and the rest overlaps the merge. Each part is read to its segment's length only: the
// merge appends to part 0. Only atomics and polling: the download takes no lock.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "base/sha256.h"

class PartHasher {
public:
    // finished[i] turns true once worker i has ended; the array must outlive the hasher.
    PartHasher(const std::vector<std::wstring>& partPaths, const std::vector<uint64_t>& lengths,
               const std::atomic<bool>* finished);
    ~PartHasher();  // stops and joins
    PartHasher(const PartHasher&) = delete;
    PartHasher& operator=(const PartHasher&) = delete;

    // Starts the thread; false when it could not be started.
    bool Start();
    // Waits for the thread; the digest of all parts, false when one could not be read whole.
    bool Finish(std::string& digest);

private:
    void Run();
    bool HashPart(int index, std::vector<char>& buffer);

    std::vector<std::wstring> partPaths_;
    std::vector<uint64_t> lengths_;
    const std::atomic<bool>* finished_;
    Sha256 sha_;
    std::thread thread_;
    std::atomic<int> hashedParts_{0};
    std::atomic<bool> failed_{false};
    std::atomic<bool> stop_{false};
};
