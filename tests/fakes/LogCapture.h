// Records every line the library logs while it exists (one at a time: it
// replaces the stand-in's log sink), for asserts on level, source line and text.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "KesuStbTesting.h"
#include "fakes/Eventually.h"

namespace kesu_test {

class LogCapture {
public:
    using Entry = kesustb::testing::LogEntry;

    LogCapture() {
        kesustb::testing::setLogSink([this](STBLogRecord const&, Entry const& entry) {
            std::lock_guard<std::mutex> lock(entriesMutex);
            recorded.push_back(entry);
        });
    }
    // The stand-in calls the sink under the lock that setLogSink takes: once
    // replaced, no logging thread is inside it any more.
    ~LogCapture() { kesustb::testing::setLogSink(nullptr); }

    std::vector<Entry> entries() const {
        std::lock_guard<std::mutex> lock(entriesMutex);
        return recorded;
    }
    size_t size() const { return entries().size(); }
    // Lines from this source line; given a level and a text, lines matching all three.
    size_t count(int line, int level = 0, std::string const& text = {}) const {
        size_t n = 0;
        for (Entry const& e : entries()) n += e.line == line && (text.empty() || (e.level == level && e.text == text));
        return n;
    }
    bool waitForLine(int line, size_t times = 1) const {
        return eventually([&] { return count(line) >= times; });
    }
    // Every line as "level:line text", joined by "|": a whole log in one comparison.
    std::string lines() const {
        std::string out;
        for (Entry const& e : entries())
            out += (out.empty() ? "" : "|") + std::to_string(e.level) + ":" + std::to_string(e.line) + " " + e.text;
        return out;
    }

private:
    mutable std::mutex entriesMutex;
    std::vector<Entry> recorded;  // guarded by entriesMutex
};

}  // namespace kesu_test
