#include "update/stale_downloads.h"

#include <windows.h>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "net/download.h"
#include "net/download_record.h"

void DiscardOtherDownloads(const std::vector<UpdateStep>& steps) {
    std::vector<std::wstring> versions;
    for (const wchar_t* pattern : {L"*.zip.resume", L"*.zip.resume.new", L"*.zip.part",
                                   L"*.zip.part?", L"*.zip.ranges.plan"}) {
        WIN32_FIND_DATAW found = {};
        ScopedFind search(FindFirstFileW(AppPath(pattern).c_str(), &found));
        for (bool more = static_cast<bool>(search); more;
             more = FindNextFileW(search.get(), &found) != 0) {
            const std::wstring name = found.cFileName;
            versions.push_back(name.substr(0, name.rfind(L".zip.")));
        }
    }
    for (const std::wstring& version : versions) {
        bool pending = false;
        for (const UpdateStep& step : steps) pending = pending || step.version == version;
        if (pending) continue;
        const std::wstring zipPath = AppPath(version + L".zip");
        // A single stream of an earlier launcher wrote the archive itself, and its record holds
        // one part: that archive is a partial download too.
        DownloadRecord record;
        if (ReadDownloadRecord(DownloadRecordPath(zipPath), record) &&
            record.partBytes.size() == 1) {
            DeleteFileW(zipPath.c_str());
        }
        DiscardPartialDownload(zipPath);
        // What a catch-up fetched by range.
        DiscardPartialDownload(zipPath + L".ranges");
    }
}
