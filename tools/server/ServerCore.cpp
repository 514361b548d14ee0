#include "server/ServerCore.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "kesu/ipc/IPCFrame.h"

namespace kesu_tools {

namespace {

constexpr size_t kReadChunkBytes = 64 * 1024;
// A tap reads no more from one side while this much waits for the other.
constexpr size_t kForwardBacklogBytes = 256 * 1024;

size_t queuedBytes(int fd, unsigned long request) {
    int bytes = 0;
    if (fd < 0 || ::ioctl(fd, request, &bytes) != 0 || bytes < 0) return 0;
    return static_cast<size_t>(bytes);
}

// The frame in `bytes`, which hold exactly one.
IPCMessageStruct frameOf(std::vector<char> const& bytes) {
    IPCMessageStruct frame;
    ipc_frame::Header header;
    ipc_frame::decodeHeader(reinterpret_cast<unsigned char const*>(bytes.data()), header);
    frame.type = static_cast<IPCMessageType>(header.type);
    frame.data.assign(bytes.begin() + ipc_frame::kHeaderBytes, bytes.end());
    return frame;
}

std::string describeBreak(FrameAssembler const& assembler, FrameAssembler::Status status) {
    char text[160];
    if (status == FrameAssembler::Status::BadMarker)
        std::snprintf(text, sizeof text, "header starts with 0x%02X, not the frame marker", assembler.firstByte());
    else
        std::snprintf(text, sizeof text, "frame type=%u announces %u bytes, above the limit of %u",
                      assembler.announced().type, assembler.announced().length, ipc_frame::kMaxPayloadBytes);
    return text;
}

}  // namespace

std::vector<char> frameBytes(IPCMessageStruct const& frame) {
    std::vector<char> bytes(ipc_frame::kHeaderBytes + frame.data.size());
    ipc_frame::encodeHeader(frame, reinterpret_cast<unsigned char*>(bytes.data()));
    std::copy(frame.data.begin(), frame.data.end(), bytes.begin() + ipc_frame::kHeaderBytes);
    return bytes;
}

Step Step::frame(IPCMessageStruct const& frame, std::vector<size_t> pieces, Millis pause) {
    Step step = raw(frameBytes(frame), std::move(pieces), pause);
    step.wholeFrame = true;
    return step;
}

Step Step::raw(std::vector<char> bytes, std::vector<size_t> pieces, Millis pause) {
    Step step;
    step.kind = Kind::Send;
    step.bytes = std::move(bytes);
    step.pieces = std::move(pieces);
    step.pause = pause;
    return step;
}

Step Step::idle(Kind kind, Millis wait) {
    Step step;
    step.kind = kind;
    step.wait = wait;
    return step;
}

Step Step::setReading(bool on) {
    Step step = idle(Kind::SetReading, Millis(0));
    step.reading = on;
    return step;
}

Step Step::shutdownReading() { return idle(Kind::ShutdownReading, Millis(0)); }

Step Step::close(bool reset) {
    Step step = idle(Kind::Close, Millis(0));
    step.reset = reset;
    return step;
}

Step Step::recreateSocket(Millis absent) { return idle(Kind::RecreateSocket, absent); }

Step Step::fault(std::string note) {
    Step step = idle(Kind::Note, Millis(0));
    step.note = std::move(note);
    return step;
}

struct ServerCore::Connection {
    ConnectionId id = 0;
    ScopedFd fd;
    bool reading = true;
    bool readShut = false;    // our reading side is shut down
    bool clientLeft = false;  // hung up, or a write to it failed
    FrameAssembler fromClient;
    bool clientInSync = true;
    ConnectionSummary summary;

    std::deque<Step> steps;
    bool stepBegun = false;
    Clock::time_point stepDeadline{};  // of a wait, or when the next piece may go
    size_t sent = 0;                   // of the front Send step
    size_t piece = 0;                  // index into its pieces
    bool betweenPieces = false;        // the next piece waits for the deadline and the client
    bool writeBlocked = false;         // the socket took no more: wait until it is writable

    // The tap's side towards the server.
    ScopedFd upstream;
    std::vector<char> toUpstream;
    size_t toUpstreamSent = 0;
    bool clientEnded = false;  // the client sent its last byte; the server hears of it once it has them all
    bool upstreamEnded = false;
    FrameAssembler fromServer;
    bool serverInSync = true;
};

ServerCore::ServerCore(Options opts) : options(std::move(opts)) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead.reset(fds[0]);
        wakeWrite.reset(fds[1]);
    }
}

ServerCore::~ServerCore() {
    if (!ownsSocketFile) return;
    struct stat info;
    if (::lstat(options.socketPath.c_str(), &info) == 0 && info.st_dev == socketDevice && info.st_ino == socketInode)
        ::unlink(options.socketPath.c_str());
}

bool ServerCore::listen(std::string& error) {
    sockaddr_un address;
    if (!makeUnixAddress(options.socketPath, address)) {
        error = "socket path too long for a Unix-domain address: " + options.socketPath;
        return false;
    }
    char const* path = options.socketPath.c_str();
    for (int attempt = 0; attempt < 2; ++attempt) {
        listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!listener) {
            error = std::string("socket: ") + std::strerror(errno);
            return false;
        }
        if (::bind(listener.get(), asSockaddr(address), sizeof address) == 0) {
            if (::listen(listener.get(), SOMAXCONN) != 0) {
                error = "listen on " + options.socketPath + ": " + std::strerror(errno);
                return false;
            }
            struct stat info;
            ownsSocketFile = ::lstat(path, &info) == 0;
            socketDevice = info.st_dev;
            socketInode = info.st_ino;
            return true;
        }
        if (errno != EADDRINUSE || attempt > 0) {
            error = "cannot bind " + options.socketPath + ": " + std::strerror(errno);
            return false;
        }
        struct stat info;
        if (::lstat(path, &info) != 0 || !S_ISSOCK(info.st_mode)) {
            error = options.socketPath + " exists and is not a socket; not touching it";
            return false;
        }
        int connectError = 0;
        if (connectUnix(options.socketPath, connectError)) {
            error = "another server is already listening on " + options.socketPath;
            return false;
        }
        if (connectError != ECONNREFUSED) {
            error = "cannot tell whether " + options.socketPath + " is in use: " + std::strerror(connectError);
            return false;
        }
        if (::unlink(path) != 0 && errno != ENOENT) {
            error = "cannot remove stale socket " + options.socketPath + ": " + std::strerror(errno);
            return false;
        }
    }
    return false;
}

void ServerCore::stop() {
    // No lock: a signal handler may call this while the loop holds one.
    stopRequested.store(true);
    char byte = 's';
    [[maybe_unused]] ssize_t ignored = ::write(wakeWrite.get(), &byte, 1);  // a full pipe is awake already
}

bool ServerCore::call(std::function<void()> task) {
    std::mutex doneMutex;
    std::condition_variable doneCond;
    bool done = false;
    {
        std::unique_lock<std::mutex> lock(tasksMutex);
        if (!running) return false;
        if (loopThread == std::this_thread::get_id()) {
            lock.unlock();
            task();
            return true;
        }
        tasks.push_back([&] {
            task();
            std::lock_guard<std::mutex> doneLock(doneMutex);
            done = true;
            doneCond.notify_all();
        });
    }
    char byte = 't';
    [[maybe_unused]] ssize_t ignored = ::write(wakeWrite.get(), &byte, 1);
    std::unique_lock<std::mutex> lock(doneMutex);
    doneCond.wait(lock, [&] { return done; });
    return true;
}

void ServerCore::runTasks() {
    char drain[64];
    while (::read(wakeRead.get(), drain, sizeof drain) > 0) {
    }
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard<std::mutex> lock(tasksMutex);
            if (tasks.empty()) return;
            task = std::move(tasks.front());
            tasks.pop_front();
        }
        task();
    }
}

void ServerCore::run() {
    {
        std::lock_guard<std::mutex> lock(tasksMutex);
        running = true;
        loopThread = std::this_thread::get_id();
    }
    std::vector<pollfd> fds;
    std::vector<ConnectionId> polled;
    for (;;) {
        if (stopRequested.load()) break;
        relistenIfDue();
        for (auto it = connections.begin(); it != connections.end();) {
            Connection& c = *it->second;
            ++it;  // advance() may finish (erase) the connection
            advance(c);
        }

        fds.clear();
        polled.clear();
        fds.push_back({wakeRead.get(), POLLIN, 0});
        fds.push_back({listener ? listener.get() : -1, POLLIN, 0});
        for (auto const& input : inputs) fds.push_back({input.first, POLLIN, 0});
        const size_t firstConnection = fds.size();
        for (auto const& entry : connections) {
            Connection const& c = *entry.second;
            bool forwardRoom = c.toUpstream.size() - c.toUpstreamSent < kForwardBacklogBytes;
            bool awaitingBytes = !c.steps.empty() && c.steps.front().kind == Step::Kind::AwaitClientBytes;
            // Without reading, a hang-up still shows as POLLRDHUP; once our
            // reading side is shut down that shows at once, and only POLLHUP
            // (always reported) tells that the client has gone.
            auto events = static_cast<short>(c.reading || c.readShut ? 0 : POLLRDHUP);
            if ((c.reading && forwardRoom) || awaitingBytes) events = static_cast<short>(events | POLLIN);
            if (c.writeBlocked) events = static_cast<short>(events | POLLOUT);
            fds.push_back({c.clientEnded ? -1 : c.fd.get(), events, 0});
            size_t towardsClient = 0;
            for (Step const& step : c.steps) towardsClient += step.bytes.size();
            auto upstreamEvents = static_cast<short>(towardsClient < kForwardBacklogBytes ? POLLIN : 0);
            if (c.toUpstreamSent < c.toUpstream.size()) upstreamEvents = static_cast<short>(upstreamEvents | POLLOUT);
            fds.push_back({c.upstream ? c.upstream.get() : -1, upstreamEvents, 0});
            polled.push_back(entry.first);
        }
        if (::poll(fds.data(), fds.size(), pollTimeoutMs()) < 0 && errno != EINTR) {
            std::fprintf(stderr, "kesu-dev-server: poll: %s\n", std::strerror(errno));
            break;
        }
        if (fds[0].revents != 0) runTasks();
        for (size_t i = 2; i < firstConnection; ++i) {
            auto input = inputs.find(fds[i].fd);
            if (fds[i].revents != 0 && input != inputs.end()) input->second();
        }
        for (size_t i = 0; i < polled.size(); ++i) {
            auto it = connections.find(polled[i]);
            if (it == connections.end()) continue;
            Connection& c = *it->second;
            pollfd const& client = fds[firstConnection + 2 * i];
            pollfd const& server = fds[firstConnection + 2 * i + 1];
            if ((client.revents & POLLOUT) != 0) c.writeBlocked = false;
            if ((client.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && c.reading) readClient(c);
            else if ((client.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0) c.clientLeft = true;
            if (connections.count(polled[i]) == 0) continue;
            if (c.upstream) forward(c, server.revents);
        }
        if (fds[1].revents != 0) acceptClients();
    }
    tell([](ServerObserver& o) { o.stopping(); });
    // Clients are let go as at any close: those still waiting to be accepted
    // are refused, and what each connected one wrote whole is reported.
    closeListener();
    while (!connections.empty()) finish(*connections.begin()->second, false, "server stopping");
    std::lock_guard<std::mutex> lock(tasksMutex);
    running = false;
}

// The tap's side towards the server: what it sends goes on to the client
// (and is reported); what the client sent goes on to it.
void ServerCore::forward(Connection& c, short revents) {
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        char buffer[kReadChunkBytes];
        ssize_t n = ::recv(c.upstream.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            absorb(c, Direction::ToClient, c.fromServer, c.serverInSync, buffer, static_cast<size_t>(n));
            c.steps.push_back(Step::raw(std::vector<char>(buffer, buffer + n)));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            // Everything the server sent goes to the client first.
            c.upstream.reset();
            c.steps.push_back(Step::close(false));
            return;
        }
    }
    if (c.toUpstreamSent < c.toUpstream.size()) {
        ssize_t n = ::send(c.upstream.get(), c.toUpstream.data() + c.toUpstreamSent,
                           c.toUpstream.size() - c.toUpstreamSent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            c.upstream.reset();
            c.steps.push_back(Step::close(false));
            return;
        }
        c.toUpstreamSent += n > 0 ? static_cast<size_t>(n) : 0;
        if (c.toUpstreamSent == c.toUpstream.size()) {
            c.toUpstream.clear();
            c.toUpstreamSent = 0;
        }
    }
    // The client's end goes on to the server as its own, once the server
    // has every byte; its reply still comes back.
    if (c.clientEnded && !c.upstreamEnded && c.toUpstream.empty()) {
        ::shutdown(c.upstream.get(), SHUT_WR);
        c.upstreamEnded = true;
    }
}

int ServerCore::pollTimeoutMs() const {
    Clock::time_point next = Clock::time_point::max();
    if (relistenPending) next = relistenAt;
    for (auto const& entry : connections) {
        Connection const& c = *entry.second;
        if (c.steps.empty() || !c.stepBegun) continue;
        Step::Kind kind = c.steps.front().kind;
        if (kind == Step::Kind::Send) {
            // The next piece goes once the client has read the last one.
            if (c.betweenPieces) next = std::min(next, std::max(c.stepDeadline, Clock::now() + Millis(1)));
        } else {
            next = std::min(next, c.stepDeadline);
        }
    }
    if (next == Clock::time_point::max()) return -1;
    auto left = std::chrono::duration_cast<Millis>(next - Clock::now()).count() + 1;
    return static_cast<int>(std::max<long long>(0, std::min<long long>(left, 1000)));
}

void ServerCore::acceptClients() {
    while (listener) {
        ScopedFd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        auto c = std::make_unique<Connection>();
        c->id = nextId++;
        c->fd = std::move(fd);
        if (!options.upstreamPath.empty()) {
            int error = 0;
            c->upstream = connectUnix(options.upstreamPath, error);
            if (c->upstream) ::fcntl(c->upstream.get(), F_SETFL, O_NONBLOCK);
        }
        ConnectionId id = c->id;
        bool forwarding = static_cast<bool>(c->upstream) || options.upstreamPath.empty();
        connections.emplace(id, std::move(c));
        tell([&](ServerObserver& o) { o.connected(id); });
        if (!forwarding) finish(*connections.at(id), false, "the server cannot be reached");
    }
}

void ServerCore::readClient(Connection& c) {
    char buffer[kReadChunkBytes];
    ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        tell([&](ServerObserver& o) { o.bytes(c.id, buffer, static_cast<size_t>(n)); });
        absorb(c, Direction::ToServer, c.fromClient, c.clientInSync, buffer, static_cast<size_t>(n));
        if (c.upstream) c.toUpstream.insert(c.toUpstream.end(), buffer, buffer + n);
        if (!c.clientInSync && options.closeOutOfSync && options.upstreamPath.empty())
            finish(c, false, "out of sync");
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    // A client that hangs up with bytes of ours unread resets the stream:
    // a hang-up all the same.
    if (c.upstream) {
        c.clientEnded = true;
        return;
    }
    finish(c, false, n == 0 || errno == ECONNRESET ? "" : std::string("read error: ") + std::strerror(errno));
}

void ServerCore::absorb(Connection& c, Direction direction, FrameAssembler& assembler, bool& inSync, char const* data,
                        size_t size) {
    size_t offset = 0;
    while (inSync && offset < size) {
        size_t used = 0;
        FrameAssembler::Status status = assembler.feed(data + offset, size - offset, used);
        offset += used;
        if (status == FrameAssembler::Status::Frame) {
            IPCMessageStruct frame = assembler.takeFrame();
            if (direction == Direction::ToServer) ++c.summary.framesReceived;
            tell([&](ServerObserver& o) { o.frame(c.id, direction, frame); });
        } else if (status != FrameAssembler::Status::NeedMore) {
            inSync = false;
            if (direction == Direction::ToServer) c.summary.outOfSync = true;
            std::string what = describeBreak(assembler, status);
            tell([&](ServerObserver& o) { o.outOfSync(c.id, direction, what); });
        }
    }
}

// Runs the front steps of a connection as far as they can go now.
void ServerCore::advance(Connection& c) {
    const ConnectionId id = c.id;
    for (;;) {
        if (connections.count(id) == 0) return;
        if (c.clientLeft) return finish(c, false, "");
        if (c.steps.empty()) {
            tell([&](ServerObserver& o) { o.idle(id); });
            if (connections.count(id) == 0 || c.steps.empty()) return;
        }
        Step& step = c.steps.front();
        const Clock::time_point now = Clock::now();
        if (!c.stepBegun) {
            c.stepBegun = true;
            c.stepDeadline = now + step.wait;
            c.sent = 0;
            c.piece = 0;
            c.betweenPieces = false;
            if (step.kind == Step::Kind::Send && step.wholeFrame) {
                IPCMessageStruct frame = frameOf(step.bytes);
                tell([&](ServerObserver& o) { o.sending(id, frame); });
                if (connections.count(id) == 0) return;
            }
        }
        switch (step.kind) {
        case Step::Kind::Send:
            if (!writeSome(c)) return;
            if (step.wholeFrame) {
                ++c.summary.framesSentWhole;
                IPCMessageStruct frame = frameOf(step.bytes);
                tell([&](ServerObserver& o) { o.frame(id, Direction::ToClient, frame); });
            }
            break;
        case Step::Kind::Pause:
            if (now < c.stepDeadline) return;
            break;
        case Step::Kind::AwaitClientBytes:
            if (queuedBytes(c.fd.get(), SIOCINQ) == 0 && now < c.stepDeadline) return;
            break;
        case Step::Kind::AwaitClientLeaving:
            if (now < c.stepDeadline) return;  // the client leaving ends the connection first
            break;
        case Step::Kind::SetReading:
            c.reading = step.reading;
            break;
        case Step::Kind::ShutdownReading:
            ::shutdown(c.fd.get(), SHUT_RD);
            c.reading = false;
            c.readShut = true;
            break;
        case Step::Kind::Close:
            return finish(c, step.reset, step.reset ? "reset" : "closed by the server");
        case Step::Kind::RecreateSocket:
            if (listener) {
                closeListener();
                ::unlink(options.socketPath.c_str());
                ownsSocketFile = false;
                relistenAt = c.stepDeadline;
                relistenPending = true;
            }
            break;
        case Step::Kind::Note: {
            std::string note = step.note;
            tell([&](ServerObserver& o) { o.injected(id, note); });
            break;
        }
        }
        if (connections.count(id) == 0) return;
        c.steps.pop_front();
        c.stepBegun = false;
    }
}

// True once the front Send step is written whole; false while it waits for
// the socket, the client's reading or a pause.
bool ServerCore::writeSome(Connection& c) {
    Step& step = c.steps.front();
    if (c.writeBlocked) return false;
    while (c.sent < step.bytes.size()) {
        if (c.betweenPieces) {
            // The next piece waits for the pause and for the client to have
            // read the last one, so its reads return the pieces one by one.
            if (Clock::now() < c.stepDeadline || queuedBytes(c.fd.get(), SIOCOUTQ) > 0) return false;
            c.betweenPieces = false;
        }
        size_t pieceEnd = step.bytes.size();
        if (c.piece < step.pieces.size()) {
            size_t before = 0;
            for (size_t i = 0; i <= c.piece; ++i) before += step.pieces[i];
            pieceEnd = std::min(pieceEnd, before);
        }
        ssize_t n = ::send(c.fd.get(), step.bytes.data() + c.sent, pieceEnd - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN) c.writeBlocked = true;
            else if (errno != EINTR) c.clientLeft = true;
            return false;
        }
        c.sent += static_cast<size_t>(n);
        if (c.sent == pieceEnd && c.piece < step.pieces.size()) {
            ++c.piece;
            c.betweenPieces = true;
            c.stepDeadline = Clock::now() + step.pause;
        }
    }
    return true;
}

void ServerCore::finish(Connection& c, bool reset, std::string const& why) {
    // From here the client's writes fail; what it wrote before is all in
    // the queue, and is read (or, for a reset, only counted) before the
    // close, so every frame it wrote whole is reported.
    ::shutdown(c.fd.get(), SHUT_RD);
    if (reset) {
        std::vector<char> queued(queuedBytes(c.fd.get(), SIOCINQ));
        ssize_t n = queued.empty() ? 0 : ::recv(c.fd.get(), queued.data(), queued.size(), MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) absorb(c, Direction::ToServer, c.fromClient, c.clientInSync, queued.data(), static_cast<size_t>(n));
        c.summary.unreadAtClose = queued.size();
    } else {
        char buffer[kReadChunkBytes];
        for (ssize_t n; (n = ::recv(c.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
            tell([&](ServerObserver& o) { o.bytes(c.id, buffer, static_cast<size_t>(n)); });
            absorb(c, Direction::ToServer, c.fromClient, c.clientInSync, buffer, static_cast<size_t>(n));
        }
    }
    c.summary.trailingBytes = c.clientInSync ? c.fromClient.pendingBytes() : 0;
    ConnectionId id = c.id;
    ConnectionSummary summary = c.summary;
    auto owned = std::move(connections.at(id));
    connections.erase(id);
    owned.reset();  // closes both sides
    tell([&](ServerObserver& o) { o.disconnected(id, summary, why); });
}

void ServerCore::closeListener() {
    if (!listener) return;
    // A shut-down listener refuses new clients but still hands out those
    // already waiting, so none is lost with the old socket.
    ::shutdown(listener.get(), SHUT_RDWR);
    acceptClients();
    listener.reset();
}

void ServerCore::relistenIfDue() {
    if (!relistenPending || Clock::now() < relistenAt) return;
    relistenPending = false;
    std::string error;
    if (!listen(error)) std::fprintf(stderr, "kesu-dev-server: %s\n", error.c_str());
}

void ServerCore::enqueue(ConnectionId id, Step step) {
    auto it = connections.find(id);
    if (it != connections.end()) it->second->steps.push_back(std::move(step));
}

void ServerCore::sendToAll(IPCMessageStruct const& frame) {
    for (auto& entry : connections) entry.second->steps.push_back(Step::frame(frame));
}

std::vector<ConnectionId> ServerCore::connectionIds() const {
    std::vector<ConnectionId> ids;
    for (auto const& entry : connections) ids.push_back(entry.first);
    return ids;
}

bool ServerCore::hasPendingClient() const {
    pollfd pfd{listener.get(), POLLIN, 0};
    return listener && ::poll(&pfd, 1, 0) == 1;
}

size_t ServerCore::unreadByClient(ConnectionId id) const {
    auto it = connections.find(id);
    return it == connections.end() ? 0 : queuedBytes(it->second->fd.get(), SIOCOUTQ);
}

void ServerCore::watchInput(int fd, std::function<void()> onReadable) { inputs[fd] = std::move(onReadable); }

void ServerCore::unwatchInput(int fd) { inputs.erase(fd); }

double ServerCore::secondsSinceStart() const {
    return std::chrono::duration<double>(Clock::now() - started).count();
}

}  // namespace kesu_tools
