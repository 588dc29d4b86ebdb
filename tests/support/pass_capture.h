#pragma once
// Runs whole update passes with every worker message captured by a hidden window pumped on
// the test thread.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/worker_messages.h"
#include "tests/support/http_test_server.h"

std::vector<WorkerMessage> RunPass(const std::wstring& manifestUrl);

// WM_APP_LOG lines, in order.
std::vector<std::wstring> PostedLines(const std::vector<WorkerMessage>& messages);
// Every log line, both kinds, in the order the log shows them.
std::vector<std::wstring> LogLines(const std::vector<WorkerMessage>& messages);
int CountOf(const std::vector<WorkerMessage>& messages, UINT message);

// A manifest body: latest_version and each (version, URL) pair in download_urls.
std::string ManifestJson(const std::string& latest,
                         const std::vector<std::pair<std::string, std::wstring>>& urls);

// An in-process server, and an empty AppDirectory before and after each test.
class PassTest : public testing::Test {
protected:
    HttpTestServer server;
    void SetUp() override;
    void TearDown() override;
};
