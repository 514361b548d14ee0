// Records every line the library logs while it exists, through the platform
// stand-in's log sink, so tests can assert on level, source line and text.
// One at a time: it replaces whatever sink was set.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "KesuStbTesting.h"

namespace kesu_test {

class LogCapture {
public:
    using Entry = kesustb::testing::LogEntry;
    using Entries = std::vector<Entry>;
    using Millis = std::chrono::milliseconds;

    LogCapture() {
        kesustb::testing::setLogSink([this](STBLogRecord const&, Entry const& entry) {
            std::lock_guard<std::mutex> lock(entriesMutex);
            recorded.push_back(entry);
            entriesChanged.notify_all();
        });
    }
    // The stand-in calls the sink under the lock that setLogSink takes: once
    // replaced, no logging thread is inside it any more.
    ~LogCapture() { kesustb::testing::setLogSink(nullptr); }
    LogCapture(LogCapture const&) = delete;
    LogCapture& operator=(LogCapture const&) = delete;

    Entries entries() const {
        std::lock_guard<std::mutex> lock(entriesMutex);
        return recorded;
    }
    size_t size() const { return entries().size(); }
    // Lines with this source line; with level and text, lines matching all three.
    size_t count(int line) const { return countIn(entries(), line); }
    size_t count(int level, int line, std::string const& text) const { return countIn(entries(), line, level, &text); }
    bool waitFor(std::function<bool(Entries const&)> const& predicate, Millis timeout = std::chrono::seconds(5)) const {
        std::unique_lock<std::mutex> lock(entriesMutex);
        return entriesChanged.wait_for(lock, timeout, [&] { return predicate(recorded); });
    }
    bool waitForLine(int line, Millis timeout = std::chrono::seconds(5), size_t times = 1) const {
        return waitFor([&](Entries const& all) { return countIn(all, line) >= times; }, timeout);
    }
    // For failure messages: one entry per line.
    std::string dump() const {
        std::string out;
        for (Entry const& e : entries())
            out += "  [" + std::to_string(e.level) + "] " + e.file + ":" + std::to_string(e.line) + ": " +
                   e.text + "\n";
        return out;
    }

private:
    static size_t countIn(Entries const& all, int line, int level = 0, std::string const* text = nullptr) {
        return static_cast<size_t>(std::count_if(all.begin(), all.end(), [&](Entry const& e) {
            return e.line == line && (text == nullptr || (e.level == level && e.text == *text));
        }));
    }

    mutable std::mutex entriesMutex;
    mutable std::condition_variable entriesChanged;
    Entries recorded;  // guarded by entriesMutex
};

}  // namespace kesu_test
