#include <nlohmann/json.hpp>

#include "frames/FrameText.h"
#include "programs/EventOutput.h"

namespace kesu_tools {

namespace {

using Json = nlohmann::ordered_json;

char const* directionName(Direction direction) {
    if (direction == Direction::ToServer) return "client-to-server";
    return direction == Direction::ToClient ? "server-to-client" : "tap-to-client";
}

class JsonMembers : public MemberSink {
public:
    Json object = Json::object();
    void number(char const* name, uint64_t value) override { object[name] = value; }
    void flag(char const* name, bool value) override { object[name] = value; }
    void text(char const* name, std::string const& bytes) override { object[name] = shown(bytes); }
    void hex(char const* name, void const* data, size_t size) override { object[name] = hexBytes(data, size); }
    void numbers(char const* name, std::vector<uint32_t> const& values) override { object[name] = values; }
    void texts(char const* name, std::vector<std::string> const& values) override {
        Json list = Json::array();
        for (std::string const& value : values) list.push_back(shown(value));
        object[name] = list;
    }
    void streams(char const* name, std::vector<IPCJSPlayerMediaInfo::Stream> const& values) override {
        Json list = Json::array();
        for (auto const& v : values)
            list.push_back({{"number1", v.number1},
                            {"number2", v.number2},
                            {"number3", v.number3},
                            {"text1", shown(v.text1)},
                            {"text2", shown(v.text2)}});
        object[name] = list;
    }

private:
    static std::string shown(std::string const& bytes) { return bytes.substr(0, kMaxShownTextBytes); }
};

class JsonOutput : public EventOutput {
public:
    void listening(std::string const& path, std::string const& upstream) override {
        printJson({{"event", "listening"}, {"socket", path}, {"upstream", upstream}});
    }
    void seed(uint64_t value) override { printJson({{"event", "faults"}, {"seed", value}}); }
    void connected(ConnectionId id) override { printJson({{"event", "connected"}, {"client", id}}); }
    void frame(ConnectionId id, Direction direction, IPCMessageStruct const& frame) override {
        JsonMembers members;
        visitMembers(*decodeFrame(frame), members);
        printJson({{"event", "frame"},
                   {"client", id},
                   {"direction", directionName(direction)},
                   {"type", static_cast<uint32_t>(frame.type)},
                   {"class", IPCMessageFactory::className(frame.type)},
                   {"length", frame.data.size()},
                   {"members", members.object},
                   {"payload", hexBytes(frame.data)}});
    }
    void outOfSync(ConnectionId id, Direction direction, std::string const& what) override {
        printJson(
            {{"event", "out-of-sync"}, {"client", id}, {"direction", directionName(direction)}, {"detail", what}});
    }
    void injected(ConnectionId id, std::string const& what) override {
        const size_t colon = what.find(": ");
        printJson({{"event", "fault"},
                   {"client", id},
                   {"fault", what.substr(0, colon)},
                   {"detail", colon == std::string::npos ? "" : what.substr(colon + 2)}});
    }
    void disconnected(ConnectionId id, ConnectionSummary const& summary, std::string const& why) override {
        printJson({{"event", "disconnected"},
                   {"client", id},
                   {"reason", why.empty() ? "client closed" : why},
                   {"trailingBytes", summary.trailingBytes}});
    }

private:
    // Every event ends with "time", the wall clock in seconds since the
    // epoch, and "elapsed", the seconds since the start. Texts are bytes:
    // those that are not UTF-8 show U+FFFD here; the "payload" field has the
    // frame's bytes exactly.
    void printJson(Json event) const {
        const Moment moment = stopwatch.now();
        event["time"] = static_cast<double>(moment.wall.tv_sec) + static_cast<double>(moment.wall.tv_nsec / 1000) / 1e6;
        event["elapsed"] = moment.elapsed;
        printLine(event.dump(-1, ' ', false, Json::error_handler_t::replace));
    }

    Stopwatch stopwatch;
};

}  // namespace

std::unique_ptr<EventOutput> makeJsonOutput() { return std::make_unique<JsonOutput>(); }

}  // namespace kesu_tools
