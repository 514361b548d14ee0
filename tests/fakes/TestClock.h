// A clock the test moves by hand, behind NSTime::nowRelative() while the
// object lives; one at a time.
#pragma once

#include <atomic>
#include <chrono>

#include "KesuStbTesting.h"
#include "fakes/Eventually.h"

namespace kesu_test {

class TestClock {
public:
    explicit TestClock(long long startUs) {
        currentUs = startUs;
        readCount = 0;
        kesustb::testing::setRelativeClock([]() -> long long {
            ++readCount;
            return currentUs;
        });
    }
    ~TestClock() { kesustb::testing::setRelativeClock(nullptr); }
    TestClock(TestClock const&) = delete;
    TestClock& operator=(TestClock const&) = delete;

    void set(long long us) { currentUs = us; }
    void advance(long long us) { currentUs += us; }

    // How many times the code under test has read the clock.
    unsigned long long reads() const { return readCount; }
    bool waitForReads(unsigned long long count, std::chrono::milliseconds timeout) const {
        return eventually([count] { return readCount >= count; }, timeout);
    }

private:
    static inline std::atomic<long long> currentUs{0};
    static inline std::atomic<unsigned long long> readCount{0};
};

}  // namespace kesu_test
