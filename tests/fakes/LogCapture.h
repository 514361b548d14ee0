// Records every line the library logs while it exists, through the platform
// stand-in's log sink, so tests can assert on level, source line and text.
// One at a time: it replaces whatever sink was set.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "KesuStbTesting.h"

namespace kesu_test {

class LogCapture {
public:
    using Entry = kesustb::testing::LogEntry;

    LogCapture();
    ~LogCapture();
    LogCapture(LogCapture const&) = delete;
    LogCapture& operator=(LogCapture const&) = delete;

    std::vector<Entry> entries() const;
    size_t size() const;
    // Lines with this source line number.
    size_t count(int line) const;
    // Lines matching level, source line and text exactly.
    size_t count(int level, int line, std::string const& text) const;

    // Waits until `predicate` holds for the entries recorded so far.
    bool waitFor(std::function<bool(std::vector<Entry> const&)> const& predicate,
                 std::chrono::milliseconds timeout) const;
    bool waitForLine(int line, std::chrono::milliseconds timeout, size_t occurrences = 1) const;

    // All entries, one per line, for failure messages.
    std::string dump() const;

private:
    mutable std::mutex entriesMutex;
    mutable std::condition_variable entriesChanged;
    std::vector<Entry> recorded;  // guarded by entriesMutex
};

}  // namespace kesu_test
