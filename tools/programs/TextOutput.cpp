#include <cstdio>

#include "frames/FrameText.h"
#include "programs/EventOutput.h"

namespace kesu_tools {

void printLine(std::string const& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
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
    void connected(ConnectionId id) override { printLine(tag(id) + " connected"); }
    void frame(ConnectionId id, Direction direction, IPCMessageStruct const& frame) override {
        printLine(arrow(id, direction) + " " + describeFrame(frame, withPayloadHex));
    }
    void outOfSync(ConnectionId id, Direction direction, std::string const& what) override {
        printLine(arrow(id, direction) + " out of sync: " + what + (tapping ? "; forwarding raw bytes from here" : ""));
    }
    void injected(ConnectionId id, std::string const& what, double atSeconds) override {
        char when[32];
        std::snprintf(when, sizeof when, " (at %.3f s)", atSeconds);
        printLine(tag(id) + " fault " + what + when);
    }
    void disconnected(ConnectionId id, ConnectionSummary const& summary, std::string const& why) override {
        std::string line = tag(id) + " disconnected" + (why.empty() ? "" : " (" + why + ")");
        if (summary.trailingBytes != 0)
            line += ", " + std::to_string(summary.trailingBytes) + " bytes of an unfinished frame";
        printLine(line);
    }

private:
    static std::string tag(ConnectionId id) { return "client " + std::to_string(id); }
    static std::string arrow(ConnectionId id, Direction direction) {
        if (direction == Direction::ToServer) return tag(id) + " → server";
        return (direction == Direction::ToClient ? "server → " : "tap → ") + tag(id);
    }

    const bool withPayloadHex;
    const bool tapping;
};

}  // namespace

std::unique_ptr<EventOutput> makeTextOutput(bool payloadHex, bool tap) {
    return std::make_unique<TextOutput>(payloadHex, tap);
}

}  // namespace kesu_tools
