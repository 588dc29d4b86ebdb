// Whole update passes against the in-process server, with every worker message captured by a
// hidden window pumped on the test thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "tests/support/host_path.h"
#include "tests/support/http_test_server.h"
#include "tests/support/pass_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/zip_builder.h"

// While non-zero, allocations of at least this many bytes fail, as when memory runs out.
// (The runtime's operator delete frees with free().)
std::atomic<size_t> failAllocationsFrom{0};

void* operator new(size_t size) {
    if (failAllocationsFrom != 0 && size >= failAllocationsFrom) throw std::bad_alloc();
    if (void* block = std::malloc(size != 0 ? size : 1)) return block;
    throw std::bad_alloc();
}

namespace {

const std::wstring kCheck = L"Đang kiểm tra cập nhật...";
const std::wstring kDone = L"Cập nhật hoàn tất.";

// The end of a pass that had steps: the closing line, the bar at 100, then Start, once. Log
// lines are sent, so one may pass the posted progress; nothing passes Start.
void ExpectClosingMessages(const std::vector<WorkerMessage>& messages) {
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(LogLines(messages).back(), kDone);
    const auto progress =
        std::find_if(messages.rbegin(), messages.rend(),
                     [](const WorkerMessage& m) { return m.message == WM_APP_PROGRESS; });
    ASSERT_NE(progress, messages.rend());
    EXPECT_EQ(progress->percent, 100);
    EXPECT_EQ(messages.back().message, WM_APP_ENABLE_START);
    EXPECT_EQ(CountOf(messages, WM_APP_ENABLE_START), 1);
}

std::vector<std::wstring> InstallLines(const std::wstring& v) {
    return {L"Đang tải bản " + v + L"...", L"Đang giải nén " + v + L"...",
            L"Miniz giải nén thành công!", L"Sử dụng miniz để giải nén (nhanh)",
            L"Hoàn tất cập nhật " + v + L"."};
}

std::vector<std::wstring> Concat(std::initializer_list<std::vector<std::wstring>> parts) {
    std::vector<std::wstring> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

class UpdatePass : public PassTest {
protected:
    // A manifest listing each version at /VERSION.zip; serves it at /version.json.
    std::wstring ServeManifest(const std::string& latest, const std::vector<std::string>& versions) {
        std::vector<std::pair<std::string, std::wstring>> urls;
        for (const std::string& v : versions) urls.push_back({v, server.Url("/" + v + ".zip")});
        server.Route("/version.json", TestRoute(ManifestJson(latest, urls)));
        return server.Url("/version.json");
    }

    // An archive whose files say which version wrote them.
    void ServeArchive(const std::string& version) {
        server.Route("/" + version + ".zip",
                     TestRoute(BuildZip({{"data/", ""},
                                         {"data/version.txt", "data " + version},
                                         {"only-" + version + ".txt", version}})));
    }

    std::wstring Path(const std::wstring& name) { return AppPath(name); }
};

TEST_F(UpdatePass, InstallsTwoVersionsOldestFirstWithTheMessagesInOrder) {
    ASSERT_TRUE(WriteBytes(Path(L"version.ini"), "version=1.0.0\r\n"));
    ServeArchive("1.10.0");
    ServeArchive("1.9.0");
    const std::wstring url = ServeManifest("1.10.0", {"1.10.0", "1.9.0", "1.0.0"});

    auto messages = RunPass(url);

    // Lines the unpacking appends directly stand in order among the others.
    EXPECT_EQ(LogLines(messages),
              Concat({{kCheck}, InstallLines(L"1.9.0"), InstallLines(L"1.10.0"), {kDone}}));
    ExpectClosingMessages(messages);

    EXPECT_EQ(ReadBytes(Path(L"version.ini")), "version=1.10.0\r\n");
    EXPECT_EQ(ReadBytes(Path(L"data\\version.txt")), "data 1.10.0");
    EXPECT_TRUE(FileExists(Path(L"only-1.9.0.txt")));
    EXPECT_FALSE(FileExists(Path(L"1.9.0.zip")));
    EXPECT_FALSE(FileExists(Path(L"1.10.0.zip")));
    EXPECT_EQ(server.Count("/1.0.0.zip"), 0);
    EXPECT_EQ(server.Count("/version.json.sig"), 0);  // no key, so no signature is asked for
}

TEST_F(UpdatePass, NothingToInstallLeavesAppPidAndTheBar) {
    ASSERT_TRUE(WriteBytes(Path(L"version.ini"), "version=1.2.0\r\n"));
    ASSERT_TRUE(WriteBytes(Path(L"app.pid"), "4242\r\n"));
    const std::wstring url = ServeManifest("1.3.0", {"1.2.0", "1.1.0", "1.4.0"});

    auto messages = RunPass(url);

    EXPECT_EQ(PostedLines(messages),
              (std::vector<std::wstring>{kCheck, L"Bạn đang ở phiên bản mới nhất (1.2.0)."}));
    EXPECT_EQ(CountOf(messages, WM_APP_PROGRESS), 0);
    EXPECT_EQ(messages.back().message, WM_APP_ENABLE_START);
    EXPECT_EQ(ReadBytes(Path(L"app.pid")), "4242\r\n");
}

TEST_F(UpdatePass, UnreachableServerAndInvalidManifestTouchNothing) {
    ASSERT_TRUE(WriteBytes(Path(L"version.ini"), "version=1.0.0\r\n"));
    ASSERT_TRUE(WriteBytes(Path(L"app.pid"), "4242"));
    // Longer than any manifest: a server that never ends its body is not followed for ever.
    server.Route("/huge.json", TestRoute(ManifestJson("9.0.0", {{"9.0.0", server.Url("/9.zip")}}) +
                                         std::string(17 << 20, ' ')));
    const std::wstring noManifest = L"Không thể lấy thông tin phiên bản từ server.";
    struct Case {
        std::wstring url;
        std::wstring line;
        size_t failAllocationsFrom = 0;
    } cases[] = {
        {L"http://127.0.0.1:" + std::to_wstring(UnusedLoopbackPort()) + L"/version.json",
         noManifest},
        {server.Url("/missing.json"), L"Dữ liệu phiên bản không hợp lệ."},  // a 404 page
        {server.Url("/huge.json"), noManifest},
        {server.Url("/missing.json"), noManifest, 65536},  // memory runs out
    };
    for (const Case& c : cases) {
        failAllocationsFrom = c.failAllocationsFrom;
        auto messages = RunPass(c.url);
        failAllocationsFrom = 0;
        EXPECT_EQ(PostedLines(messages), (std::vector<std::wstring>{kCheck, c.line}));
        EXPECT_EQ(CountOf(messages, WM_APP_PROGRESS), 0);
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.back().message, WM_APP_ENABLE_START);
        EXPECT_EQ(ReadBytes(Path(L"version.ini")), "version=1.0.0\r\n");
        EXPECT_EQ(ReadBytes(Path(L"app.pid")), "4242");
    }
}

TEST_F(UpdatePass, StopsAtTheFirstFailedDownload) {
    ServeArchive("1.0.0");
    ServeArchive("3.0.0");
    TestRoute missing("<html>not here</html>");
    missing.status = 404;
    server.Route("/2.0.0.zip", missing);
    const std::wstring url = ServeManifest("3.0.0", {"1.0.0", "2.0.0", "3.0.0"});

    auto messages = RunPass(url);

    EXPECT_EQ(LogLines(messages),
              Concat({{kCheck},
                      InstallLines(L"1.0.0"),
                      {L"Đang tải bản 2.0.0...", L"Tải thất bại: 2.0.0", kDone}}));
    ExpectClosingMessages(messages);
    EXPECT_EQ(ReadBytes(Path(L"version.ini")), "version=1.0.0\r\n");
    EXPECT_EQ(server.Count("/3.0.0.zip"), 0);
}

TEST_F(UpdatePass, FailedUnpackEndsThePassAndKeepsTheArchive) {
    ServeArchive("2.0.0");
    const std::wstring url = ServeManifest("2.0.0", {"1.0.0", "2.0.0"});
    struct Case {
        std::string archive;
        std::vector<std::wstring> unpackLines;
    } cases[] = {
        // Neither our reader nor the shell (which cannot succeed under Wine) unpacks it.
        {"this is not a zip archive",
         {L"Không thể khởi tạo miniz reader", L"Miniz thất bại, chuyển sang Shell extraction",
          L"Sử dụng Shell extraction (chậm)"}},
        // A name our reader refuses is never handed to the shell, which checks none.
        {BuildZip({{"good.txt", "1"}, {"../evil.txt", "2"}}),
         {L"Đường dẫn không hợp lệ trong file ZIP: ..\\evil.txt", L"Miniz giải nén thất bại!"}},
    };
    for (const Case& c : cases) {
        server.Route("/1.0.0.zip", TestRoute(c.archive));
        auto messages = RunPass(url);
        EXPECT_EQ(LogLines(messages),
                  Concat({{kCheck, L"Đang tải bản 1.0.0...", L"Đang giải nén 1.0.0..."},
                          c.unpackLines,
                          {L"Giải nén thất bại: 1.0.0", kDone}}));
        ExpectClosingMessages(messages);
        EXPECT_FALSE(FileExists(Path(L"version.ini")));
        EXPECT_FALSE(FileExists(Path(L"good.txt")));
        EXPECT_TRUE(FileExists(Path(L"1.0.0.zip")));  // left for the next attempt to overwrite
        EXPECT_EQ(server.Count("/2.0.0.zip"), 0);      // no later version is fetched
    }
}

// The stand-in application, started from a copy at `exe`; ended by the destructor.
struct RunningProgram {
    ScopedHandle process;
    DWORD pid = 0;

    explicit RunningProgram(const std::wstring& exe) {
        CopyFileW(HostPath(HOPWELL_FAKE_APP).c_str(), exe.c_str(), FALSE);
        SetEnvironmentVariableW(L"HOPWELL_FAKE_MODE", L"nopid");
        SetEnvironmentVariableW(L"HOPWELL_FAKE_LIFETIME_MS", L"30000");
        std::wstring commandLine = L"\"" + exe + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                           nullptr, &startup, &info)) {
            CloseHandle(info.hThread);
            process.reset(info.hProcess);
            pid = info.dwProcessId;
        }
        SetEnvironmentVariableW(L"HOPWELL_FAKE_MODE", nullptr);
        SetEnvironmentVariableW(L"HOPWELL_FAKE_LIFETIME_MS", nullptr);
    }
    ~RunningProgram() {
        if (process) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 5000);
        }
    }
    bool EndsWithin(DWORD ms) { return WaitForSingleObject(process.get(), ms) == WAIT_OBJECT_0; }
};

TEST_F(UpdatePass, StopsTheRunningApplicationNamedInAppPid) {
    ServeArchive("1.0.0");
    const std::wstring url = ServeManifest("1.0.0", {"1.0.0"});
    RunningProgram app(Path(L"AutoTorvane.exe"));
    ASSERT_TRUE(app.process);
    ASSERT_TRUE(WriteBytes(Path(L"app.pid"), std::to_string(app.pid) + "\r\n"));

    RunPass(url);

    EXPECT_TRUE(app.EndsWithin(5000)) << "the application was not stopped";
    EXPECT_FALSE(FileExists(Path(L"app.pid")));
    EXPECT_EQ(ReadBytes(Path(L"version.ini")), "version=1.0.0\r\n");
}

TEST_F(UpdatePass, NeverStopsAnotherProgramThatAStalePidNames) {
    ServeArchive("1.0.0");
    const std::wstring url = ServeManifest("1.0.0", {"1.0.0"});
    TempDir elsewhere;
    // Another program, and our application's name in another directory.
    RunningProgram other(Path(L"Other.exe"));
    RunningProgram sameNameElsewhere(elsewhere.File(L"AutoTorvane.exe"));
    for (RunningProgram* program : {&other, &sameNameElsewhere}) {
        ASSERT_TRUE(program->process);
        ASSERT_TRUE(WriteBytes(Path(L"app.pid"), std::to_string(program->pid)));
        RunPass(url);
        EXPECT_FALSE(program->EndsWithin(500)) << "a program that is not ours was stopped";
        EXPECT_FALSE(FileExists(Path(L"app.pid")));
        DeleteFileW(Path(L"version.ini").c_str());
    }
}

TEST_F(UpdatePass, AppPidNamingNoLiveProcessIsDeletedAndNothingStopped) {
    ServeArchive("1.0.0");
    const std::wstring url = ServeManifest("1.0.0", {"1.0.0"});
    RunningProgram bystander(Path(L"AutoTorvane.exe"));
    ASSERT_TRUE(bystander.process);
    DWORD deadPid = 0;
    {
        RunningProgram exited(Path(L"Exited.exe"));
        deadPid = exited.pid;
    }
    for (const std::string& content : {std::string("0"), std::string("letters"), std::string(""),
                                       std::to_string(deadPid)}) {
        ASSERT_TRUE(WriteBytes(Path(L"app.pid"), content));
        DeleteFileW(Path(L"version.ini").c_str());
        auto messages = RunPass(url);
        EXPECT_EQ(PostedLines(messages).back(), kDone) << content;
        EXPECT_FALSE(FileExists(Path(L"app.pid"))) << content;
        EXPECT_FALSE(bystander.EndsWithin(0)) << content;
    }
}

}  // namespace
