#include <cstdio>

#include "frames/FrameText.h"
#include "programs/EventOutput.h"

namespace kesu_tools {

void printLine(std::string const& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

Moment Stopwatch::now() const {
    Moment moment;
    ::clock_gettime(CLOCK_REALTIME, &moment.wall);
    moment.elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return moment;
}

namespace {

class TextOutput : public EventOutput {
public:
    TextOutput(bool payloadHex, bool tap) : withPayloadHex(payloadHex), tapping(tap) {}

    void listening(std::string const& path, std::string const& upstream) override {
        printLine(upstream.empty() ? "listening on " + path : "tapping " + upstream + " on " + path);
    }
    void seed(uint64_t value) override {
        printLine("faults: seed " + std::to_string(value) + " (--seed " + std::to_string(value) +
                  " replays the same scripts)");
    }
    void connected(ConnectionId id) override { printEvent(tag(id) + " connected"); }
    void frame(ConnectionId id, Direction direction, IPCMessageStruct const& frame) override {
        printEvent(arrow(id, direction) + " " + describeFrame(frame, withPayloadHex));
    }
    void outOfSync(ConnectionId id, Direction direction, std::string const& what) override {
        const char* onward = tapping ? "; forwarding raw bytes from here" : "";
        printEvent(arrow(id, direction) + " out of sync: " + what + onward);
    }
    void injected(ConnectionId id, std::string const& what) override { printEvent(tag(id) + " fault " + what); }
    void disconnected(ConnectionId id, ConnectionSummary const& summary, std::string const& why) override {
        std::string line = tag(id) + " disconnected" + (why.empty() ? "" : " (" + why + ")");
        if (summary.trailingBytes != 0)
            line += ", " + std::to_string(summary.trailingBytes) + " bytes of an unfinished frame";
        printEvent(line);
    }

private:
    // "14:03:27.512034 +2.417305 " before the event: local time of day and
    // seconds since the start, to the microsecond.
    void printEvent(std::string const& event) const {
        const Moment moment = stopwatch.now();
        tm local{};
        ::localtime_r(&moment.wall.tv_sec, &local);
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%06ld +%.6f ", local.tm_hour, local.tm_min, local.tm_sec,
                      moment.wall.tv_nsec / 1000, moment.elapsed);
        printLine(stamp + event);
    }

    static std::string tag(ConnectionId id) { return "client " + std::to_string(id); }
    static std::string arrow(ConnectionId id, Direction direction) {
        if (direction == Direction::ToServer) return tag(id) + " → server";
        return (direction == Direction::ToClient ? "server → " : "tap → ") + tag(id);
    }

    const bool withPayloadHex;
    const bool tapping;
    Stopwatch stopwatch;
};

}  // namespace

std::unique_ptr<EventOutput> makeTextOutput(bool payloadHex, bool tap) {
    return std::make_unique<TextOutput>(payloadHex, tap);
}

}  // namespace kesu_tools
