#include "STBLogger.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "KesuStbTesting.h"

namespace {

constexpr int kDefaultLevel = 2;

// A level is one digit from 0 to 5. Anything else is said once, on the first
// log call, and the default used.
int thresholdFromEnvironment() {
    const char* value = std::getenv("KESU_LOG_LEVEL");
    if (value == nullptr || *value == '\0') return kDefaultLevel;
    if (value[0] >= '0' && value[0] <= '5' && value[1] == '\0') return value[0] - '0';
    std::fprintf(stderr, "KESU_LOG_LEVEL='%s' is not a level from 0 to 5; using %d\n", value, kDefaultLevel);
    return kDefaultLevel;
}

int threshold() {
    static const int level = thresholdFromEnvironment();
    return level;
}

std::mutex sinkMutex;
kesustb::testing::LogSink sink;          // guarded by sinkMutex
std::atomic<bool> sinkInstalled{false};  // lets the unfiltered path skip the mutex

}  // namespace

void kesustb::testing::setLogSink(LogSink newSink) {
    std::lock_guard<std::mutex> lock(sinkMutex);
    sink = std::move(newSink);
    sinkInstalled.store(static_cast<bool>(sink));
}

extern "C" void STBLogger_log(const STBLogRecord* record, const char* /*context*/, int level, int line,
                              const char* file, const char* format, ...) {
    const bool captured = sinkInstalled.load(std::memory_order_acquire);
    if (!captured && level > threshold()) return;

    char text[1024];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) text[0] = '\0';

    const char* tag = record != nullptr && record->tag != nullptr ? record->tag : "";
    if (file == nullptr) file = "";
    if (captured) {
        std::lock_guard<std::mutex> lock(sinkMutex);
        if (sink) {
            static const STBLogRecord empty{};
            sink(record != nullptr ? *record : empty, kesustb::testing::LogEntry{level, line, file, text, tag});
            return;
        }
    }
    // The sink may have gone since the check above; then the level decides.
    if (level > threshold()) return;

    // One write per line keeps lines of concurrent threads whole.
    char out[1200];
    int n = std::snprintf(out, sizeof out, "%s [%d] %s:%d: %s\n", tag, level, file, line, text);
    if (n < 0) return;
    size_t size = static_cast<size_t>(n);
    if (size >= sizeof out) {  // cut, but still one whole line
        size = sizeof out - 1;
        out[size - 1] = '\n';
    }
    ssize_t ignored = ::write(STDERR_FILENO, out, size);
    (void)ignored;
}
