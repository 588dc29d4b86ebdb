#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "update/manifest.h"

// One version to install: the manifest's key verbatim and its archive URL.
struct UpdateStep {
    std::wstring version;
    std::wstring url;
    int64_t size = -1;  // what a signed manifest promises; -1: nothing
    std::vector<std::wstring> mirrors = {};  // the same archive on the manifest's mirrors, in order
    bool hasList = false;     // the manifest has a "files" entry: VERSION.files is served
    std::wstring listDigest = {};  // that entry
};

// Every offered version newer than installedVersion and not newer than latest_version,
// oldest first by CompareVersions.
std::vector<UpdateStep> SelectUpdateSteps(const UpdateManifest& manifest,
                                          const std::wstring& installedVersion);
