#include "server/ScriptedServer.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "kesu/ipc/IPCFrame.h"

namespace kesu_tools {

namespace {

constexpr size_t kReadChunkBytes = 64 * 1024;

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

}  // namespace

struct ScriptedServer::Connection {
    Connection(ScriptedServer& server, ConnectionId number, ScopedFd client)
        : id(number),
          fd(std::move(client)),
          channel(server.loop, [this, &server](short revents) { server.onReady(*this, revents); }) {}

    const ConnectionId id;
    ScopedFd fd;
    Channel channel;
    bool closed = false;  // finished; destroyed after the turn
    bool reading = true;
    bool readShut = false;    // our reading side is shut down
    bool clientLeft = false;  // hung up, or a write to it failed
    bool advanceQueued = false;
    FrameStream fromClient;
    ConnectionSummary summary;

    std::deque<Step> steps;
    bool stepBegun = false;
    Clock::time_point stepDeadline{};  // of a wait, or when the next piece may go
    size_t sent = 0;                   // of the front Send step
    size_t piece = 0;                  // index into its pieces
    bool betweenPieces = false;        // the next piece waits for the deadline and the client
    bool writeBlocked = false;         // the socket took no more: wait until it is writable
};

ScriptedServer::ScriptedServer(EventLoop& owner, std::string socketPath)
    : loop(owner),
      listener(owner, std::move(socketPath), [this](ScopedFd fd) { accepted(std::move(fd)); }),
      relisten(owner, [this](short) {
          std::string error;
          if (!listener.listen(error)) tell([&](ServerObserver& o) { o.listenFailed(error); });
      }) {}

ScriptedServer::~ScriptedServer() = default;

void ScriptedServer::accepted(ScopedFd fd) {
    const ConnectionId id = nextId++;
    Connection& c = *connections.emplace(id, std::make_unique<Connection>(*this, id, std::move(fd))).first->second;
    tell([&](ServerObserver& o) { o.connected(id); });
    scheduleAdvance(c);
}

// Steps queued from a callback run once the turn's callbacks are over.
void ScriptedServer::scheduleAdvance(Connection& c) {
    if (c.advanceQueued) return;
    c.advanceQueued = true;
    loop.queueInLoop([this, id = c.id] {
        auto it = connections.find(id);
        if (it == connections.end()) return;
        it->second->advanceQueued = false;
        advance(*it->second);
    });
}

void ScriptedServer::onReady(Connection& c, short revents) {
    if ((revents & POLLOUT) != 0) c.writeBlocked = false;
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && c.reading)
        readClient(c);
    else if ((revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0)
        c.clientLeft = true;
    advance(c);
}

void ScriptedServer::readClient(Connection& c) {
    char buffer[kReadChunkBytes];
    const ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        tell([&](ServerObserver& o) { o.bytesForTesting(c.id, buffer, static_cast<size_t>(n)); });
        absorb(c, buffer, static_cast<size_t>(n));
        if (!c.fromClient.inSync()) finish(c, false, "out of sync");
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    // A client that hangs up with bytes of ours unread resets the stream:
    // a hang-up all the same.
    finish(c, false, n == 0 || errno == ECONNRESET ? "" : std::string("read error: ") + std::strerror(errno));
}

void ScriptedServer::absorb(Connection& c, char const* data, size_t size) {
    c.fromClient.feed(
        data, size,
        [&](IPCMessageStruct const& frame) {
            ++c.summary.framesReceived;
            tell([&](ServerObserver& o) { o.frame(c.id, Direction::ToServer, frame); });
        },
        [&](std::string const& what) {
            c.summary.outOfSync = true;
            tell([&](ServerObserver& o) { o.outOfSync(c.id, Direction::ToServer, what); });
        },
        [&](char const* raw, size_t rawSize) {
            tell([&](ServerObserver& o) { o.rawBytes(c.id, Direction::ToServer, raw, rawSize); });
        });
}

// Runs the front steps as far as they can go now, then watches for what the
// next one waits for.
void ScriptedServer::advance(Connection& c) {
    while (!c.closed) {
        if (c.clientLeft) return finish(c, false, "");
        if (c.steps.empty()) {
            tell([&](ServerObserver& o) { o.idle(c.id); });
            if (c.steps.empty()) break;
        }
        if (!c.stepBegun) beginStep(c);
        if (!runStep(c)) break;
        c.steps.pop_front();
        c.stepBegun = false;
    }
    if (!c.closed) watch(c);
}

void ScriptedServer::beginStep(Connection& c) {
    Step const& step = c.steps.front();
    c.stepBegun = true;
    c.stepDeadline = Clock::now() + step.wait;
    c.sent = 0;
    c.piece = 0;
    c.betweenPieces = false;
}

// True once the front step is done; false while it waits, and after a close.
// Observers may queue steps meanwhile: the deque keeps `step` where it is.
bool ScriptedServer::runStep(Connection& c) {
    Step const& step = c.steps.front();
    const bool due = Clock::now() >= c.stepDeadline;
    switch (step.kind) {
    case Step::Kind::Send:
        if (!writeSome(c)) return false;
        if (step.wholeFrame) {
            IPCMessageStruct frame = frameOf(step.bytes);
            tell([&](ServerObserver& o) { o.frame(c.id, Direction::ToClient, frame); });
        }
        return true;
    case Step::Kind::Pause:
        return due;
    case Step::Kind::AwaitClientBytes:
        return due || queuedBytes(c.fd.get(), SIOCINQ) != 0;
    case Step::Kind::AwaitClientLeaving:
        return due;  // the client leaving ends the connection first
    case Step::Kind::SetReading:
        c.reading = step.reading;
        return true;
    case Step::Kind::ShutdownReadingForTesting:
        ::shutdown(c.fd.get(), SHUT_RD);
        c.reading = false;
        c.readShut = true;
        return true;
    case Step::Kind::Close:
        finish(c, step.reset, step.reset ? "reset" : "closed by the server");
        return false;
    case Step::Kind::RecreateSocket:
        recreateSocket(c.stepDeadline);
        return true;
    case Step::Kind::Note:
        tell([&](ServerObserver& o) { o.injected(c.id, step.note); });
        return true;
    }
    return true;
}

// True once the front Send step is written whole; false while it waits for
// the socket, the client's reading or a pause.
bool ScriptedServer::writeSome(Connection& c) {
    Step const& step = c.steps.front();
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
        const ssize_t n =
            ::send(c.fd.get(), step.bytes.data() + c.sent, pieceEnd - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN)
                c.writeBlocked = true;
            else if (errno != EINTR)
                c.clientLeft = true;
            return false;
        }
        if (!step.wholeFrame) {
            char const* written = step.bytes.data() + c.sent;
            tell([&](ServerObserver& o) { o.rawBytes(c.id, Direction::ToClient, written, static_cast<size_t>(n)); });
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

void ScriptedServer::watch(Connection& c) {
    const bool awaitingBytes = !c.steps.empty() && c.steps.front().kind == Step::Kind::AwaitClientBytes;
    // Without reading, a hang-up still shows as POLLRDHUP; once our reading
    // side is shut down that shows at once, and only POLLHUP (always
    // reported) tells that the client has gone.
    int events = c.reading || c.readShut ? 0 : POLLRDHUP;
    if (c.reading || awaitingBytes) events |= POLLIN;
    if (c.writeBlocked) events |= POLLOUT;
    c.channel.watch(c.fd.get(), events);
    if (c.steps.empty()) return;
    if (c.steps.front().kind != Step::Kind::Send)
        c.channel.wakeAt(c.stepDeadline);
    else if (c.betweenPieces)  // the next piece goes once the client has read the last one
        c.channel.wakeAt(std::max(c.stepDeadline, Clock::now() + Millis(1)));
}

void ScriptedServer::recreateSocket(Clock::time_point back) {
    if (listener.fd() < 0) return;
    listener.closeAndUnlink();
    relisten.wakeAt(back);
}

void ScriptedServer::finish(Connection& c, bool reset, std::string const& why) {
    // From here the client's writes fail; what it wrote before is all in
    // the queue, and is read (or, for a reset, only peeked at) before the
    // close, so every frame it wrote whole is reported.
    ::shutdown(c.fd.get(), SHUT_RD);
    if (reset) {
        std::vector<char> queued(queuedBytes(c.fd.get(), SIOCINQ));
        const ssize_t n =
            queued.empty() ? 0 : ::recv(c.fd.get(), queued.data(), queued.size(), MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) absorb(c, queued.data(), static_cast<size_t>(n));
    } else {
        char buffer[kReadChunkBytes];
        for (;;) {
            const ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) break;
            tell([&](ServerObserver& o) { o.bytesForTesting(c.id, buffer, static_cast<size_t>(n)); });
            absorb(c, buffer, static_cast<size_t>(n));
        }
    }
    c.summary.trailingBytes = c.fromClient.pendingBytes();
    const std::vector<char> unfinished = c.fromClient.pending();
    if (!unfinished.empty())
        tell([&](ServerObserver& o) { o.rawBytes(c.id, Direction::ToServer, unfinished.data(), unfinished.size()); });
    c.closed = true;
    c.channel.unwatch();
    c.fd.reset();  // closes both sides
    auto owned = std::move(connections.at(c.id));
    connections.erase(c.id);
    tell([&](ServerObserver& o) { o.disconnected(c.id, c.summary, why); });
    loop.deleteSoon(std::move(owned));
}

void ScriptedServer::shutDown() {
    tell([](ServerObserver& o) { o.stopping(); });
    // Clients are let go as at any close: those still waiting to be accepted
    // are refused, and what each connected one wrote whole is reported.
    listener.close();
    relisten.unwatch();
    while (!connections.empty()) finish(*connections.begin()->second, false, "server stopping");
}

void ScriptedServer::enqueue(ConnectionId id, Step step) {
    auto it = connections.find(id);
    if (it == connections.end()) return;
    it->second->steps.push_back(std::move(step));
    scheduleAdvance(*it->second);
}

void ScriptedServer::sendToAll(IPCMessageStruct const& frame) {
    for (auto& entry : connections) {
        entry.second->steps.push_back(Step::frame(frame));
        scheduleAdvance(*entry.second);
    }
}

}  // namespace kesu_tools
