// The messenger server of the developer tools and the tests' fake server: a
// user of the loop that plays, on each client connection, the steps its
// observers queue (frames in pieces, pauses, waits, closes) and tells them
// what it receives.
//
// Frames are cut from whatever each recv() returns, so a client that sends
// half a frame and stalls holds up nobody. Steps are written without
// blocking, so a client that stops reading only ever delays itself. A
// connection that ends is destroyed only after the loop's turn, so no
// callback can pull it from under the code that called the callback.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frames/FrameAssembler.h"
#include "frames/Traffic.h"
#include "loop/EventLoop.h"
#include "loop/Listener.h"
#include "server/Step.h"

namespace kesu_tools {

// Told on the loop thread. Callbacks may queue steps and send frames.
class ServerObserver : public TrafficObserver {
public:
    virtual void injected(ConnectionId /*id*/, std::string const& /*what*/) {}
    // The connection has no step left; an observer may queue more.
    virtual void idle(ConnectionId /*id*/) {}
    // After a RecreateSocket step the path could not be taken again.
    virtual void listenFailed(std::string const& /*why*/) {}

    // The client's bytes as they were read, before they are cut into frames.
    virtual void bytesForTesting(ConnectionId /*id*/, char const* /*data*/, size_t /*size*/) {}

protected:
    ~ServerObserver() = default;
};

class ScriptedServer {
public:
    ScriptedServer(EventLoop& loop, std::string socketPath);
    ~ScriptedServer();
    ScriptedServer(ScriptedServer const&) = delete;
    ScriptedServer& operator=(ScriptedServer const&) = delete;

    void addObserver(ServerObserver* observer) { observers.push_back(observer); }
    // See Listener::listen.
    bool listen(std::string& error) { return listener.listen(error); }
    // Once the loop has ended: refuses new clients and closes every
    // connection as the server would, so what each client wrote whole is
    // still reported.
    void shutDown();

    // Loop thread only (observer callbacks, tasks).
    void enqueue(ConnectionId id, Step step);
    void sendToAll(IPCMessageStruct const& frame);
    size_t connectionCount() const { return connections.size(); }
    Listener const& listenerForTesting() const { return listener; }

private:
    struct Connection;

    void accepted(ScopedFd fd);
    void scheduleAdvance(Connection& c);
    void onReady(Connection& c, short revents);
    void readClient(Connection& c);
    void absorb(Connection& c, char const* data, size_t size);
    void advance(Connection& c);
    void beginStep(Connection& c);
    bool runStep(Connection& c);
    bool writeSome(Connection& c);
    void watch(Connection& c);
    void recreateSocket(Clock::time_point back);
    void finish(Connection& c, bool reset, std::string const& why);
    template <class Event>
    void tell(Event event) {
        for (ServerObserver* observer : observers) event(*observer);
    }

    EventLoop& loop;
    std::vector<ServerObserver*> observers;
    Listener listener;
    Channel relisten;  // a deadline only: when the socket file comes back
    std::map<ConnectionId, std::unique_ptr<Connection>> connections;
    ConnectionId nextId = 1;
};

}  // namespace kesu_tools
