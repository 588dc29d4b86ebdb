#include "tests/support/pass_capture.h"

#include "base/app_directory.h"
#include "base/text.h"
#include "tests/support/temp_dir.h"
#include "tools/worker_sink.h"
#include "update/updater_thread.h"

std::vector<WorkerMessage> RunPass(const std::wstring& manifestUrl) {
    std::vector<WorkerMessage> messages;
    HWND sink = CreateWorkerSink([&](const WorkerMessage& m) { messages.push_back(m); });
    EXPECT_NE(sink, nullptr);
    EXPECT_TRUE(RunWithMessagePump([&] { RunUpdatePass(sink, manifestUrl); }, 180000))
        << "the pass did not end";
    DestroyWorkerSink(sink);
    return messages;
}

namespace {
std::vector<std::wstring> LinesOf(const std::vector<WorkerMessage>& messages, UINT message) {
    std::vector<std::wstring> lines;
    for (const WorkerMessage& m : messages)
        if (m.message == message) lines.push_back(m.text);
    return lines;
}
}  // namespace

std::vector<std::wstring> PostedLines(const std::vector<WorkerMessage>& messages) {
    return LinesOf(messages, WM_APP_LOG);
}

std::vector<std::wstring> LogLines(const std::vector<WorkerMessage>& messages) {
    std::vector<std::wstring> lines;
    for (const WorkerMessage& m : messages)
        if (m.message == WM_APP_LOG || m.message == EM_REPLACESEL) lines.push_back(m.text);
    return lines;
}

int CountOf(const std::vector<WorkerMessage>& messages, UINT message) {
    int n = 0;
    for (const WorkerMessage& m : messages) n += m.message == message;
    return n;
}

std::string ManifestJson(const std::string& latest,
                         const std::vector<std::pair<std::string, std::wstring>>& urls) {
    std::string json = "{\"latest_version\": \"" + latest + "\", \"download_urls\": {";
    for (size_t i = 0; i < urls.size(); i++)
        json += (i ? ", \"" : "\"") + urls[i].first + "\": \"" + WideToUtf8(urls[i].second) + "\"";
    return json + "}}";
}

void PassTest::SetUp() {
    ASSERT_NE(server.Port(), 0);
    ClearDirectory(AppDirectory());
}

void PassTest::TearDown() { ClearDirectory(AppDirectory()); }
