#include "update/updater_thread.h"

#include <shellapi.h>

#include <memory>

#include "base/app_directory.h"
#include "base/worker_messages.h"
#include "net/http_client.h"
#include "update/attempt.h"
#include "update/file_check.h"
#include "update/file_lists.h"
#include "update/install_steps.h"
#include "update/local_files.h"
#include "update/manifest.h"
#include "update/manifest_expiry.h"
#include "update/mirrors.h"
#include "update/pass_lock.h"
#include "update/signature.h"
#include "update/stale_downloads.h"
#include "update/update_steps.h"

namespace {

enum class ManifestFetch { Fetched, Unreachable, BadSignature };

// The manifest of the first URL that gives one, each URL asked with its own retries; under a
// key, one whose signature cannot be fetched or does not verify hands over to the next, as a
// stale or tampered copy on one host must not hide a good one on another. When none gives one,
// a bad signature is what is reported: it is the graver of the two.
ManifestFetch FetchManifest(const std::vector<std::wstring>& urls, const std::string& publicKey,
                            std::string& body) {
    ManifestFetch result = ManifestFetch::Unreachable;
    for (const std::wstring& url : urls) {
        std::string fetched;
        if (!Attempt([&] { return HttpGetToMemory(url, fetched); })) continue;
        // A signed manifest is checked before anything in it is believed.
        std::string signature;
        if (!publicKey.empty() && !Attempt([&] {
                return HttpGetToMemory(url + L".sig", signature) &&
                       VerifySignature(fetched, signature, publicKey);
            })) {
            result = ManifestFetch::BadSignature;
            continue;
        }
        body = std::move(fetched);
        return ManifestFetch::Fetched;
    }
    return result;
}

// The pass up to its last message, which RunUpdatePass posts on every path.
void CheckAndInstall(HWND window, const std::vector<std::wstring>& manifestUrls,
                     const std::string& publicKey, uint64_t now, bool repair) {
    const std::wstring versionIniPath = AppPath(L"version.ini");
    const std::wstring pidPath = AppPath(L"app.pid");

    const PassLock lock(AppDirectory(), [&] {
        PostLogLine(window, L"Đang chờ một lượt cập nhật khác kết thúc...");
    });
    // Without the lock another pass may be mid-commit: nothing is touched.
    if (!lock.held()) {
        PostLogLine(window, L"Không thể tạo tệp khóa trong thư mục ứng dụng.");
        PostLogLine(window, L"Cập nhật chưa hoàn tất.");
        return;
    }
    // Before the server is asked anything, so that a start without it still repairs the files.
    // A journal that cannot be trusted stops every pass: installing over it would lose it.
    if (!RecoverInterruptedCommit(versionIniPath)) {
        PostLogLine(window, L"Không thể khôi phục lần cập nhật trước.");
        PostLogLine(window, L"Cập nhật chưa hoàn tất.");
        return;
    }
    PostLogLine(window, L"Đang kiểm tra cập nhật...");
    const std::wstring installedVersion = ReadInstalledVersion(versionIniPath);

    std::string body;
    const ManifestFetch fetch = FetchManifest(manifestUrls, publicKey, body);
    if (fetch == ManifestFetch::Unreachable) {
        PostLogLine(window, L"Không thể lấy thông tin phiên bản từ server.");
        return;
    }
    if (fetch == ManifestFetch::BadSignature) {
        PostLogLine(window, L"Chữ ký thông tin phiên bản không hợp lệ.");
        return;
    }
    // A replayed old manifest keeps a valid signature; only its signed end of validity tells.
    if (!publicKey.empty() && ManifestHasExpired(body, now)) {
        PostLogLine(window, L"Thông tin phiên bản đã hết hạn.");
        return;
    }
    UpdateManifest manifest;
    if (!Attempt([&] { return ParseManifest(body, manifest); })) {
        PostLogLine(window, L"Dữ liệu phiên bản không hợp lệ.");
        return;
    }

    std::vector<UpdateStep> steps = SelectUpdateSteps(manifest, installedVersion);
    const ArchiveSizes sizes = publicKey.empty() ? ArchiveSizes() : ParseArchiveSizes(body);
    const std::vector<std::wstring> mirrors = ParseMirrors(body);
    const ListDigests lists = ParseListDigests(body);
    const auto describe = [&](UpdateStep& step) {
        const auto size = sizes.find(step.version);
        if (size != sizes.end()) step.size = size->second;
        for (const std::wstring& mirror : mirrors) {
            const std::wstring url = MirrorUrl(mirror, step.url);
            if (!url.empty()) step.mirrors.push_back(url);
        }
        const auto list = lists.find(step.version);
        step.hasList = list != lists.end();
        if (step.hasList) step.listDigest = list->second;
    };
    for (UpdateStep& step : steps) describe(step);
    // Every archive offered, earlier versions too: files of the latest list name their source.
    OfferedArchives offered;
    for (const auto& [version, url] : manifest.download_urls) {
        offered[version] = {version, url};
        describe(offered[version]);
    }
    DiscardOtherDownloads(steps);
    const ArchiveDigests digests =
        publicKey.empty() ? ArchiveDigests() : ParseArchiveDigests(body);
    const ArchiveDigests* keyed = publicKey.empty() ? nullptr : &digests;
    if (steps.empty()) {
        PostLogLine(window, L"Bạn đang ở phiên bản mới nhất (" + installedVersion + L").");
        if (!CheckInstalledFiles(window, manifest, keyed, sizes, repair))
            PostLogLine(window, L"Cập nhật chưa hoàn tất.");
        return;
    }

    // Without a kept list, the installed version's own list (when the manifest has one) says
    // what the next version drops; without either, nothing is removed.
    FileList installedList;
    const auto installedUrl = manifest.download_urls.find(installedVersion);
    const auto installedListDigest = lists.find(installedVersion);
    std::string listText;
    if (!ReadKeptList(installedList) && installedUrl != manifest.download_urls.end() &&
        installedListDigest != lists.end() &&
        FetchFileList(installedUrl->second, keyed ? &installedListDigest->second : nullptr,
                      listText, installedList) == ListFetch::Tampered) {
        PostLogLine(window, L"Tệp cập nhật bị thay đổi hoặc hỏng: " + installedVersion);
        PostLogLine(window, L"Cập nhật chưa hoàn tất.");
        return;
    }
    size_t installed = 0;
    InstallUpdateSteps(window, versionIniPath, pidPath, steps, installed, keyed, installedList,
                       &offered);
    DeleteFileW(pidPath.c_str());
    const bool checked =
        installed == 0 || CheckInstalledFiles(window, manifest, keyed, sizes, repair);
    if (installed < steps.size() || !checked) {
        // The bar shows the versions in place, not how far the failed download had come.
        PostProgress(window, static_cast<int>(installed * 100 / steps.size()));
        PostLogLine(window, L"Cập nhật chưa hoàn tất.");
        return;
    }
    PostProgress(window, 100);
    PostLogLine(window, L"Cập nhật hoàn tất.");
}

}  // namespace

void RunUpdatePass(HWND window, const std::wstring& manifestUrl, const std::string& publicKey,
                   uint64_t now, bool repair) {
    RunUpdatePass(window, std::vector<std::wstring>{manifestUrl}, publicKey, now, repair);
}

void RunUpdatePass(HWND window, const std::vector<std::wstring>& manifestUrls,
                   const std::string& publicKey, uint64_t now, bool repair) {
    // The fetch, the downloads and the unpacking end the pass with their own lines when memory
    // runs out; what little is left to allocate must not take the process with it either.
    try {
        CheckAndInstall(window, manifestUrls, publicKey, now, repair);
    } catch (...) {
    }
    PostEnableStart(window);
}

bool RepairRequested(const wchar_t* commandLine) {
    int count = 0;
    const std::unique_ptr<LPWSTR, decltype(&LocalFree)> arguments(
        CommandLineToArgvW(commandLine, &count), &LocalFree);
    for (int i = 1; arguments && i < count; ++i)
        if (std::wstring(arguments.get()[i]) == L"--repair") return true;
    return false;
}
