// The tests' messenger server: the tools' server core on a thread of its
// own, at a socket path in a fresh temporary directory, recording what
// every connection did so that tests can wait for it. Tests steer it with
// the core's steps (send bytes in pieces, stop reading, close, reset...).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ServerCore.h"

namespace kesu_test {

using Millis = std::chrono::milliseconds;
using kesu_tools::ConnectionId;
using kesu_tools::frameBytes;
using kesu_tools::Step;

// Bounds a failing test's waits; a passing one never waits it out.
constexpr Millis kEventTimeout{5000};

class FakeServer : private kesu_tools::ServerObserver {
public:
    struct Connection {
        std::vector<char> bytes;               // everything the client sent, as read
        std::vector<IPCMessageStruct> frames;  // whole frames from the client, in order
        bool closed = false;
        kesu_tools::ConnectionSummary summary;  // once closed
    };

    // `closeOutOfSync`: drop a client whose stream loses its frame markers
    // (as the development server does), or go on reading its bytes.
    explicit FakeServer(bool closeOutOfSync = true);
    ~FakeServer();

    std::string const& path() const { return socketPath; }

    // Runs on the server thread when a client connects, before anything
    // else happens on the connection (queue steps here).
    void onConnect(std::function<void(ConnectionId)> action);
    // Queues a step on a connection, also from an onConnect action; `run`
    // runs anything on the server thread (not from there).
    void enqueue(ConnectionId id, Step step);
    void run(std::function<void(kesu_tools::ServerCore&)> task);

    size_t connectionCount() const;
    Connection connection(ConnectionId id) const;
    // Waits until `predicate` holds for the connections so far (1, 2... in accept order).
    bool waitFor(std::function<bool(std::map<ConnectionId, Connection> const&)> const& predicate,
                 Millis timeout = kEventTimeout) const;
    bool waitForConnections(size_t count, Millis timeout = kEventTimeout) const;
    bool waitForFrames(ConnectionId id, size_t count, Millis timeout = kEventTimeout) const;
    bool waitForClosed(ConnectionId id, Millis timeout = kEventTimeout) const;
    // A client connection completed by the kernel waits to be accepted.
    bool hasPendingClient();

private:
    void connected(ConnectionId id) override;
    void bytes(ConnectionId id, char const* data, size_t size) override;
    void frame(ConnectionId id, kesu_tools::Direction direction, IPCMessageStruct const& frame) override;
    void disconnected(ConnectionId id, kesu_tools::ConnectionSummary const& summary, std::string const& why) override;

    std::string directory;
    std::string socketPath;
    std::unique_ptr<kesu_tools::ServerCore> core;
    std::thread loop;
    std::function<void(ConnectionId)> connectAction;  // server thread once started

    mutable std::mutex recordMutex;
    mutable std::condition_variable recordChanged;
    std::map<ConnectionId, Connection> record;  // guarded by recordMutex
};

}  // namespace kesu_test
