#include "update/updater_thread.h"

#include "base/app_directory.h"
#include "base/worker_messages.h"
#include "net/http_client.h"
#include "update/attempt.h"
#include "update/install_steps.h"
#include "update/local_files.h"
#include "update/manifest.h"
#include "update/manifest_expiry.h"
#include "update/pass_lock.h"
#include "update/signature.h"
#include "update/stale_downloads.h"
#include "update/update_steps.h"

namespace {

// The pass up to its last message, which RunUpdatePass posts on every path.
void CheckAndInstall(HWND window, const std::wstring& manifestUrl, const std::string& publicKey,
                     uint64_t now) {
    const std::wstring versionIniPath = AppPath(L"version.ini");
    const std::wstring pidPath = AppPath(L"app.pid");

    const PassLock lock(AppDirectory(), [&] {
        PostLogLine(window, L"Đang chờ một lượt cập nhật khác kết thúc...");
    });
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
    if (!Attempt([&] { return HttpGetToMemory(manifestUrl, body); })) {
        PostLogLine(window, L"Không thể lấy thông tin phiên bản từ server.");
        return;
    }
    // A signed manifest is checked before anything in it is believed.
    std::string signature;
    if (!publicKey.empty() && !Attempt([&] {
            return HttpGetToMemory(manifestUrl + L".sig", signature) &&
                   VerifySignature(body, signature, publicKey);
        })) {
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
    for (UpdateStep& step : steps) {
        const auto size = sizes.find(step.version);
        if (size != sizes.end()) step.size = size->second;
    }
    DiscardOtherDownloads(steps);
    if (steps.empty()) {
        PostLogLine(window, L"Bạn đang ở phiên bản mới nhất (" + installedVersion + L").");
        return;
    }

    const ArchiveDigests digests =
        publicKey.empty() ? ArchiveDigests() : ParseArchiveDigests(body);
    size_t installed = 0;
    InstallUpdateSteps(window, versionIniPath, pidPath, steps, installed,
                       publicKey.empty() ? nullptr : &digests);
    DeleteFileW(pidPath.c_str());
    if (installed < steps.size()) {
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
                   uint64_t now) {
    // The fetch, the downloads and the unpacking end the pass with their own lines when memory
    // runs out; what little is left to allocate must not take the process with it either.
    try {
        CheckAndInstall(window, manifestUrl, publicKey, now);
    } catch (...) {
    }
    PostEnableStart(window);
}
