// Test hooks of the host stand-in for the platform library. Internal: only
// tests include this; the box's own library has no such functions.
#pragma once

#include <atomic>
#include <functional>
#include <string>

struct STBLogRecord;

namespace kesustb {
namespace testing {

// Replaces the monotonic clock behind NSTime::nowRelative(); nullptr restores
// it. The function returns microseconds.
using ClockFunction = long long (*)();
void setRelativeClock(ClockFunction clock);

// One logger call as the stand-in received it, the format already applied.
struct LogEntry {
    int level;
    int line;
    std::string file;
    std::string text;
    std::string tag;
};

// While a sink is set, every call reaches it whatever the level, and nothing
// is written to standard error. The sink runs on the logging thread.
using LogSink = std::function<void(const STBLogRecord& record, const LogEntry& entry)>;
void setLogSink(LogSink sink);

}  // namespace testing
}  // namespace kesustb
