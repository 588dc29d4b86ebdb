// Whole update passes against the test server, every worker message captured.
#include <gtest/gtest.h>

#include "base/app_directory.h"
#include "base/scoped_handle.h"
#include "base/text.h"
#include "tests/support/support.h"
#include "tools/worker_sink.h"
#include "update/updater_thread.h"

namespace {

using Lines = std::vector<std::wstring>;
const std::wstring kCheck = L"Đang kiểm tra cập nhật...", kDone = L"Cập nhật hoàn tất.";

std::string TestName() { return testing::UnitTest::GetInstance()->current_test_info()->name(); }

// Serves a manifest naming an archive per version, copied from the build's test archives
// (none: the server answers 404); returns its URL.
std::wstring Serve(const std::string& latest, const std::vector<std::pair<std::string, std::string>>& archives) {
    std::string json = "{\"latest_version\": \"" + latest + "\", \"download_urls\": {";
    for (const auto& [version, archive] : archives) {
        const std::string name = TestName() + "-" + version + ".zip";
        json += "\"" + version + "\": \"" + WideToUtf8(ServerUrl("/" + name)) + "\",";
        DeleteFileW(ServerFile(name).c_str());
        if (!archive.empty())
            CopyFileW(HostPath(HOPWELL_TEST_ARCHIVES "/" + archive).c_str(), ServerFile(name).c_str(), FALSE);
    }
    json.back() = '}';
    EXPECT_TRUE(WriteBytes(ServerFile(TestName() + ".json"), json + "}"));
    return ServerUrl("/" + TestName() + ".json");
}

size_t Requests(const std::string& version) { return ServerRequests("/" + TestName() + "-" + version + ".zip").size(); }

std::vector<WorkerMessage> Pass(const std::wstring& url) {
    return Captured([&](HWND window) { RunUpdatePass(window, url); });
}

// The posted messages but the status line, as the tools print them.
Lines Posted(const std::vector<WorkerMessage>& messages) {
    Lines lines;
    for (const WorkerMessage& m : messages)
        if (m.message != EM_REPLACESEL && m.message != WM_APP_STATUS) lines.push_back(SinkLineText(m));
    return lines;
}

// A pass with steps ends with the bar full, its closing line and Start enabled, once.
void ExpectClosing(const std::vector<WorkerMessage>& messages) {
    const Lines posted = Posted(messages);
    ASSERT_GE(posted.size(), 3u);
    EXPECT_EQ(Lines(posted.end() - 3, posted.end()), (Lines{L"progress 100", kDone, L"enable-start"}));
    EXPECT_EQ(std::count(posted.begin(), posted.end(), L"enable-start"), 1);
}

class UpdatePass : public testing::Test {
protected:
    void SetUp() override { ClearDirectory(AppDirectory()); }
    void TearDown() override { ClearDirectory(AppDirectory()); }
};

TEST_F(UpdatePass, InstallsOldestFirstAndRemovesTheArchives) {
    ASSERT_TRUE(WriteBytes(AppPath(L"version.ini"), "version=1.0.0\r\n"));
    const auto messages = Pass(Serve("1.10.0", {{"1.10.0", "good.zip"}, {"1.9.0", "infozip-dirs.zip"}, {"1.0.0", ""}}));
    EXPECT_EQ(TextsOf(messages, WM_APP_LOG),
              (Lines{kCheck, L"Đang tải bản 1.9.0...", L"Đang giải nén 1.9.0...", L"Hoàn tất cập nhật 1.9.0.",
                     L"Đang tải bản 1.10.0...", L"Đang giải nén 1.10.0...", L"Hoàn tất cập nhật 1.10.0.", kDone}));
    const Lines unpacked = {L"Miniz giải nén thành công!", L"Sử dụng miniz để giải nén (nhanh)"};
    EXPECT_EQ(TextsOf(messages, EM_REPLACESEL), (Lines{unpacked[0], unpacked[1], unpacked[0], unpacked[1]}));
    ExpectClosing(messages);
    EXPECT_EQ(ReadBytes(AppPath(L"version.ini")), "version=1.10.0\r\n");
    EXPECT_TRUE(FileExists(AppPath(L"a.txt")) && FileExists(AppPath(L"first.txt")));
    EXPECT_FALSE(FileExists(AppPath(L"1.9.0.zip")) || FileExists(AppPath(L"1.10.0.zip")));
    EXPECT_EQ(Requests("1.0.0"), 0u);
}

TEST_F(UpdatePass, AFailedUnpackEndsThePassAndKeepsTheVersion) {
    const auto messages = Pass(Serve("2.0.0", {{"1.0.0", "text.zip"}, {"2.0.0", "good.zip"}}));
    EXPECT_EQ(TextsOf(messages, WM_APP_LOG),
              (Lines{kCheck, L"Đang tải bản 1.0.0...", L"Đang giải nén 1.0.0...", L"Giải nén thất bại: 1.0.0", kDone}));
    EXPECT_EQ(TextsOf(messages, EM_REPLACESEL),
              (Lines{L"Không thể khởi tạo miniz reader", L"Miniz thất bại, chuyển sang Shell extraction",
                     L"Sử dụng Shell extraction (chậm)"}));
    ExpectClosing(messages);
    EXPECT_FALSE(FileExists(AppPath(L"version.ini")));
    EXPECT_TRUE(FileExists(AppPath(L"1.0.0.zip")));  // for the next attempt to overwrite
    EXPECT_EQ(Requests("2.0.0"), 0u);
}

TEST_F(UpdatePass, AnInvalidManifestTouchesNothing) {
    ASSERT_TRUE(WriteBytes(AppPath(L"version.ini"), "version=1.0.0\r\n"));
    ASSERT_TRUE(WriteBytes(AppPath(L"app.pid"), "4242"));
    const auto messages = Pass(ServerUrl("/missing.json"));  // a 404 page
    EXPECT_EQ(Posted(messages), (Lines{kCheck, L"Dữ liệu phiên bản không hợp lệ.", L"enable-start"}));
    EXPECT_EQ(ReadBytes(AppPath(L"version.ini")), "version=1.0.0\r\n");
    EXPECT_EQ(ReadBytes(AppPath(L"app.pid")), "4242");
}

// The stand-in application, run from a copy at `exe` until the end of the scope.
struct Program {
    ScopedHandle process;
    DWORD pid = 0;
    explicit Program(const std::wstring& exe) {
        CopyFileW(HostPath(HOPWELL_FAKE_APP).c_str(), exe.c_str(), FALSE);
        SetEnvironmentVariableW(L"HOPWELL_FAKE_MODE", L"nopid");
        std::wstring commandLine = L"\"" + exe + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            CloseHandle(info.hThread);
            process.reset(info.hProcess);
            pid = info.dwProcessId;
        }
        SetEnvironmentVariableW(L"HOPWELL_FAKE_MODE", nullptr);
    }
    ~Program() { TerminateProcess(process.get(), 1); }
    bool Ended(DWORD ms) const { return WaitForSingleObject(process.get(), ms) == WAIT_OBJECT_0; }
};

TEST_F(UpdatePass, StopsOnlyOurApplicationThatAppPidNames) {
    const std::wstring url = Serve("1.0.0", {{"1.0.0", "good.zip"}});
    TempDir elsewhere;
    Program ours(AppPath(L"AutoTorvane.exe")), other(AppPath(L"Other.exe")),
        sameNameElsewhere(elsewhere.File(L"AutoTorvane.exe"));
    DWORD deadPid = 0;
    {
        Program exited(AppPath(L"Exited.exe"));
        deadPid = exited.pid;
    }
    ASSERT_TRUE(ours.pid && other.pid && sameNameElsewhere.pid);
    for (const std::string& content : {std::to_string(other.pid), std::to_string(sameNameElsewhere.pid), std::string("0"),
                                       std::string("letters"), std::string(), std::to_string(deadPid)}) {
        ASSERT_TRUE(WriteBytes(AppPath(L"app.pid"), content));
        DeleteFileW(AppPath(L"version.ini").c_str());
        EXPECT_EQ(TextsOf(Pass(url), WM_APP_LOG).back(), kDone);
        EXPECT_FALSE(FileExists(AppPath(L"app.pid"))) << content;
        EXPECT_FALSE(ours.Ended(0) || other.Ended(0) || sameNameElsewhere.Ended(0)) << content;
    }
    ASSERT_TRUE(WriteBytes(AppPath(L"app.pid"), std::to_string(ours.pid) + "\r\n"));
    DeleteFileW(AppPath(L"version.ini").c_str());
    Pass(url);
    EXPECT_TRUE(ours.Ended(5000));
}

}  // namespace
