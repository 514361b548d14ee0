// A bad server on purpose: the development server's fault mode. For each
// client connection it plays a script drawn from the seed and the
// connection's number (so a seed replays the same scripts), mixing
// well-formed traffic with the faults asked for, and tells the observers
// what it injects as it happens.
//
// A share of the connections (the rate, 1 by default: all) gets a fault:
// one drawn from those asked for is sure to come, first (or, for a fault that
// ends connections, as the end), and more may follow. The others get a few
// well-formed frames and nothing more. The server never ends a connection
// on purpose without telling which fault that is.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "server/ScriptedServer.h"

namespace kesu_tools {

enum class Fault {
    AcceptThenClose,     // nothing sent, closed at once
    CloseInHeader,       // 1 to 7 header bytes, then closed
    CloseInPayload,      // a header and part of its payload, then closed
    WrongMarker,         // a header whose first byte is not the marker
    AboveBound,          // a header announcing more than the client's bound, up to 0xFFFFFFFF
    AtBound,             // a header announcing exactly the bound: rarely whole, mostly cut
    BadPayload,          // a payload its class cannot read whole, one with extra bytes, an unknown type
    LargeFrame,          // a whole frame of 64 KiB to 1 MiB
    Burst,               // many small frames back to back
    OneBytePieces,       // a frame written one byte at a time
    Stall,               // nothing sent for a while (rarely seconds)
    NeverRead,           // the client's bytes are never read
    Reset,               // closed with the client's bytes unread
    RecreateSocket,      // the socket file removed and, a moment later, made anew
    CloseBetweenFrames,  // closed after a whole frame, as a server that restarts
    HoldOpen,            // nothing more sent; closed after 15 s unless the client leaves first
    Count
};

char const* faultName(Fault fault);
// "close-in-header,reset" or "all" into the set; false with a reason.
bool parseFaults(std::string const& list, std::vector<Fault>& out, std::string& error);
// Every name, comma-separated, for help texts.
std::string faultNames();

class FaultInjector final : public ServerObserver {
public:
    // `rate`: the share of connections that get a fault, 0 to 1.
    FaultInjector(ScriptedServer& server, std::vector<Fault> const& faults, uint64_t seed, double rate = 1);

    void connected(ConnectionId id) override;
    void idle(ConnectionId id) override;
    void disconnected(ConnectionId id, ConnectionSummary const& summary, std::string const& why) override;

private:
    struct Script {
        std::mt19937_64 rng;
        int stepsLeft = 0;
        bool faulty = false;
        bool ended = false;
        Fault sureFirst = Fault::Count;   // the fault the script is sure to begin with; Count: none
        Fault sureEnding = Fault::Count;  // the fault the script is sure to end with; Count: any
    };

    bool enabled(Fault fault) const;
    void nextStep(ConnectionId id, Script& script);
    void ending(ConnectionId id, Script& script);

    ScriptedServer& server;
    std::vector<bool> chosen;
    std::vector<Fault> faults;  // those chosen, once each
    const uint64_t seed;
    const double rate;
    std::map<ConnectionId, Script> scripts;
};

}  // namespace kesu_tools
