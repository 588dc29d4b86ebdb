#include "net/progress.h"

#include <cwchar>

#include "base/worker_messages.h"

namespace {

std::wstring FormatNumber(const wchar_t* format, double value) {
    wchar_t text[64] = {};
    swprintf(text, 64, format, value);
    return text;
}

std::wstring FormatSpeed(double bytesPerSecond) {
    if (bytesPerSecond >= 1048576.0) return FormatNumber(L"%.2f MB/s", bytesPerSecond / 1048576.0);
    if (bytesPerSecond >= 1024.0) return FormatNumber(L"%.2f KB/s", bytesPerSecond / 1024.0);
    return FormatNumber(L"%.0f B/s", bytesPerSecond);
}

}  // namespace

std::wstring FormatByteSize(uint64_t bytes) {
    const double value = static_cast<double>(bytes);
    if (bytes >= 1073741824ULL) return FormatNumber(L"%.2f GB", value / 1073741824.0);
    if (bytes >= 1048576ULL) return FormatNumber(L"%.2f MB", value / 1048576.0);
    if (bytes >= 1024ULL) return FormatNumber(L"%.2f KB", value / 1024.0);
    wchar_t text[64] = {};
    swprintf(text, 64, L"%llu B", static_cast<unsigned long long>(bytes));
    return text;
}

void ProgressReporter::operator()(uint64_t done, uint64_t total) const {
    ReportAt(done, total, GetTickCount64());
}

void ProgressReporter::ReportAt(uint64_t done, uint64_t total, uint64_t now) const {
    if (now - lastReportTick < 200 && done != total) return;
    lastReportTick = now;

    const int percent = total != 0 ? static_cast<int>(done * 100 / total) : 0;
    // Each step owns an equal share of the bar.
    const int overall = static_cast<int>(
        (static_cast<double>(stepNumber - 1) * 100.0 + percent) / static_cast<double>(stepCount));
    PostProgress(window, overall);

    // Average speed over the whole step so far.
    const double elapsed = static_cast<double>(now - startTick) / 1000.0;
    const std::wstring speed =
        elapsed > 0 ? FormatSpeed(static_cast<double>(done) / elapsed) : FormatSpeed(0.0);
    PostStatusText(window, L"Đang tải " + version + L" (" + FormatByteSize(done) + L"/" +
                               FormatByteSize(total) + L") - " + std::to_wstring(percent) +
                               L"% @ " + speed);
}
