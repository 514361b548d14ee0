// The one messenger server of the developer tools: the development server,
// its fault mode, the tap, and the tests' fake server are all built on it.
//
// One thread runs a poll() loop over the listening socket and every client.
// Frames are cut from whatever each recv() returns, so a client that sends
// half a frame and stalls holds up nobody. What the server sends goes out
// through a per-connection queue of steps (bytes in pieces, pauses, waits,
// closes), written without blocking, so a client that stops reading only
// ever delays itself. Observers hear of everything on the loop thread and
// may queue more steps from their callbacks.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frames/FrameAssembler.h"
#include "loop/UnixSocket.h"
#include "kesu/ipc/IPCMessage.h"

namespace kesu_tools {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;
using ConnectionId = uint64_t;  // 1, 2, 3... in accept order

enum class Direction { ToServer, ToClient };

// A frame's bytes as they go on the wire: header, then payload.
std::vector<char> frameBytes(IPCMessageStruct const& frame);

// One thing a connection does, in the order queued.
struct Step {
    enum class Kind {
        Send,                // `bytes` in `pieces`, each after the client has read the last and `pause`
        Pause,               // nothing sent for `wait` (the client is still read)
        AwaitClientBytes,    // until bytes from the client wait unread, `wait` at most
        AwaitClientLeaving,  // until the client hangs up, `wait` at most
        SetReading,          // `reading`: whether the client's bytes are read at all
        ShutdownReading,     // from now on the client's writes fail; its reads still block
        Close,               // `reset`: with the client's bytes left unread (the client sees ECONNRESET)
        RecreateSocket,      // the socket file goes away for `wait`, then a new listener takes the path
        Note,                // `note` is told to the observers as a fault injected now
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
    static Step shutdownReading();
    static Step close(bool reset);
    static Step recreateSocket(Millis absent);
    static Step fault(std::string note);
};

// What a connection did, told when it is over.
struct ConnectionSummary {
    uint64_t framesSentWhole = 0;
    uint64_t framesReceived = 0;
    size_t trailingBytes = 0;  // of a client frame that never became whole
    size_t unreadAtClose = 0;  // client bytes left unread by a reset
    bool outOfSync = false;    // the client's stream lost its frame markers
};

// Told on the loop thread. Callbacks may queue steps and send frames.
class ServerObserver {
public:
    virtual void connected(ConnectionId /*id*/) {}
    // A whole frame from the client, or one of ours whose last byte went out.
    virtual void frame(ConnectionId /*id*/, Direction /*direction*/, IPCMessageStruct const& /*frame*/) {}
    // The client's bytes as they were read, before they are cut into frames.
    virtual void bytes(ConnectionId /*id*/, char const* /*data*/, size_t /*size*/) {}
    // Before the first byte of a whole frame of ours goes out.
    virtual void sending(ConnectionId /*id*/, IPCMessageStruct const& /*frame*/) {}
    // The stream in `direction` has lost its frame markers; what follows is raw bytes.
    virtual void outOfSync(ConnectionId /*id*/, Direction /*direction*/, std::string const& /*what*/) {}
    virtual void injected(ConnectionId /*id*/, std::string const& /*what*/) {}
    // The connection has no step left; an observer may queue more.
    virtual void idle(ConnectionId /*id*/) {}
    // The loop is ending: told before the connections still open are closed.
    virtual void stopping() {}
    // `why` is empty when the client hung up.
    virtual void disconnected(ConnectionId /*id*/, ConnectionSummary const& /*summary*/, std::string const& /*why*/) {}

protected:
    ~ServerObserver() = default;
};

class ServerCore {
public:
    struct Options {
        std::string socketPath;
        bool closeOutOfSync = true;  // drop a client whose stream lost its markers
        // Each client's connection is forwarded byte for byte to the server
        // listening here (the tap); empty: the core is the server.
        std::string upstreamPath;
    };

    explicit ServerCore(Options options);
    ~ServerCore();
    ServerCore(ServerCore const&) = delete;
    ServerCore& operator=(ServerCore const&) = delete;

    void addObserver(ServerObserver* observer) { observers.push_back(observer); }

    // Binds and listens. A socket file where a server answers, or a path that
    // is not a socket, is refused; a stale socket file is replaced. False
    // with a reason in `error`.
    bool listen(std::string& error);
    // Serves until stop(), then closes every connection as the server would
    // (what clients wrote whole is still reported) and refuses new clients.
    // The destructor removes the socket file it created.
    void run();

    // Any thread, and signal handlers.
    void stop();
    // Runs `task` on the loop thread (at once when called there) and returns
    // once it has run; false, without running it, while the loop does not run.
    bool call(std::function<void()> task);

    // Loop thread only (observer callbacks, tasks, input callbacks).
    void enqueue(ConnectionId id, Step step);
    void sendToAll(IPCMessageStruct const& frame);
    std::vector<ConnectionId> connectionIds() const;
    bool isOpen(ConnectionId id) const { return connections.count(id) != 0; }
    // Client connections completed by the kernel but not accepted yet.
    bool hasPendingClient() const;
    // Bytes written to the client that it has not read yet.
    size_t unreadByClient(ConnectionId id) const;
    // Stops accepting: the socket file stays, so clients are refused.
    void closeListener();
    // Calls `onReadable` whenever `fd` can be read (standard input).
    void watchInput(int fd, std::function<void()> onReadable);
    void unwatchInput(int fd);
    double secondsSinceStart() const;

private:
    struct Connection;
    struct Pipe;

    void acceptClients();
    void readClient(Connection& c);
    void forward(Connection& c, short revents);
    void absorb(Connection& c, Direction direction, FrameAssembler& assembler, bool& inSync, char const* data, size_t size);
    void advance(Connection& c);
    bool writeSome(Connection& c);
    void finish(Connection& c, bool reset, std::string const& why);
    void relistenIfDue();
    void runTasks();
    int pollTimeoutMs() const;
    template <class Event>
    void tell(Event event) {
        for (ServerObserver* observer : observers) event(*observer);
    }

    Options options;
    std::vector<ServerObserver*> observers;
    ScopedFd listener;
    bool ownsSocketFile = false;
    dev_t socketDevice = 0;  // the socket file we created, so that a file
    ino_t socketInode = 0;   // another server put there is left alone
    Clock::time_point relistenAt{};
    bool relistenPending = false;
    Clock::time_point started = Clock::now();

    std::map<ConnectionId, std::unique_ptr<Connection>> connections;
    ConnectionId nextId = 1;
    std::map<int, std::function<void()>> inputs;

    ScopedFd wakeRead, wakeWrite;
    std::mutex tasksMutex;
    std::deque<std::function<void()>> tasks;  // guarded by tasksMutex
    bool running = false;                     // guarded by tasksMutex
    std::thread::id loopThread;               // guarded by tasksMutex
    std::atomic<bool> stopRequested{false};
};

}  // namespace kesu_tools
