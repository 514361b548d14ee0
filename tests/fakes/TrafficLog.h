// What a server or the tap tells, one line per event: "up 54/7" (direction,
// type, payload bytes), "down out of sync", "end closed by the server".
#pragma once

#include <string>
#include <vector>

#include "server/ScriptedServer.h"

namespace kesu_test {

struct TrafficLog : kesu_tools::ServerObserver {  // which the tap takes too
    using Direction = kesu_tools::Direction;
    static std::string side(Direction direction) { return direction == Direction::ToServer ? "up " : "down "; }
    void frame(kesu_tools::ConnectionId, Direction direction, IPCMessageStruct const& frame) override {
        lines.push_back(side(direction) + std::to_string(frame.type) + "/" + std::to_string(frame.data.size()));
    }
    void outOfSync(kesu_tools::ConnectionId, Direction direction, std::string const&) override {
        lines.push_back(side(direction) + "out of sync");
    }
    void disconnected(kesu_tools::ConnectionId, kesu_tools::ConnectionSummary const&, std::string const& why) override {
        lines.push_back("end " + why);
    }
    std::vector<std::string> lines;  // the loop thread's while it runs
};

}  // namespace kesu_test
