// libFuzzer target: the manifest parser and the update decision on arbitrary bodies.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/manifest.h"
#include "update/update_steps.h"
#include "update/version.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    UpdateManifest manifest;
    if (!ParseManifest(body, manifest)) {
        if (!manifest.latest_version.empty() || !manifest.download_urls.empty()) std::abort();
        return 0;
    }
    if (manifest.latest_version.empty()) std::abort();
    std::vector<UpdateStep> steps = SelectUpdateSteps(manifest, L"0.0.0");
    for (size_t i = 0; i < steps.size(); i++) {
        if (CompareVersions(steps[i].version, L"0.0.0") <= 0) std::abort();
        if (CompareVersions(steps[i].version, manifest.latest_version) > 0) std::abort();
        if (i > 0 && CompareVersions(steps[i - 1].version, steps[i].version) > 0) std::abort();
        if (manifest.download_urls.at(steps[i].version) != steps[i].url) std::abort();
    }
    return 0;
}
