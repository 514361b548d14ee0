// A clock the test moves by hand, behind NSTime::nowRelative() while the
// object lives (one at a time), counting how often the code reads it.
#pragma once

#include <atomic>

#include "KesuStbTesting.h"
#include "fakes/Eventually.h"

namespace kesu_test {

class TestClock {
public:
    explicit TestClock(long long startUs) {
        currentUs = startUs;
        kesustb::testing::setRelativeClock([]() -> long long {
            ++reads;
            return currentUs.load();
        });
    }
    ~TestClock() { kesustb::testing::setRelativeClock(nullptr); }

    void set(long long us) { currentUs = us; }
    void advance(long long us) { currentUs += us; }
    // Until the code under test has read the clock `more` times from now on.
    bool waitForReads(long long more) const {
        return eventually([until = reads + more] { return reads >= until; });
    }

private:
    static inline std::atomic<long long> currentUs{0}, reads{0};
};

}  // namespace kesu_test
