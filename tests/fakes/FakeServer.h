// The tests' messenger server: the tools' scripted server on a loop thread of
// its own, at a socket path in a fresh temporary directory, recording what
// every connection did; tests steer it with the server's steps.
#pragma once

#include <cstdlib>
#include <future>
#include <stdexcept>

#include "fakes/Eventually.h"
#include "server/ScriptedServer.h"  // with the standard headers of its interface

namespace kesu_test {

using namespace kesu_tools;

// Bounds a failing test's waits; a passing one never waits it out.
constexpr Millis kEventTimeout{5000};

class FakeServer : private ServerObserver {
public:
    struct Connection {
        std::vector<IPCMessageStruct> frames;  // whole frames from the client, in order
        bool closed = false;
    };
    using Record = std::map<ConnectionId, Connection>;  // 1, 2... in accept order

    FakeServer() {
        char pattern[] = "/tmp/kesu-test-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        directory = pattern;
        server = std::make_unique<ScriptedServer>(loop, path());
        server->addObserver(this);
        std::string error;
        if (!server->listen(error)) throw std::runtime_error(error);
        thread = std::thread([this] {
            onServerThread = true;
            loop.run();
            server->shutDown();
        });
    }
    ~FakeServer() {
        loop.quit();
        thread.join();
        server.reset();  // removes the socket file
        ::rmdir(directory.c_str());
    }

    std::string path() const { return directory + "/messenger"; }
    // Runs on the server thread as a client connects, before anything else happens there; it may
    // enqueue() steps (which run at once on the server thread).
    void onConnect(std::function<void(ConnectionId)> action) {
        call([&] { connectAction = std::move(action); });
    }
    void enqueue(ConnectionId id, Step step) {
        call([&] { server->enqueue(id, std::move(step)); });
    }

    size_t connectionCount() const {
        return locked([&] { return record.size(); });
    }
    Connection connection(ConnectionId id) const {
        return locked([&] { return record.count(id) ? record.at(id) : Connection{}; });
    }
    bool waitFor(std::function<bool(Record const&)> const& predicate) const {
        return eventually([&] { return locked([&] { return predicate(record); }); }, kEventTimeout);
    }
    bool waitForConnections(size_t n) const {
        return waitFor([n](Record const& r) { return r.size() >= n; });
    }
    bool waitForFrames(ConnectionId id, size_t n) const {
        return waitFor([&](Record const& r) { return r.count(id) && r.at(id).frames.size() >= n; });
    }
    bool waitForClosed(ConnectionId id) const {
        return waitFor([&](Record const& r) { return r.count(id) && r.at(id).closed; });
    }

private:
    // Runs `task` on the server thread (at once when called there) and returns once it has run.
    void call(std::function<void()> const& task) {
        if (onServerThread) return task();
        std::promise<void> done;
        loop.queueInLoop([&] {
            task();
            done.set_value();
        });
        done.get_future().wait();
    }
    template <class Task>
    auto locked(Task task) const -> decltype(task()) {
        std::lock_guard<std::mutex> lock(recordMutex);
        return task();
    }
    void connected(ConnectionId id) override {
        locked([&] { record[id]; });
        connectAction(id);
    }
    void frame(ConnectionId id, Direction direction, IPCMessageStruct const& frame) override {
        if (direction == Direction::ToServer) locked([&] { record[id].frames.push_back(frame); });
    }
    void disconnected(ConnectionId id, ConnectionSummary const&, std::string const&) override {
        locked([&] { record[id].closed = true; });
    }

    static inline thread_local bool onServerThread = false;
    std::string directory;
    EventLoop loop;
    std::unique_ptr<ScriptedServer> server;
    std::thread thread;
    std::function<void(ConnectionId)> connectAction = [](ConnectionId) {};  // server thread once started
    mutable std::mutex recordMutex;
    Record record;  // guarded by recordMutex
};

}  // namespace kesu_test
