// A hostile messenger server for soak and torture runs: it listens on a
// Unix-domain socket and, per accepted connection, plays a script drawn from
// a seed, mixing well-formed traffic with faults (see Fault). Frames go out
// through the library's header encoder and message classes; what the client
// sends back is cut into frames with the library's header decoder.
//
// Connections are served one at a time, in accept order, on one thread: the
// client under test keeps one connection at a time, and a sequential server
// makes "what was sent on connection N" a plain list.
//
// Every connection that sends anything starts with a hello frame carrying
// its connection number (see kHelloType), so that the client side can tell
// which server connection it is reading.
//
// Exact accounting of what the client wrote: every connection ends with
// shutdown(SHUT_RD) (from then on the client's writes fail), then everything
// already queued is read (or only peeked, when the end is a reset) and cut
// into frames, then the descriptor is closed. A frame the client wrote whole
// is therefore always reported, and no other.
//
// A reset: AF_UNIX has no RST (SO_LINGER 0 has no effect there). Closing a
// stream socket while bytes the client sent are still unread makes the
// kernel fail the client's next receive with ECONNRESET after the bytes
// already queued for it; that is how a reset is played.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ipc/IPCMessage.h"

namespace kesu_soak {

// Type number of the hello frame: not in the factory's table, never used by
// the random traffic. Payload: connection number (8, big-endian), flags (1).
constexpr uint32_t kHelloType = 0x50AC;
constexpr size_t kHelloBytes = 9;
// Hello flag: this connection would like large replies (it never reads, so
// large replies fill the socket and block the client's sender).
constexpr uint8_t kHelloWantsLargeReplies = 0x01;

// 64-bit FNV-1a over the type (4 bytes, big-endian) and the payload: what a
// frame is compared by, so that neither side has to keep payloads.
uint64_t frameDigest(uint32_t type, char const* payload, size_t size);

// Decodes a hello payload; false if it is not one.
bool decodeHello(std::vector<char> const& payload, uint64_t& connection, uint8_t& flags);

// What the server injects. Counted when it really went out (a fault planned
// for a connection the client had already left is not counted).
enum class Fault : int {
    AcceptThenClose,     // accepted, nothing sent, closed
    BacklogDrained,      // accepted while the socket file was being replaced, closed at once
    CloseInHeader,       // 1 to 7 header bytes, then closed
    CloseInPayload,      // a header and part of its payload, then closed
    WrongMarker,         // a header whose first byte is not the marker
    LengthZero,          // a whole frame with an empty payload
    LengthAtBoundCut,    // a header announcing the library's bound (or one less), then closed
    LengthAtBoundWhole,  // a whole frame of exactly the bound (rare: 16 MiB)
    LengthAboveBound,    // a header announcing one byte more than the bound, or more
    LengthMax,           // a header announcing 0xFFFFFFFF
    ValidFrame,          // a whole frame of a type from the factory's table, well-formed payload
    OutOfTableType,      // a whole frame of a type the factory does not know
    TruncatedPayload,    // a whole frame whose payload is cut short for its class
    OversizedPayload,    // a whole frame whose payload has bytes beyond its class's fields
    LargeFrame,          // a whole frame of 64 KiB to 1 MiB
    Trickle,             // a whole frame written in 1-byte pieces with delays
    Burst,               // many small frames back to back
    Stall,               // nothing sent for 20 to 400 ms
    LongStall,           // nothing sent for 1.5 to 4 s (the client reads on, unbothered)
    NeverRead,           // the connection is never read while it lasts
    Reset,               // closed with the client's bytes unread
    SocketRecreated,     // socket file removed, then a new listener at the same path
    Count
};
char const* faultName(Fault fault);

class FaultServer {
public:
    using ConnectionId = uint64_t;

    enum class Profile {
        Soak,    // long connections, large frames, long stalls
        Launch,  // short scripts for a tool that lives 3 s at most
    };

    struct Options {
        std::string socketPath;
        uint64_t seed = 0;
        Profile profile = Profile::Soak;
        // The server stops serving by itself after this long; 0: until stop().
        std::chrono::milliseconds lifetime{0};
    };

    // What a connection did, when it is over.
    struct ConnectionSummary {
        uint64_t framesSentWhole = 0;     // server to client
        uint64_t framesReceived = 0;      // whole frames from the client
        uint64_t trailingBytes = 0;       // bytes of a last client frame that never became whole
        bool clientOutOfSync = false;     // the client sent a header with a wrong marker
    };

    // Told on the server thread, in this order per connection:
    // connectionAccepted, then frameSending/frameSentWhole pairs and
    // frameReceived calls interleaved, then connectionClosed.
    class Observer {
    public:
        virtual void connectionAccepted(ConnectionId /*id*/) {}
        // Before the first byte of a whole frame goes out.
        virtual void frameSending(ConnectionId /*id*/, uint32_t /*type*/, uint64_t /*digest*/) {}
        // After its last byte went out. Not told for a frame cut short.
        virtual void frameSentWhole(ConnectionId /*id*/) {}
        // A whole frame from the client, in stream order.
        virtual void frameReceived(ConnectionId /*id*/, IPCMessageStruct const& /*frame*/) {}
        virtual void connectionClosed(ConnectionId /*id*/, ConnectionSummary const& /*summary*/) {}

    protected:
        ~Observer() = default;
    };

    struct Totals {
        uint64_t connections = 0;
        uint64_t framesSentWhole = 0;
        uint64_t bytesSent = 0;
        uint64_t framesReceived = 0;
        uint64_t trailingBytesReceived = 0;
        uint64_t largestFrameSent = 0;
        // Most client bytes left unread at a close: near the socket's capacity
        // (about 200 KiB) means the client's sender was blocked in a write.
        uint64_t largestUnreadAtClose = 0;
        size_t tableTypesSent = 0;  // of the numbers 5 to 65, the factory's table
        std::array<uint64_t, static_cast<size_t>(Fault::Count)> faults{};
    };

    // `observer` may be null; it must outlive the server.
    FaultServer(Options options, Observer* observer);
    ~FaultServer();
    FaultServer(FaultServer const&) = delete;
    FaultServer& operator=(FaultServer const&) = delete;

    // Listens at the path (replacing a stale socket file), then serves on a
    // thread of its own.
    void start();
    // Ends the script under way at once (read what is queued, close), serves
    // the connections still waiting the same way, removes the socket file and
    // joins the thread. Also after the lifetime has run out.
    void stop();

    // Removes the socket file and keeps it away for `absentFor`, then listens
    // again. Returns once the file is gone (false if the server is busy with a
    // connection for longer than `timeout`).
    bool removeSocketFor(std::chrono::milliseconds absentFor, std::chrono::milliseconds timeout);

    // The listener found no connection waiting this many times: polls of
    // 20 ms between connections. Lets a caller know that everything that had
    // connected before has been served.
    uint64_t idlePolls() const { return idlePollCount.load(); }
    // Waits until idlePolls() exceeds `count`.
    bool waitForIdlePollsAbove(uint64_t count, std::chrono::milliseconds timeout) const;

    Totals totals() const;
    // One line per fault kind that happened, "  name: count".
    std::string faultReport() const;

private:
    class Session;
    struct Script;

    void serve();
    void serveConnection(int fd, bool drained);
    Script makeScript(std::mt19937_64& rng) const;
    void playScript(Session& session, Script const& script, std::mt19937_64& rng);
    void listenOrDie();  // a test server that cannot listen has nothing to test
    // Refuses new connections, serves those already waiting as drained ones,
    // closes the listener and removes the socket file.
    void closeListener();
    void replaceSocketFile(std::chrono::milliseconds absentFor);
    bool quitting() const;
    void count(Fault fault);
    void noteSent(uint32_t type, size_t payloadBytes);

    Options options;
    Observer* const observer;
    std::thread server;
    int listener = -1;  // server thread only once started
    int wakeRead = -1, wakeWrite = -1;
    std::atomic<bool> quit{false};
    std::chrono::steady_clock::time_point endOfLife;
    uint64_t nextConnection = 0;  // server thread only

    std::atomic<long long> absentRequestMs{-1};  // -1: none
    mutable std::mutex stateMutex;
    mutable std::condition_variable stateChanged;
    bool socketAbsent = false;  // guarded by stateMutex
    std::atomic<uint64_t> idlePollCount{0};

    mutable std::mutex totalsMutex;
    Totals counted;                            // guarded by totalsMutex
    std::vector<bool> typeSeen;                // guarded by totalsMutex; indexed by type, up to 256
};

}  // namespace kesu_soak
