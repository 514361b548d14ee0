#include "NSTime.h"

#include <time.h>

#include <atomic>

#include "KesuStbTesting.h"

namespace {
std::atomic<kesustb::testing::ClockFunction> clockOverride{nullptr};
}

void kesustb::testing::setRelativeClock(ClockFunction clock) { clockOverride.store(clock); }

NSTime NSTime::nowRelative() {
    if (kesustb::testing::ClockFunction clock = clockOverride.load(std::memory_order_relaxed)) return NSTime(clock());
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    // 64-bit arithmetic: on the 32-bit target time_t and long are 32 bits.
    return NSTime(static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000);
}
