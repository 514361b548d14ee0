// A clock the test moves by hand, behind NSTime::nowRelative() while the
// object lives (one at a time).
#pragma once

#include <atomic>

#include "KesuStbTesting.h"

namespace kesu_test {

class TestClock {
public:
    explicit TestClock(long long startUs) {
        currentUs = startUs;
        kesustb::testing::setRelativeClock([]() -> long long { return currentUs.load(); });
    }
    ~TestClock() { kesustb::testing::setRelativeClock(nullptr); }

    void set(long long us) { currentUs = us; }
    void advance(long long us) { currentUs += us; }

private:
    static inline std::atomic<long long> currentUs{0};
};

}  // namespace kesu_test
