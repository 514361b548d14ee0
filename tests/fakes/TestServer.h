// A small real messenger server for tests: a listening Unix-domain socket at
// a path of its own (under a fresh temporary directory), driven step by step
// from the test, or served by a background thread for tests whose own thread
// is busy (a launch blocks it).
//
// Frames are read and written through the library's wire helpers, never
// through its receive loop, so the server itself logs nothing: every log line
// a test sees comes from the code under test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipc/IPCMessage.h"

namespace kesu_test {

using Millis = std::chrono::milliseconds;

// How long a test waits for something that must happen. Generous: it only
// bounds a failing test, a passing one never waits it out.
constexpr Millis kEventTimeout{5000};

// Owns one descriptor; -1 means none.
class ScopedFd {
public:
    ScopedFd() = default;
    explicit ScopedFd(int fd) : value(fd) {}
    ~ScopedFd() { reset(); }
    ScopedFd(ScopedFd&& other) noexcept : value(other.release()) {}
    ScopedFd& operator=(ScopedFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ScopedFd(ScopedFd const&) = delete;
    ScopedFd& operator=(ScopedFd const&) = delete;

    int get() const { return value; }
    bool valid() const { return value >= 0; }
    int release() {
        int fd = value;
        value = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int value = -1;
};

// A frame's bytes as they go on the wire: header, then payload.
std::vector<char> frameBytes(uint32_t type, std::vector<char> const& payload);

// A byte stream cut into frames with the library's header decoder.
struct ParsedStream {
    std::vector<IPCMessageStruct> frames;  // whole frames, in order
    size_t trailingBytes = 0;              // bytes of a last frame that is not whole
    bool outOfSync = false;                // a header with a wrong marker stopped the parse
};
ParsedStream parseFrames(std::vector<char> const& bytes);

enum class ReadOutcome {
    Frame,      // a whole frame was read
    Closed,     // the peer ended the stream (possibly within a frame)
    OutOfSync,  // a header with a wrong marker
    Failed,     // a read error, or the time ran out
};

// One accepted connection, server side.
class TestConnection {
public:
    explicit TestConnection(ScopedFd connected) : socket(std::move(connected)) {}

    int fd() const { return socket.get(); }

    ReadOutcome readFrame(IPCMessageStruct& frame, Millis timeout);
    // Reads until the peer ends the stream, appending to `bytes`; false if it
    // has not ended it within `timeout`.
    bool readUntilClosed(std::vector<char>& bytes, Millis timeout);

    bool writeRaw(std::vector<char> const& bytes);
    bool writeFrame(uint32_t type, std::vector<char> const& payload);
    // Writes `bytes` in pieces of the given sizes (whatever is left forms a
    // last piece), each piece only once the client has read all before it,
    // so the client's reads really return the pieces one by one.
    bool writeInPieces(std::vector<char> const& bytes, std::vector<size_t> const& pieceSizes, Millis timeout);

    // Bytes written here that the client has not read yet.
    size_t bytesUnreadByPeer() const;
    bool waitUntilPeerHasRead(Millis timeout) const;
    // Bytes the client wrote that this side has not read yet.
    size_t bytesWaiting() const;
    bool waitForBytesWaiting(size_t atLeast, Millis timeout) const;

    // After this the client's writes fail, while its reads still block.
    void shutdownReading();
    void close() { socket.reset(); }

private:
    ScopedFd socket;
};

class TestServer {
public:
    enum class Start { Listening, Deferred };
    // What the background thread does with each connection it accepts.
    enum class Behaviour {
        ReadUntilClosed,  // read everything until the client ends the stream
        CloseAtOnce,      // refuse further input at once, keep what had arrived, close
        NeverRead,        // hold the connection without reading until serving stops
    };
    struct ConnectionRecord {
        std::vector<char> bytes;  // everything received, in order
        bool endedByPeer = false;
    };

    // A fresh temporary directory with the socket path inside it.
    explicit TestServer(Start start = Start::Listening);
    // At a path of the caller's choice, listening; the path is removed at the end.
    explicit TestServer(std::string socketPath);
    ~TestServer();
    TestServer(TestServer const&) = delete;
    TestServer& operator=(TestServer const&) = delete;

    std::string const& path() const { return socketPath; }

    // Binds the path (replacing a stale socket file) and listens. The kernel
    // completes up to backlog + 1 connections that nobody has accepted yet.
    void listen(int backlog = 64);
    // A client socket connected to this server, as a stand-in for other clients.
    ScopedFd connectAsAnotherClient() const;
    // Closes the listening socket; the socket file stays, so connecting is refused.
    void stopListening();
    void removePath();

    // Null when no client connected within `timeout`.
    std::unique_ptr<TestConnection> accept(Millis timeout);
    // A client has connected (the kernel completed it) and waits to be accepted.
    bool hasPendingConnection() const;

    // Step-by-step use and background serving do not mix.
    void serveInBackground(Behaviour behaviour);
    // Ends background serving: connections still in the backlog are handled
    // like the others, and every open one is read until the client ends it
    // (which a stopped client has done), then closed. Returns one record per
    // connection, in accept order.
    std::vector<ConnectionRecord> stopServing();
    size_t connectionsServed() const;
    bool waitForConnectionsServed(size_t count, Millis timeout) const;

private:
    struct Open {
        ScopedFd fd;
        size_t record;
    };
    void serveLoop();
    void acceptInBackground(int fd);
    void finishServing();
    void appendToRecord(size_t record, char const* data, size_t size, bool ended);

    std::string directory;  // empty when the path was given
    std::string socketPath;
    ScopedFd listening;

    Behaviour behaviour = Behaviour::ReadUntilClosed;
    std::thread server;
    ScopedFd wakeRead, wakeWrite;
    std::vector<Open> open;  // server thread only, until it is joined

    mutable std::mutex recordsMutex;
    mutable std::condition_variable recordsChanged;
    std::vector<ConnectionRecord> records;  // guarded by recordsMutex
};

}  // namespace kesu_test
