#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <cstdlib>

#include "base/scoped_handle.h"
#include "base/text.h"
#include "tools/worker_sink.h"
#include "update/local_files.h"

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            (L"hopwell-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(counter++));
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void ClearDirectory(const std::wstring& path) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(path, ignored))
        std::filesystem::remove_all(entry.path(), ignored);
}

std::string ReadBytes(const std::wstring& path) {
    std::string bytes;
    ReadFileToString(path, bytes);
    return bytes;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring HostPath(const std::string& unixPath) {
    std::wstring path = L"Z:" + Utf8ToWide(unixPath);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

std::string ServerDirectory() {
    const char* directory = std::getenv("HOPWELL_TEST_SERVER");
    return directory ? directory : "";
}

std::wstring ServerUrl(const std::string& pathAndQuery) {
    static const std::string port = ReadBytes(HostPath(ServerDirectory() + "/port"));
    return Utf8ToWide("http://127.0.0.1:" + port + pathAndQuery);
}

std::wstring Serve(const std::string& name, const std::string& bytes) {
    EXPECT_TRUE(WriteStringToFile(HostPath(ServerDirectory() + "/www/" + name), bytes));
    return ServerUrl("/" + name);
}

std::vector<std::wstring> LoggedBy(const std::function<void(HWND window)>& work) {
    std::vector<std::wstring> lines;
    HWND sink = CreateWorkerSink([&](const WorkerMessage& m) { lines.push_back(SinkLineText(m)); });
    EXPECT_TRUE(RunWithMessagePump([&] { work(sink); }, 180000)) << "the work did not end";
    DestroyWorkerSink(sink);
    return lines;
}

HeldFile::HeldFile(const std::wstring& path, DWORD share, DWORD releaseMs) {
    if (!share) return;
    ScopedFile file(
        CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(file) << WideToUtf8(path);
    if (releaseMs == 0)
        file_ = std::move(file);
    else
        releaser_ = std::thread([file = std::move(file), releaseMs]() mutable {
            Sleep(releaseMs);
            file.reset();
        });
}

HeldFile::~HeldFile() {
    if (releaser_.joinable()) releaser_.join();
}
