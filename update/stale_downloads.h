#pragma once
#include <vector>

#include "update/update_steps.h"

// Deletes the parts and records that unfinished downloads left in AppDirectory for versions
// other than those of steps: no pass would go on from them.
void DiscardOtherDownloads(const std::vector<UpdateStep>& steps);
