#pragma once
// The URLs one file is fetched from: the manifest's URL first, then its mirrors. How they are
// probed, which are dropped, and which one a segment turns to when its source fails.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "net/http_client.h"
#include "net/retry.h"
#include "net/user_proxy.h"

struct DownloadSource {
    std::wstring url;
    bool probed = false;  // the probe was answered with 2xx; resource holds what it said
    HttpResource resource;
    HttpProxy proxy;  // looked up once: a script evaluated per request would cost each of them
};

// Probes url and then mirrors, all at once, and returns them in that order. The first is
// probed as policy says; a mirror gets one retry with short waits, so one that is down holds
// up the download by a second or two at most.
std::vector<DownloadSource> ProbeSources(const std::wstring& url,
                                         const std::vector<std::wstring>& mirrors,
                                         const RetryPolicy& policy);

// The length the file must have: expectedSize when a signed manifest gives one (>= 0), else
// that of the first source in order probed with a length. Sources probed with another length
// are dropped (sources keeps its order); those whose probe failed stay, for the single stream.
uint64_t DropOtherLengths(std::vector<DownloadSource>& sources, int64_t expectedSize);

// The sources that can serve ranges of a file of length: probed, offering byte ranges, and
// of that length.
std::vector<DownloadSource> RangeSources(const std::vector<DownloadSource>& sources,
                                         uint64_t length);

// What the segment workers of one download share about its sources.
class SourcePool {
public:
    explicit SourcePool(std::vector<DownloadSource> sources);
    const std::vector<DownloadSource>& sources() const { return sources_; }
    const DownloadSource& at(int index) const { return sources_[index]; }
    // A source that answered what no retry mends (an error page, a wrong range, a failed
    // certificate) serves no segment again.
    void Drop(int index) { state_[index].dropped = true; }
    // A try on it that failed and may be retried.
    void Strike(int index) { ++state_[index].strikes; }
    int Strikes(int index) const { return state_[index].strikes.load(); }
    // The source a segment on `current` turns to: of those not dropped, the one with the
    // fewest failed tries, the first after current in order on a tie (current itself last).
    // -1 when every source is dropped.
    int Next(int current) const;

private:
    struct State {
        std::atomic<int> strikes{0};
        std::atomic<bool> dropped{false};
    };
    std::vector<DownloadSource> sources_;
    std::vector<State> state_;
};
