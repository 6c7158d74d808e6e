// How the end-to-end helpers end a test: an exception with a message that
// says what was expected, which the test framework reports as the failure.
#pragma once

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

namespace qax::e2e {

struct E2eFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Polls `condition` until it holds or `timeout` has passed; says which.
bool PollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = std::chrono::milliseconds(20));

// Polls `condition` until it holds. Fails the test with "timed out after ...
// waiting for <what>" when it does not hold within `timeout`.
void WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout, const std::string& what,
               std::chrono::milliseconds interval = std::chrono::milliseconds(20));

}  // namespace qax::e2e
