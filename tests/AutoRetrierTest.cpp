// The retry pacing: the wait owed after each failure, as logged and as kept, on a clock that stands still.
#include <gtest/gtest.h>

#include <string>

#include "fakes/LogCapture.h"
#include "fakes/TestClock.h"
#include "kesu/common/AutoRetrier.h"

namespace {

using kesu_test::LogCapture;

constexpr long long kStartUs = 10'000'000'000LL;  // far from 0, where a default NSTime lies

// Every row fails, is ready to try again not a microsecond before the wait owed, succeeds once, and fails.
struct RetrierRow {
    uint32_t failures;
    uint32_t waitMs;      // owed after the failures
    const char* shown;    // the wait in the last failure's log line, where the row checks it
    uint32_t steps = 50;  // 0: no ramp, every wait is the longest
    uint32_t minMs = 1000;
    uint32_t maxMs = 100000;
};
const RetrierRow kRetrierRows[] = {
    {.failures = 0, .waitMs = 0},
    {.failures = 1, .waitMs = 1000, .shown = "1.00"},
    {.failures = 2, .waitMs = 1101, .shown = "1.10"},
    {.failures = 21, .waitMs = 36415, .shown = "36.42"},  // 36.41 in double precision
    {.failures = 49, .waitMs = 99898, .shown = "99.90"},
    {.failures = 50, .waitMs = 100000, .shown = "100.00"},
    {.failures = 200, .waitMs = 100000, .shown = "100.00"},
    {.failures = 1, .waitMs = 1000, .steps = 0},
    {.failures = 2, .waitMs = 100000, .steps = 0},
    {.failures = 2, .waitMs = 15, .steps = 3, .minMs = 10, .maxMs = 20},
    // 5e9 microseconds do not fit 32 bits.
    {.failures = 0, .waitMs = 5'000'000, .steps = 0, .minMs = 1000, .maxMs = 5'000'000},
    // This wide a ramp shows pi's 3.1415926 and 1.570796.
    {.failures = 2, .waitMs = 2'000'000'600, .steps = 3, .minMs = 0, .maxMs = 4'000'000'000},
};

TEST(AutoRetrierTest, WaitOwedPrintedAndKeptToTheMicrosecondUntilASuccessRestartsTheRamp) {
    for (const RetrierRow& row : kRetrierRows) {
        SCOPED_TRACE(std::to_string(row.steps) + " steps, failures " + std::to_string(row.failures));
        kesu_test::TestClock clock(kStartUs);
        LogCapture logs;
        AutoRetrier retrier("ipc_connection", row.minMs, row.maxMs, row.steps);
        for (uint32_t n = 0; n < row.failures; ++n) retrier.reportFailure();
        EXPECT_EQ(retrier.currentDelayMs(), row.waitMs);
        if (row.shown != nullptr) {
            ASSERT_EQ(logs.size(), row.failures);
            EXPECT_EQ(logs.entries().back().file, "src/common/AutoRetrier.h");
            const std::string failed = "ipc_connection - failed (total " + std::to_string(row.failures) +
                " times), wait " + row.shown + " sec before next retry";
            EXPECT_EQ(logs.count(60, 2, failed), 1u) << logs.lines();
        }
        if (row.failures == 0) clock.set(0);  // the wait runs from the default NSTime
        clock.advance(row.waitMs * 1000LL - 1);
        EXPECT_FALSE(row.waitMs > 0 && retrier.readyToTry());
        clock.advance(1);
        EXPECT_TRUE(retrier.readyToTry());
        retrier.reportSuccess();
        EXPECT_EQ(logs.count(53, 4, "ipc_connection - ok"), 1u);
        retrier.reportFailure();
        EXPECT_EQ(retrier.currentDelayMs(), row.minMs) << "the ramp starts again";
    }
}

}  // namespace
