#include "tests/support/support.h"

#include <zlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <sstream>
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
    // Wine reuses process ids: a crashed run's folder of this name may still be there.
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
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

uint64_t fakeFreeSpace = 0;
bool FakeFreeSpace(const std::wstring&, uint64_t& available) {
    available = fakeFreeSpace;
    return true;
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

HANDLE StartTool(std::string app, const char* tool, const std::wstring& arguments,
                 HANDLE output) {
    app.replace(app.rfind('/') + 1, std::string::npos, tool);
    std::wstring command = L"\"" + HostPath(app) + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, output != nullptr, 0, nullptr,
                        nullptr, &startup, &process))
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

std::vector<std::string> Gets(const std::string& path) {
    std::istringstream log(ReadBytes(HostPath(ServerDirectory() + "/requests.log")));
    std::vector<std::string> ranges;
    for (std::string method, target, range; std::getline(log, method, '\t');) {
        std::getline(log, target, '\t');
        std::getline(log, range);
        if (method == "GET" && target.substr(0, target.find('?')) == path) ranges.push_back(range);
    }
    return ranges;
}

uint64_t BytesAsked(const std::string& path, uint64_t whole, size_t skip) {
    const std::vector<std::string> ranges = Gets(path);
    uint64_t bytes = 0;
    for (size_t i = skip; i < ranges.size(); ++i) {
        const std::string& range = ranges[i];
        const size_t dash = range.find('-');
        const uint64_t first = range.empty() ? 0 : std::stoull(range.substr(6, dash - 6));
        const uint64_t end = dash + 1 < range.size() ? std::stoull(range.substr(dash + 1)) + 1 : whole;
        bytes += end - first;
    }
    return bytes;
}

std::vector<std::wstring> LoggedBy(const std::function<void(HWND window)>& work) {
    std::vector<std::wstring> lines;
    HWND sink = CreateWorkerSink([&](const WorkerMessage& m) { lines.push_back(SinkLineText(m)); });
    EXPECT_TRUE(RunWithMessagePump([&] { work(sink); }, 180000)) << "the work did not end";
    DestroyWorkerSink(sink);
    return lines;
}

std::string StoredArchive(const std::vector<std::pair<std::string, std::string>>& entries) {
    auto u16 = [](uint32_t v) { return std::string{char(v & 0xFF), char(v >> 8 & 0xFF)}; };
    auto u32 = [&](uint32_t v) { return u16(v & 0xFFFF) + u16(v >> 16); };
    std::string locals, central;
    for (const auto& [name, data] : entries) {
        const uint32_t crc = crc32(0, reinterpret_cast<const Bytef*>(data.data()),
                                   static_cast<uInt>(data.size()));
        const uint32_t size = static_cast<uint32_t>(data.size());
        const std::string fields = u16(20) + u16(0) + u16(0) + u32(0) + u32(crc) + u32(size) +
                                   u32(size) + u16(static_cast<uint32_t>(name.size())) + u16(0);
        central += u32(0x02014b50) + u16(20) + fields + u16(0) + u16(0) + u16(0) + u32(0) +
                   u32(static_cast<uint32_t>(locals.size())) + name;
        locals += u32(0x04034b50) + fields + name + data;
    }
    const uint16_t count = static_cast<uint16_t>(entries.size());
    return locals + central + u32(0x06054b50) + u32(0) + u16(count) + u16(count) +
           u32(static_cast<uint32_t>(central.size())) +
           u32(static_cast<uint32_t>(locals.size())) + u16(0);
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
