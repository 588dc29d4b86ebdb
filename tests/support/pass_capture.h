#pragma once
// Runs whole update passes with every worker message captured by a hidden window pumped on
// the test thread.
#include <string>
#include <vector>

#include "app/worker_messages.h"

std::vector<WorkerMessage> RunPass(const std::wstring& manifestUrl);

// Posted log lines, in order.
std::vector<std::wstring> PostedLines(const std::vector<WorkerMessage>& messages);
// Lines the worker appended directly (extraction), in order.
std::vector<std::wstring> DirectLines(const std::vector<WorkerMessage>& messages);
int CountOf(const std::vector<WorkerMessage>& messages, UINT message);
