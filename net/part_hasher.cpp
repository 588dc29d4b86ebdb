#include "net/part_hasher.h"

#include "net/http_request.h"

namespace {

constexpr DWORD kPollMs = 2;

}  // namespace

PartHasher::PartHasher(const std::vector<std::wstring>& partPaths,
                       const std::atomic<bool>* finished)
    : partPaths_(partPaths), finished_(finished) {}

PartHasher::~PartHasher() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

bool PartHasher::Start() {
    if (!StartSha256(sha_)) return false;
    try {
        thread_ = std::thread(&PartHasher::Run, this);
    } catch (...) {
        return false;  // no thread, or no memory for one
    }
    return true;
}

void PartHasher::WaitForPart(int index) const {
    while (hashedParts_.load() <= index && !ended_.load()) Sleep(kPollMs);
}

bool PartHasher::Finish(std::string& digest) {
    if (thread_.joinable()) thread_.join();
    return !failed_.load() && hashedParts_.load() == static_cast<int>(partPaths_.size()) &&
           FinishSha256(sha_, digest);
}

void PartHasher::Run() {
    // Nothing may escape a thread's function: a buffer that cannot be had fails the hashing.
    try {
        std::vector<char> buffer(kReadBufferSize);
        for (int i = 0; i < static_cast<int>(partPaths_.size()); ++i) {
            if (!HashPart(i, buffer)) {
                failed_.store(true);
                break;
            }
            hashedParts_.store(i + 1);
        }
    } catch (...) {
        failed_.store(true);
    }
    ended_.store(true);
}

bool PartHasher::HashPart(int index, std::vector<char>& buffer) {
    // The worker creates its part once its answer has come; one that ends without is a failure.
    // The merge may delete a part as soon as it is hashed, hence FILE_SHARE_DELETE.
    ScopedFile part;
    for (;;) {
        const bool workerEnded = finished_[index].load();
        part.reset(CreateFileW(partPaths_[index].c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (part) break;
        if (workerEnded || stop_.load()) return false;
        Sleep(kPollMs);
    }
    for (;;) {
        // Noted before the read: once the worker has ended, an empty read is the part's end.
        const bool workerEnded = finished_[index].load();
        DWORD read = 0;
        if (!ReadFile(part.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                      nullptr))
            return false;
        if (read > 0) {
            AddToSha256(sha_, buffer.data(), read);
        } else if (workerEnded) {
            return true;
        } else if (stop_.load()) {
            return false;
        } else {
            Sleep(kPollMs);
        }
    }
}
