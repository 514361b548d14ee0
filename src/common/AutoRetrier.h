// Paces repeated attempts of one kind. Public.
//
// After each failure the wait owed grows along a half sine wave from
// minDelayMs (first failure) to maxDelayMs (from rampSteps failures on); a
// success resets it. Used by one thread only, so it has no lock.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "kesu/private/KesuLog.h"
#include "NSTime.h"

class AutoRetrier {
public:
    AutoRetrier(std::string retrierName, uint32_t minDelay, uint32_t maxDelay, uint32_t steps)
        : name(std::move(retrierName)), minDelayMs(minDelay), maxDelayMs(maxDelay), rampSteps(steps) {}

    // The wait owed for the present number of failures, in milliseconds.
    uint32_t currentDelayMs() const;

    // True once the wait owed since the last recorded outcome has passed.
    bool readyToTry() const {
        // 64-bit product: a maxDelayMs above 71 minutes would wrap in 32 bits.
        NSTime required(static_cast<long long>(uint64_t{currentDelayMs()} * 1000u));
        return NSTime::nowRelative() - lastAttempt >= required;
    }

    void reportFailure() {
        failures += 1;
        lastAttempt = NSTime::nowRelative();
        // Single-precision division, as the box's log readers have always seen it.
        double waitSeconds = static_cast<double>(static_cast<float>(currentDelayMs()) / 1000.0f);
        KESU_LOG(2, 60, kLogFileRetrier, "%s - failed (total %d times), wait %0.2f sec before next retry", name.c_str(),
                 static_cast<int>(failures), waitSeconds);
    }

    void reportSuccess() {
        failures = 0;
        lastAttempt = NSTime::nowRelative();
        KESU_LOG(4, 53, kLogFileRetrier, "%s - ok", name.c_str());
    }

    uint32_t failureCount() const { return failures; }

private:
    std::string name;       // printed at the start of every log line
    uint32_t failures = 0;  // failed attempts since the last success
    uint32_t minDelayMs;    // wait after the first failure
    uint32_t maxDelayMs;    // longest wait
    uint32_t rampSteps;     // failure count from which the wait stays at maxDelayMs
    NSTime lastAttempt;     // when the last outcome was recorded; default lies before any now
};

inline uint32_t AutoRetrier::currentDelayMs() const {
    const uint32_t n = failures;
    if (n == 1) return minDelayMs;
    if (n == 0) return rampSteps == 0 ? maxDelayMs : 0;
    if (n < rampSteps) {
        // The constants are the ramp's definition (deployed boxes log these
        // exact waits), not approximations to be improved.
        double x = static_cast<double>(n - 1) * 3.1415926 / static_cast<double>(rampSteps - 1) - 1.570796;
        double f = (std::sin(x) + 1.0) * 0.5;
        double d = static_cast<double>(minDelayMs) + f * static_cast<double>(maxDelayMs - minDelayMs);
        return static_cast<uint32_t>(d);
    }
    return maxDelayMs;
}
