// Polls a condition no one signals (a flag, a socket's queue) each millisecond until it holds or time is up.
#pragma once

#include <chrono>
#include <thread>

namespace kesu_test {
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    for (auto deadline = std::chrono::steady_clock::now() + timeout; !condition();
         std::this_thread::sleep_for(std::chrono::milliseconds(1)))
        if (std::chrono::steady_clock::now() >= deadline) return false;
    return true;
}
}  // namespace kesu_test
