#include "fakes/LogCapture.h"

#include <sstream>

namespace kesu_test {

LogCapture::LogCapture() {
    kesustb::testing::setLogSink([this](STBLogRecord const& /*record*/, Entry const& entry) {
        {
            std::lock_guard<std::mutex> lock(entriesMutex);
            recorded.push_back(entry);
        }
        entriesChanged.notify_all();
    });
}

// Once the sink is replaced no logging thread is inside it any more: the
// stand-in calls the sink under the lock that setLogSink takes.
LogCapture::~LogCapture() { kesustb::testing::setLogSink(nullptr); }

std::vector<LogCapture::Entry> LogCapture::entries() const {
    std::lock_guard<std::mutex> lock(entriesMutex);
    return recorded;
}

size_t LogCapture::size() const {
    std::lock_guard<std::mutex> lock(entriesMutex);
    return recorded.size();
}

size_t LogCapture::count(int line) const {
    std::lock_guard<std::mutex> lock(entriesMutex);
    size_t n = 0;
    for (Entry const& entry : recorded)
        if (entry.line == line) ++n;
    return n;
}

size_t LogCapture::count(int level, int line, std::string const& text) const {
    std::lock_guard<std::mutex> lock(entriesMutex);
    size_t n = 0;
    for (Entry const& entry : recorded)
        if (entry.level == level && entry.line == line && entry.text == text) ++n;
    return n;
}

bool LogCapture::waitFor(std::function<bool(std::vector<Entry> const&)> const& predicate,
                         std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(entriesMutex);
    return entriesChanged.wait_for(lock, timeout, [&] { return predicate(recorded); });
}

bool LogCapture::waitForLine(int line, std::chrono::milliseconds timeout, size_t occurrences) const {
    return waitFor(
        [line, occurrences](std::vector<Entry> const& entries) {
            size_t n = 0;
            for (Entry const& entry : entries)
                if (entry.line == line) ++n;
            return n >= occurrences;
        },
        timeout);
}

std::string LogCapture::dump() const {
    std::ostringstream out;
    for (Entry const& entry : entries())
        out << "  [" << entry.level << "] " << entry.file << ":" << entry.line << ": " << entry.text << "\n";
    return out.str();
}

}  // namespace kesu_test
