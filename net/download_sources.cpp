#include "net/download_sources.h"

#include <thread>

std::vector<DownloadSource> ProbeSources(const std::wstring& url,
                                         const std::vector<std::wstring>& mirrors,
                                         const RetryPolicy& policy) {
    std::vector<DownloadSource> sources(1 + mirrors.size());
    sources[0].url = url;
    for (size_t i = 0; i < mirrors.size(); ++i) sources[i + 1].url = mirrors[i];
    RetryPolicy mirrorPolicy = policy;
    mirrorPolicy.requestTries = policy.requestTries < 2 ? policy.requestTries : 2;
    mirrorPolicy.maxRetryAfterMs = policy.firstWaitMs;
    const auto probe = [&](DownloadSource& source, const RetryPolicy& used) {
        source.probed = HttpProbe(source.url, source.resource, used) &&
                        source.resource.status >= 200 && source.resource.status <= 299;
        source.proxy = UserProxyFor(source.url);
    };
    std::vector<std::thread> probes;
    probes.reserve(mirrors.size());
    for (size_t i = 1; i < sources.size(); ++i) {
        try {
            probes.emplace_back([&, i] { probe(sources[i], mirrorPolicy); });
        } catch (...) {
            probe(sources[i], mirrorPolicy);  // no thread: probed here instead
        }
    }
    probe(sources[0], policy);
    for (std::thread& thread : probes) thread.join();
    return sources;
}

uint64_t DropOtherLengths(std::vector<DownloadSource>& sources, int64_t expectedSize) {
    uint64_t length = expectedSize >= 0 ? static_cast<uint64_t>(expectedSize) : 0;
    if (expectedSize < 0) {
        for (const DownloadSource& source : sources) {
            if (source.probed && source.resource.length != 0) {
                length = source.resource.length;
                break;
            }
        }
    }
    std::vector<DownloadSource> kept;
    for (DownloadSource& source : sources) {
        const bool other =
            source.probed && source.resource.length != 0 && source.resource.length != length;
        if (!other) kept.push_back(std::move(source));
    }
    sources = std::move(kept);
    return length;
}

std::vector<DownloadSource> RangeSources(const std::vector<DownloadSource>& sources,
                                         uint64_t length) {
    std::vector<DownloadSource> ranged;
    for (const DownloadSource& source : sources) {
        if (source.probed && source.resource.acceptsRanges && source.resource.length == length)
            ranged.push_back(source);
    }
    return ranged;
}

SourcePool::SourcePool(std::vector<DownloadSource> sources)
    : sources_(std::move(sources)), state_(sources_.size()) {}

int SourcePool::Next(int current) const {
    const int count = static_cast<int>(sources_.size());
    int best = -1;
    for (int step = 1; step <= count; ++step) {
        const int index = (current + step) % count;
        if (state_[index].dropped.load()) continue;
        if (best < 0 || state_[index].strikes.load() < state_[best].strikes.load()) best = index;
    }
    return best;
}
