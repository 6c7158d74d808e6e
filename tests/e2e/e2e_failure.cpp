#include "e2e_failure.h"

#include <thread>

namespace qax::e2e {

bool PollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(interval);
    }
}

void WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout, const std::string& what,
               std::chrono::milliseconds interval) {
    if (!PollUntil(condition, timeout, interval))
        throw E2eFailure("timed out after " + std::to_string(timeout.count()) + " ms waiting for " + what);
}

}  // namespace qax::e2e
