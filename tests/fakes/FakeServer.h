// The tests' messenger server: the tools' server core on a thread of its own,
// at a socket path in a fresh temporary directory, recording what every
// connection did; tests steer it with the core's steps.
#pragma once

#include <cstdlib>
#include <stdexcept>

#include "ServerCore.h"  // with the standard headers of its interface
#include "fakes/Eventually.h"

namespace kesu_test {

using namespace kesu_tools;

// Bounds a failing test's waits; a passing one never waits it out.
constexpr Millis kEventTimeout{5000};

class FakeServer : private ServerObserver {
public:
    struct Connection {
        std::vector<char> bytes;               // everything the client sent, as read
        std::vector<IPCMessageStruct> frames;  // whole frames from the client, in order
        bool closed = false;
        ConnectionSummary summary;  // once closed
    };
    using Record = std::map<ConnectionId, Connection>;  // 1, 2... in accept order

    explicit FakeServer(bool closeOutOfSync = true) {  // or go on reading a client that lost its frame markers
        char pattern[] = "/tmp/kesu-test-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        directory = pattern;
        core = std::make_unique<ServerCore>(ServerCore::Options{path(), closeOutOfSync, ""});
        core->addObserver(this);
        std::string error;
        if (!core->listen(error)) throw std::runtime_error(error);
        loop = std::thread([this] { core->run(); });
        while (!core->call([] {})) std::this_thread::sleep_for(Millis(1));
    }
    ~FakeServer() {
        core->stop();
        loop.join();
        core.reset();  // removes the socket file
        ::rmdir(directory.c_str());
    }

    std::string path() const { return directory + "/messenger"; }
    // Runs on the server thread as a client connects, before anything else happens there; it may
    // enqueue() steps (call() runs a task of the server thread at once).
    void onConnect(std::function<void(ConnectionId)> action) { core->call([&] { connectAction = std::move(action); }); }
    void enqueue(ConnectionId id, Step step) { core->call([&] { core->enqueue(id, std::move(step)); }); }
    bool hasPendingClient() {  // a connection the kernel completed waits to be accepted
        bool pending = false;
        return core->call([&] { pending = core->hasPendingClient(); }) && pending;
    }

    size_t connectionCount() const { return locked([&] { return record.size(); }); }
    Connection connection(ConnectionId id) const {
        return locked([&] { return record.count(id) ? record.at(id) : Connection{}; });
    }
    bool waitFor(std::function<bool(Record const&)> const& predicate) const {
        return eventually([&] { return locked([&] { return predicate(record); }); }, kEventTimeout);
    }
    bool waitForConnections(size_t n) const { return waitFor([n](Record const& r) { return r.size() >= n; }); }
    bool waitForFrames(ConnectionId id, size_t n) const {
        return waitFor([&](Record const& r) { return r.count(id) && r.at(id).frames.size() >= n; });
    }
    bool waitForClosed(ConnectionId id) const {
        return waitFor([&](Record const& r) { return r.count(id) && r.at(id).closed; });
    }

private:
    template <class Task>
    auto locked(Task task) const -> decltype(task()) {
        std::lock_guard<std::mutex> lock(recordMutex);
        return task();
    }
    void connected(ConnectionId id) override { locked([&] { record[id]; }); connectAction(id); }
    void bytes(ConnectionId id, char const* data, size_t n) override {
        locked([&] { record[id].bytes.insert(record[id].bytes.end(), data, data + n); });
    }
    void frame(ConnectionId id, Direction direction, IPCMessageStruct const& frame) override {
        if (direction == Direction::ToServer) locked([&] { record[id].frames.push_back(frame); });
    }
    void disconnected(ConnectionId id, ConnectionSummary const& summary, std::string const&) override {
        locked([&] { record[id].summary = summary, record[id].closed = true; });
    }

    std::string directory;
    std::unique_ptr<ServerCore> core;
    std::thread loop;
    std::function<void(ConnectionId)> connectAction = [](ConnectionId) {};  // server thread once started
    mutable std::mutex recordMutex;
    Record record;  // guarded by recordMutex
};

}  // namespace kesu_test
