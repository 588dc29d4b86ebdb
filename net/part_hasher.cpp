#include "net/part_hasher.h"

#include "net/http_request.h"

namespace {

constexpr DWORD kPollMs = 2;

}  // namespace

PartHasher::PartHasher(const std::vector<std::wstring>& partPaths,
                       const std::vector<uint64_t>& lengths, const std::atomic<bool>* finished)
    : partPaths_(partPaths), lengths_(lengths), finished_(finished) {}

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
}

bool PartHasher::HashPart(int index, std::vector<char>& buffer) {
    // The download holds every part open for writing from before its workers start.
    ScopedFile part(CreateFileW(partPaths_[index].c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!part) return false;
    for (uint64_t left = lengths_[index]; left > 0;) {
        // Noted before the read: once the worker has ended, an empty read is the part's end.
        const bool workerEnded = finished_[index].load();
        const DWORD want = static_cast<DWORD>(left < buffer.size() ? left : buffer.size());
        DWORD read = 0;
        if (!ReadFile(part.get(), buffer.data(), want, &read, nullptr)) return false;
        if (read > 0) {
            AddToSha256(sha_, buffer.data(), read);
            left -= read;
        } else if (workerEnded || stop_.load()) {
            return false;
        } else {
            Sleep(kPollMs);
        }
    }
    return true;
}
