#include "kesu/common/AutoRetrier.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "fakes/LogCapture.h"
#include "fakes/TestClock.h"

namespace {

using kesu_test::LogCapture;
using kesu_test::TestClock;

constexpr long long kStartUs = 10'000'000'000LL;  // far from 0, where a default NSTime lies

// printed: the wait in the failure's log line; the client's retrier (1000,
// 100000, 50) logs waits whose rounding tells single-precision division from
// double (36.415 s prints 36.42, not 36.41).
struct Row {
    uint32_t minMs, maxMs, steps, failures, waitMs;
    const char* printed;
};
const Row kRows[] = {
    {1000, 100000, 50, 0, 0, nullptr},          {1000, 100000, 50, 1, 1000, "1.00"},
    {1000, 100000, 50, 2, 1101, "1.10"},        {1000, 100000, 50, 3, 1406, "1.41"},
    {1000, 100000, 50, 5, 2618, "2.62"},        {1000, 100000, 50, 10, 9014, "9.01"},
    {1000, 100000, 50, 21, 36415, "36.42"},     {1000, 100000, 50, 22, 39485, "39.49"},
    {1000, 100000, 50, 25, 48913, "48.91"},     {1000, 100000, 50, 31, 67595, "67.60"},
    {1000, 100000, 50, 41, 91985, "91.99"},     {1000, 100000, 50, 49, 99898, "99.90"},
    {1000, 100000, 50, 50, 100000, "100.00"},   {1000, 100000, 50, 200, 100000, "100.00"},
    {1000, 100000, 0, 0, 100000, nullptr},      {1000, 100000, 0, 1, 1000, nullptr},
    {1000, 100000, 0, 2, 100000, nullptr},      {10, 20, 3, 2, 15, nullptr},
    {1000, 5'000'000, 0, 0, 5'000'000, nullptr},  // 5e9 microseconds do not fit 32 bits
    {0, 4'000'000'000, 3, 2, 2'000'000'600, nullptr},  // this wide a ramp shows pi's 3.1415926 and 1.570796
};

TEST(AutoRetrierTest, WaitOwedPrintedAndKeptToTheMicrosecond) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(std::to_string(row.steps) + " steps, failures " + std::to_string(row.failures));
        TestClock clock(kStartUs);
        LogCapture logs;
        AutoRetrier retrier("ipc_connection", row.minMs, row.maxMs, row.steps);
        for (uint32_t n = 0; n < row.failures; ++n) retrier.reportFailure();
        EXPECT_EQ(retrier.currentDelayMs(), row.waitMs);
        if (row.printed != nullptr) {
            ASSERT_EQ(logs.size(), row.failures);
            const LogCapture::Entry last = logs.entries().back();
            EXPECT_EQ(last.level, 2);
            EXPECT_EQ(last.line, 60);
            EXPECT_EQ(last.file, "src/common/AutoRetrier.h");
            EXPECT_EQ(last.text, "ipc_connection - failed (total " + std::to_string(row.failures) + " times), wait " +
                                     row.printed + " sec before next retry");
        }
        if (row.failures == 0) clock.set(0);  // the wait runs from the default NSTime
        if (row.waitMs == 0) {
            EXPECT_TRUE(retrier.readyToTry());
            continue;
        }
        clock.advance(row.waitMs * 1000LL - 1);
        EXPECT_FALSE(retrier.readyToTry());
        clock.advance(1);
        EXPECT_TRUE(retrier.readyToTry());
    }
}

TEST(AutoRetrierTest, SuccessLogsOkOwesNoWaitAndRestartsTheRamp) {
    TestClock clock(kStartUs);
    LogCapture logs;
    AutoRetrier retrier("ipc_connection", 1000, 100000, 50);
    for (int n = 0; n < 7; ++n) retrier.reportFailure();
    retrier.reportSuccess();
    EXPECT_EQ(retrier.currentDelayMs(), 0u);
    EXPECT_TRUE(retrier.readyToTry()) << "with the clock standing still";
    const LogCapture::Entry ok = logs.entries().back();
    EXPECT_EQ(ok.level, 4);
    EXPECT_EQ(ok.line, 53);
    EXPECT_EQ(ok.file, "src/common/AutoRetrier.h");
    EXPECT_EQ(ok.text, "ipc_connection - ok");
    retrier.reportFailure();
    EXPECT_EQ(logs.entries().back().text, "ipc_connection - failed (total 1 times), wait 1.00 sec before next retry");
    EXPECT_FALSE(retrier.readyToTry());
}

}  // namespace
