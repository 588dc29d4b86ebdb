#include "update/update_steps.h"

#include <algorithm>

#include "update/version.h"

std::vector<UpdateStep> SelectUpdateSteps(const UpdateManifest& manifest,
                                          const std::wstring& installedVersion) {
    std::vector<std::wstring> keys;
    keys.reserve(manifest.download_urls.size());
    for (const auto& entry : manifest.download_urls) keys.push_back(entry.first);
    std::sort(keys.begin(), keys.end(), [](const std::wstring& a, const std::wstring& b) {
        return CompareVersions(a, b) < 0;
    });

    std::vector<UpdateStep> steps;
    for (const std::wstring& key : keys) {
        if (CompareVersions(key, installedVersion) > 0 &&
            CompareVersions(key, manifest.latest_version) <= 0) {
            steps.push_back(UpdateStep{key, manifest.download_urls.at(key)});
        }
    }
    return steps;
}
