#pragma once

// Runs action and returns its result. An exception (memory ran out: a huge manifest or
// archive) counts as failure, so the pass ends with that step's line, never with the process.
template <typename Action>
bool Attempt(Action&& action) {
    try {
        return action();
    } catch (...) {
        return false;
    }
}
