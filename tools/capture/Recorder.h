// What a scripted server or a tap carries, written to a capture file as it
// passes: an opening and a closing record per connection, every whole frame
// with its direction, and the bytes that are no whole frame as raw records.
// A failed write (a full disk, a reader that has gone) ends the capture,
// said once; the traffic goes on.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "capture/Capture.h"
#include "server/ScriptedServer.h"

namespace kesu_tools::capture {

class Recorder final : public ServerObserver {
public:
    using Ended = std::function<void(std::string const& why)>;

    // `ownFrames`: what goes towards the clients is the program's own, as a
    // scripted server's is, not forwarded from a server behind a tap; only
    // the tap's typed frames are its own. `writer` is lent for the recorder's
    // life; `ended` is told of the first write that fails (the file header's
    // included), and nothing is written after it.
    Recorder(Writer& writer, bool ownFrames, Ended ended);

    void connected(ConnectionId id) override;
    void frame(ConnectionId id, Direction direction, IPCMessageStruct const& frame) override;
    void rawBytes(ConnectionId id, Direction direction, char const* data, size_t size) override;
    void disconnected(ConnectionId id, ConnectionSummary const& summary, std::string const& why) override;

private:
    void record(ConnectionId id, Direction direction, uint8_t flags, std::vector<char> bytes);

    Writer& writer;
    const bool ownFrames;
    Ended ended;
    bool over = false;
};

}  // namespace kesu_tools::capture
