// What the scripted server does on one connection, one step after another:
// bytes in pieces, pauses, waits for the client, closes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kesu/ipc/IPCMessage.h"
#include "loop/EventLoop.h"

namespace kesu_tools {

struct Step {
    enum class Kind {
        Send,                       // `bytes` in `pieces`, each after the client has read the last and `pause`
        Pause,                      // nothing sent for `wait` (the client is still read)
        AwaitClientBytes,           // until bytes from the client wait unread, `wait` at most
        AwaitClientLeaving,         // until the client hangs up, `wait` at most
        SetReading,                 // `reading`: whether the client's bytes are read at all
        ShutdownReadingForTesting,  // from now on the client's writes fail; its reads still block
        Close,                      // `reset`: with the client's bytes left unread (the client sees ECONNRESET)
        RecreateSocket,             // the socket file goes away for `wait`, then a new listener takes the path
        Note,                       // `note` is told to the observers as a fault injected now
    };
    Kind kind = Kind::Pause;
    std::vector<char> bytes;
    std::vector<size_t> pieces;  // sizes of the first pieces; the rest goes as one more
    Millis pause{0};
    Millis wait{0};
    bool wholeFrame = false;  // `bytes` are exactly one frame: observers hear of it
    bool reading = true;
    bool reset = false;
    std::string note;

    static Step frame(IPCMessageStruct const& frame, std::vector<size_t> pieces = {}, Millis pause = Millis(0));
    static Step raw(std::vector<char> bytes, std::vector<size_t> pieces = {}, Millis pause = Millis(0));
    static Step idle(Kind kind, Millis wait);
    static Step setReading(bool on);
    static Step shutdownReadingForTesting();
    static Step close(bool reset);
    static Step recreateSocket(Millis absent);
    static Step fault(std::string note);
};

}  // namespace kesu_tools
