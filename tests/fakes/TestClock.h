// A clock the test moves by hand, installed behind NSTime::nowRelative() for
// the lifetime of the object and removed after. One at a time.
#pragma once

#include <chrono>

namespace kesu_test {

class TestClock {
public:
    explicit TestClock(long long startUs);
    ~TestClock();
    TestClock(TestClock const&) = delete;
    TestClock& operator=(TestClock const&) = delete;

    long long now() const;
    void set(long long us);
    void advance(long long us);

    // How many times the code under test has read the clock.
    unsigned long long reads() const;
    bool waitForReads(unsigned long long count, std::chrono::milliseconds timeout) const;
};

}  // namespace kesu_test
