#include "fakes/TestClock.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "KesuStbTesting.h"

namespace kesu_test {

namespace {

// The hook takes a plain function, so the clock's state is global.
std::atomic<long long> currentUs{0};
std::atomic<unsigned long long> readCount{0};
std::atomic<bool> installed{false};

long long readTestClock() {
    readCount.fetch_add(1);
    return currentUs.load();
}

}  // namespace

TestClock::TestClock(long long startUs) {
    if (installed.exchange(true)) {
        std::fputs("TestClock: only one may exist at a time\n", stderr);
        std::abort();
    }
    currentUs.store(startUs);
    readCount.store(0);
    kesustb::testing::setRelativeClock(&readTestClock);
}

TestClock::~TestClock() {
    kesustb::testing::setRelativeClock(nullptr);
    installed.store(false);
}

long long TestClock::now() const { return currentUs.load(); }

void TestClock::set(long long us) { currentUs.store(us); }

void TestClock::advance(long long us) { currentUs.fetch_add(us); }

unsigned long long TestClock::reads() const { return readCount.load(); }

bool TestClock::waitForReads(unsigned long long count, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (readCount.load() < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace kesu_test
