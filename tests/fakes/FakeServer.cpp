#include "fakes/FakeServer.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>


namespace kesu_test {

FakeServer::FakeServer(bool closeOutOfSync) {
    char pattern[] = "/tmp/kesu-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    directory = pattern;
    socketPath = directory + "/messenger";
    kesu_tools::ServerCore::Options options;
    options.socketPath = socketPath;
    options.closeOutOfSync = closeOutOfSync;
    core = std::make_unique<kesu_tools::ServerCore>(options);
    core->addObserver(this);
    std::string error;
    if (!core->listen(error)) throw std::runtime_error(error);
    loop = std::thread([this] { core->run(); });
    while (!core->call([] {})) std::this_thread::sleep_for(Millis(1));
}

FakeServer::~FakeServer() {
    core->stop();
    loop.join();
    core.reset();
    ::unlink(socketPath.c_str());
    ::rmdir(directory.c_str());
}

void FakeServer::onConnect(std::function<void(ConnectionId)> action) {
    core->call([&] { connectAction = std::move(action); });
}

void FakeServer::enqueue(ConnectionId id, Step step) {
    // From an onConnect action, which runs on the server thread, directly:
    // that thread cannot wait for itself.
    if (std::this_thread::get_id() == loop.get_id()) return core->enqueue(id, std::move(step));
    core->call([&] { core->enqueue(id, std::move(step)); });
}

void FakeServer::run(std::function<void(kesu_tools::ServerCore&)> task) {
    core->call([&] { task(*core); });
}

bool FakeServer::hasPendingClient() {
    bool pending = false;
    core->call([&] { pending = core->hasPendingClient(); });
    return pending;
}

size_t FakeServer::connectionCount() const {
    std::lock_guard<std::mutex> lock(recordMutex);
    return record.size();
}

FakeServer::Connection FakeServer::connection(ConnectionId id) const {
    std::lock_guard<std::mutex> lock(recordMutex);
    auto it = record.find(id);
    return it == record.end() ? Connection{} : it->second;
}

bool FakeServer::waitFor(std::function<bool(std::map<ConnectionId, Connection> const&)> const& predicate,
                         Millis timeout) const {
    std::unique_lock<std::mutex> lock(recordMutex);
    return recordChanged.wait_for(lock, timeout, [&] { return predicate(record); });
}

bool FakeServer::waitForConnections(size_t count, Millis timeout) const {
    return waitFor([count](auto const& r) { return r.size() >= count; }, timeout);
}

bool FakeServer::waitForFrames(ConnectionId id, size_t count, Millis timeout) const {
    return waitFor([&](auto const& r) { return r.count(id) != 0 && r.at(id).frames.size() >= count; }, timeout);
}

bool FakeServer::waitForClosed(ConnectionId id, Millis timeout) const {
    return waitFor([&](auto const& r) { return r.count(id) != 0 && r.at(id).closed; }, timeout);
}

void FakeServer::connected(ConnectionId id) {
    {
        std::lock_guard<std::mutex> lock(recordMutex);
        record[id];
    }
    recordChanged.notify_all();
    if (connectAction) connectAction(id);
}

void FakeServer::bytes(ConnectionId id, char const* data, size_t size) {
    std::lock_guard<std::mutex> lock(recordMutex);
    record[id].bytes.insert(record[id].bytes.end(), data, data + size);
}

void FakeServer::frame(ConnectionId id, kesu_tools::Direction direction, IPCMessageStruct const& frame) {
    if (direction != kesu_tools::Direction::ToServer) return;
    {
        std::lock_guard<std::mutex> lock(recordMutex);
        record[id].frames.push_back(frame);
    }
    recordChanged.notify_all();
}

void FakeServer::disconnected(ConnectionId id, kesu_tools::ConnectionSummary const& summary, std::string const&) {
    {
        std::lock_guard<std::mutex> lock(recordMutex);
        record[id].closed = true;
        record[id].summary = summary;
    }
    recordChanged.notify_all();
}

}  // namespace kesu_test
