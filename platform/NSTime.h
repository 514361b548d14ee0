// Platform library (libkesustb): time value.
// Public.
#pragma once

// A point or a span of time, counted in microseconds. nowRelative() reads the
// monotonic clock, so the values only make sense relative to each other; a
// default-constructed value (0) lies no later than any of them.
class NSTime {
public:
    NSTime() = default;
    NSTime(long long microseconds) : us(microseconds) {}  // NOLINT: implicit by design

    static NSTime nowRelative();

    long long microseconds() const { return us; }

    friend NSTime operator-(NSTime const& a, NSTime const& b) { return NSTime(a.us - b.us); }
    friend bool operator>=(NSTime const& a, NSTime const& b) { return a.us >= b.us; }

private:
    long long us = 0;
};
