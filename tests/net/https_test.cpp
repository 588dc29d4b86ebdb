// Fetches over TLS from a local nginx (started by the ctest fixture) whose certificate chains
// to a test CA that these tests add to the prefix's Root store.
#include <gtest/gtest.h>

#include "base/app_directory.h"
#include "net/download.h"
#include "net/http_client.h"
#include "tests/support/pass_capture.h"
#include "tests/support/root_store.h"
#include "tests/support/temp_dir.h"
#include "update/local_files.h"

namespace {

// The fixture directory, given as a host path in HOPWELL_TEST_HTTPS, seen through drive Z:.
std::wstring FixturePath(const std::wstring& name) {
    wchar_t value[1024] = {};
    const DWORD length = GetEnvironmentVariableW(L"HOPWELL_TEST_HTTPS", value, 1024);
    if (length == 0 || length >= 1024) return std::wstring();
    std::wstring path = L"Z:" + std::wstring(value) + L"/" + name;
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

// Text files lose their line end; binary ones (the DER certificate) are kept whole, since
// their last byte may well be a newline.
std::string FixtureFile(const std::wstring& name, bool text = true) {
    std::string bytes;
    ReadFileToString(FixturePath(name), bytes);
    while (text && !bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) {
        bytes.pop_back();
    }
    return bytes;
}

class Https : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // Before this process builds its first certificate chain: Wine reads the Root store
        // once per process.
        ASSERT_TRUE(TrustRootCertificate(FixtureFile(L"certs/ca.der", false)));
    }

    std::string caDer = FixtureFile(L"certs/ca.der", false);
    std::string origin = FixtureFile(L"state/origin");  // https://localhost:PORT
    std::string port = FixtureFile(L"state/port");

    void SetUp() override {
        ASSERT_FALSE(caDer.empty()) << "HOPWELL_TEST_HTTPS must name the https-fixture directory";
        ASSERT_EQ(origin.rfind("https://localhost:", 0), 0u) << origin;
    }
    std::wstring Url(const std::string& path) const {
        return std::wstring(origin.begin(), origin.end()) + std::wstring(path.begin(), path.end());
    }
};

TEST_F(Https, FetchesTheManifest) {
    std::string body;
    ASSERT_TRUE(HttpGetToMemory(Url("/version.json"), body));
    EXPECT_EQ(body, FixtureFile(L"www/version.json") + "\n");
}

TEST_F(Https, DownloadsInFourRangesOverTls) {
    TempDir dir;
    const std::wstring destination = dir.File(L"1.2.0.zip");
    uint64_t lastDone = 0;
    ASSERT_TRUE(DownloadFile(Url("/archive.zip"), destination,
                             [&](uint64_t done, uint64_t) { lastDone = done; }));
    const std::string expected = ReadBytes(FixturePath(L"www/archive.zip"));
    ASSERT_EQ(expected.size(), 3145731u);
    EXPECT_EQ(ReadBytes(destination), expected);
    EXPECT_EQ(lastDone, expected.size());
    EXPECT_FALSE(FileExists(destination + L".part0"));
}

// The certificate names localhost only: the same server by address must be refused.
TEST_F(Https, RefusesACertificateForAnotherName) {
    std::string body = "untouched";
    EXPECT_FALSE(HttpGetToMemory(L"https://127.0.0.1:" + std::wstring(port.begin(), port.end()) +
                                     L"/version.json",
                                 body));
    EXPECT_EQ(body, "untouched");
}

// Validation is real: the same server with a certificate from a CA outside the store fails.
TEST_F(Https, RefusesACertificateFromAnUntrustedCa) {
    const std::string untrusted = FixtureFile(L"untrusted-state/origin");
    ASSERT_EQ(untrusted.rfind("https://localhost:", 0), 0u) << untrusted;
    std::string body = "untouched";
    EXPECT_FALSE(HttpGetToMemory(
        std::wstring(untrusted.begin(), untrusted.end()) + L"/version.json", body));
    EXPECT_EQ(body, "untouched");
    uint64_t length = 0;
    bool ranges = false;
    EXPECT_FALSE(HttpProbe(std::wstring(untrusted.begin(), untrusted.end()) + L"/archive.zip",
                           length, ranges));
}

// The whole pass against it: the user hears that the server could not be asked, and
// nothing is written.
TEST_F(Https, UntrustedServerEndsThePassBeforeAnythingIsWritten) {
    const std::string untrusted = FixtureFile(L"untrusted-state/origin");
    ClearDirectory(AppDirectory());
    auto messages =
        RunPass(std::wstring(untrusted.begin(), untrusted.end()) + L"/version.json");
    EXPECT_EQ(PostedLines(messages),
              (std::vector<std::wstring>{L"Đang kiểm tra cập nhật...",
                                         L"Không thể lấy thông tin phiên bản từ server."}));
    EXPECT_EQ(CountOf(messages, WM_APP_ENABLE_START), 1);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((AppDirectory() + L"\\*").c_str(), &data);
    int entries = 0;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            entries += std::wstring(data.cFileName) != L"." && std::wstring(data.cFileName) != L"..";
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    EXPECT_EQ(entries, 0);
}

}  // namespace
