// The server's side of a recorded connection, played again: a user of the
// scripted server that sends each client what the recorded server sent, with
// the recorded gaps, and holds what the client sends against what the
// recorded client sent at that place.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "capture/Capture.h"
#include "server/ScriptedServer.h"

namespace kesu_tools {

class Replay final : public ServerObserver {
public:
    struct Result {
        size_t same = 0;
        size_t different = 0;
        size_t missing = 0;  // recorded, never sent by the client
        size_t extra = 0;    // sent by the client beyond the recording
        bool matched() const { return different == 0 && missing == 0 && extra == 0; }
    };
    using Say = std::function<void(std::string const& line)>;
    using Finished = std::function<void(ConnectionId id, Result const& result)>;

    // Plays recorded connection `connection` (0: the first in the recording)
    // with its gaps divided by `speed` (0: no waits at all). `say` prints a
    // line per client frame and one per session; `finished` hears of each
    // session's end: the client left, or the recording was played out and
    // the client was quiet for a second.
    Replay(ScriptedServer& server, std::vector<capture::Record> const& records, ConnectionId connection, double speed,
           Say say, Finished finished);

    // False, with the reason, when the recording holds no such connection.
    bool valid(std::string& error) const;

    void connected(ConnectionId id) override;
    void frame(ConnectionId id, Direction direction, IPCMessageStruct const& frame) override;
    void outOfSync(ConnectionId id, Direction direction, std::string const& what) override;
    void idle(ConnectionId id) override;
    void disconnected(ConnectionId id, ConnectionSummary const& summary, std::string const& why) override;

private:
    struct Session {
        size_t next = 0;  // the recorded client frame the client's next one is held against
        Result result;
        Clock::time_point lastHeard = Clock::now();
        bool over = false;
    };
    void end(ConnectionId id, Session& session);
    static std::string describe(std::vector<char> const& bytes);

    ScriptedServer& server;
    ConnectionId playing = 0;
    bool found = false;                          // the recording holds `playing`
    std::vector<capture::Record> towardsClient;  // frames and raw bytes, in order
    std::vector<std::vector<char>> fromClient;   // whole frames, in order
    std::vector<Millis> gaps;                    // before each of towardsClient
    Say say;
    Finished finished;
    std::map<ConnectionId, Session> sessions;
};

}  // namespace kesu_tools
