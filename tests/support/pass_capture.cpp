#include "tests/support/pass_capture.h"

#include <gtest/gtest.h>

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

std::vector<std::wstring> DirectLines(const std::vector<WorkerMessage>& messages) {
    return LinesOf(messages, EM_REPLACESEL);
}

int CountOf(const std::vector<WorkerMessage>& messages, UINT message) {
    int n = 0;
    for (const WorkerMessage& m : messages) n += m.message == message;
    return n;
}
