// What the tools' servers tell about the connections they carry: frames as
// they pass, streams that lose their frame markers, connections that end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kesu/ipc/IPCMessage.h"

namespace kesu_tools {

using ConnectionId = uint64_t;  // 1, 2, 3... in accept order

// InjectedToClient: a frame the tap itself sends, typed on its standard input.
enum class Direction { ToServer, ToClient, InjectedToClient };

// What a connection did, told when it is over.
struct ConnectionSummary {
    uint64_t framesReceived = 0;
    size_t trailingBytes = 0;  // of a client frame that never became whole
    bool outOfSync = false;    // the client's stream lost its frame markers
};

// Told on the loop thread.
class TrafficObserver {
public:
    virtual void connected(ConnectionId /*id*/) {}
    // A whole frame from the client, or one towards it: the scripted server
    // tells its own once their last byte went out, the tap tells them as they pass.
    virtual void frame(ConnectionId /*id*/, Direction /*direction*/, IPCMessageStruct const& /*frame*/) {}
    // The stream in `direction` has lost its frame markers; what follows is raw bytes.
    virtual void outOfSync(ConnectionId /*id*/, Direction /*direction*/, std::string const& /*what*/) {}
    // Bytes that are no whole frame, as they pass: a stream's from the header
    // that lost its markers on, an unfinished frame at the close, and what
    // the scripted server writes outside frames (its faults).
    virtual void rawBytes(ConnectionId /*id*/, Direction /*direction*/, char const* /*data*/, size_t /*size*/) {}
    // The loop has ended: told before the connections still open are closed.
    virtual void stopping() {}
    // `why` is empty when the client hung up.
    virtual void disconnected(ConnectionId /*id*/, ConnectionSummary const& /*summary*/, std::string const& /*why*/) {}

protected:
    ~TrafficObserver() = default;
};

}  // namespace kesu_tools
