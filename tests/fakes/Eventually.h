// Waits for a condition that no one signals (a flag of the code under test,
// a socket's queue), checking it every millisecond until a deadline.
#pragma once

#include <chrono>
#include <thread>

namespace kesu_test {

template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace kesu_test
