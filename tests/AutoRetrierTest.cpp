#include "common/AutoRetrier.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

#include "fakes/LogCapture.h"
#include "fakes/TestClock.h"

namespace {

using kesu_test::LogCapture;
using kesu_test::TestClock;

constexpr long long kStartUs = 10'000'000'000LL;  // far from 0, where a default NSTime lies
constexpr long long kUsPerMs = 1000;

AutoRetrier clientRetrier() { return AutoRetrier("ipc_connection", 1000, 100000, 50); }

TEST(AutoRetrierTest, NoFailureOwesNoWait) {
    AutoRetrier retrier = clientRetrier();
    EXPECT_EQ(retrier.currentDelayMs(), 0u);
    EXPECT_EQ(retrier.failureCount(), 0u);
}

// The waits deployed boxes have always logged; the ramp's constants and its
// unsigned arithmetic are pinned by them.
TEST(AutoRetrierTest, WaitsFollowTheSineRampUpToTheMaximum) {
    TestClock clock(kStartUs);
    LogCapture logs;
    AutoRetrier retrier = clientRetrier();
    const std::map<uint32_t, uint32_t> expectedMs = {
        {1, 1000}, {2, 1101}, {3, 1406}, {5, 2618}, {10, 9014}, {25, 48913}, {49, 99898}, {50, 100000},
        {51, 100000}, {60, 100000}, {200, 100000}, {21, 36415}, {22, 39485}, {31, 67595}, {41, 91985},
    };
    for (uint32_t n = 1; n <= 200; ++n) {
        retrier.reportFailure();
        ASSERT_EQ(retrier.failureCount(), n);
        auto expected = expectedMs.find(n);
        if (expected != expectedMs.end()) {
            EXPECT_EQ(retrier.currentDelayMs(), expected->second) << "failures " << n;
        }
    }
    // Never below the minimum, never above the maximum, never shrinking.
    AutoRetrier again = clientRetrier();
    uint32_t previous = 0;
    for (int n = 1; n <= 60; ++n) {
        again.reportFailure();
        uint32_t delay = again.currentDelayMs();
        EXPECT_GE(delay, previous) << "failures " << n;
        EXPECT_GE(delay, 1000u);
        EXPECT_LE(delay, 100000u);
        previous = delay;
    }
}

TEST(AutoRetrierTest, EachFailureLogsItsCountAndTheComingWait) {
    TestClock clock(kStartUs);
    LogCapture logs;
    AutoRetrier retrier = clientRetrier();
    const std::map<int, std::string> printed = {
        {1, "1.00"}, {2, "1.10"}, {3, "1.41"}, {5, "2.62"}, {10, "9.01"}, {25, "48.91"}, {49, "99.90"},
        {50, "100.00"}, {51, "100.00"}, {60, "100.00"},
        // Waits whose rounding tells single-precision division (as logged) from double.
        {21, "36.42"}, {22, "39.49"}, {31, "67.60"}, {41, "91.99"},
    };
    for (int n = 1; n <= 60; ++n) retrier.reportFailure();

    auto entries = logs.entries();
    ASSERT_EQ(entries.size(), 60u) << logs.dump();
    for (int n = 1; n <= 60; ++n) {
        auto const& entry = entries[static_cast<size_t>(n - 1)];
        EXPECT_EQ(entry.level, 2);
        EXPECT_EQ(entry.line, 60);
        EXPECT_EQ(entry.file, "src/common/AutoRetrier.h");
        EXPECT_EQ(entry.tag, "KESU");
        auto wait = printed.find(n);
        if (wait != printed.end()) {
            EXPECT_EQ(entry.text, "ipc_connection - failed (total " + std::to_string(n) + " times), wait " +
                                      wait->second + " sec before next retry");
        }
    }
}

TEST(AutoRetrierTest, SuccessLogsOkAndResetsTheCount) {
    TestClock clock(kStartUs);
    LogCapture logs;
    AutoRetrier retrier = clientRetrier();
    for (int n = 0; n < 7; ++n) retrier.reportFailure();
    ASSERT_FALSE(retrier.readyToTry());

    retrier.reportSuccess();
    EXPECT_EQ(retrier.failureCount(), 0u);
    EXPECT_EQ(retrier.currentDelayMs(), 0u);
    EXPECT_TRUE(retrier.readyToTry()) << "a success owes no wait, not even with time standing still";
    ASSERT_EQ(logs.size(), 8u);
    auto ok = logs.entries().back();
    EXPECT_EQ(ok.level, 4);
    EXPECT_EQ(ok.line, 53);
    EXPECT_EQ(ok.file, "src/common/AutoRetrier.h");
    EXPECT_EQ(ok.text, "ipc_connection - ok");

    // The ramp starts over.
    retrier.reportFailure();
    EXPECT_EQ(retrier.currentDelayMs(), 1000u);
    EXPECT_EQ(logs.entries().back().text, "ipc_connection - failed (total 1 times), wait 1.00 sec before next retry");
}

TEST(AutoRetrierTest, TheNameLeadsEveryLine) {
    TestClock clock(kStartUs);
    LogCapture logs;
    AutoRetrier retrier("dvb_tuner", 250, 2000, 5);
    retrier.reportFailure();
    retrier.reportSuccess();
    auto entries = logs.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].text, "dvb_tuner - failed (total 1 times), wait 0.25 sec before next retry");
    EXPECT_EQ(entries[1].text, "dvb_tuner - ok");
}

TEST(AutoRetrierTest, FirstAttemptIsNeverDelayed) {
    TestClock clock(0);  // even at the clock's very origin
    AutoRetrier retrier = clientRetrier();
    EXPECT_TRUE(retrier.readyToTry());
}

TEST(AutoRetrierTest, ReadyOnlyOnceTheOwedWaitHasPassed) {
    TestClock clock(kStartUs);
    LogCapture logs;
    AutoRetrier retrier = clientRetrier();

    retrier.reportFailure();  // owes 1000 ms from now
    EXPECT_FALSE(retrier.readyToTry());
    clock.advance(999 * kUsPerMs + 999);
    EXPECT_FALSE(retrier.readyToTry());
    clock.advance(1);
    EXPECT_TRUE(retrier.readyToTry());

    retrier.reportFailure();  // owes 1101 ms from the new now
    EXPECT_FALSE(retrier.readyToTry());
    clock.advance(1101 * kUsPerMs - 1);
    EXPECT_FALSE(retrier.readyToTry());
    clock.advance(1);
    EXPECT_TRUE(retrier.readyToTry());

    for (int n = 3; n <= 50; ++n) retrier.reportFailure();
    clock.advance(100000 * kUsPerMs - 1);
    EXPECT_FALSE(retrier.readyToTry());
    clock.advance(1);
    EXPECT_TRUE(retrier.readyToTry());
}

TEST(AutoRetrierTest, ZeroRampStepsOwesTheMaximumBeforeAnyFailure) {
    TestClock clock(0);
    AutoRetrier retrier("x", 1000, 100000, 0);
    EXPECT_EQ(retrier.currentDelayMs(), 100000u);
    EXPECT_FALSE(retrier.readyToTry());
    clock.set(100000 * kUsPerMs - 1);
    EXPECT_FALSE(retrier.readyToTry());
    clock.set(100000 * kUsPerMs);
    EXPECT_TRUE(retrier.readyToTry());

    LogCapture logs;
    retrier.reportFailure();
    EXPECT_EQ(retrier.currentDelayMs(), 1000u);  // the first failure still owes the minimum
    retrier.reportFailure();
    EXPECT_EQ(retrier.currentDelayMs(), 100000u);
}

TEST(AutoRetrierTest, RampBetweenOtherBounds) {
    TestClock clock(kStartUs);
    LogCapture logs;
    AutoRetrier retrier("x", 10, 20, 3);
    retrier.reportFailure();
    EXPECT_EQ(retrier.currentDelayMs(), 10u);
    retrier.reportFailure();
    EXPECT_EQ(retrier.currentDelayMs(), 15u);  // half way up the sine, truncated
    retrier.reportFailure();
    EXPECT_EQ(retrier.currentDelayMs(), 20u);
}

// Waits above about 71 minutes do not fit 32-bit microseconds; the readiness
// test must not wrap them into a much shorter wait.
TEST(AutoRetrierTest, LongWaitsDoNotWrapInMicroseconds) {
    TestClock clock(0);
    AutoRetrier retrier("x", 1000, 5'000'000, 0);  // owes 5,000,000 ms before any failure
    const long long wrappedUs = (5'000'000LL * kUsPerMs) % (1LL << 32);
    clock.set(wrappedUs);
    EXPECT_FALSE(retrier.readyToTry());
    clock.set(5'000'000LL * kUsPerMs - 1);
    EXPECT_FALSE(retrier.readyToTry());
    clock.set(5'000'000LL * kUsPerMs);
    EXPECT_TRUE(retrier.readyToTry());
}

}  // namespace
