#include "tap/Tap.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "frames/FrameAssembler.h"

namespace kesu_tools {

namespace {

constexpr size_t kReadChunkBytes = 64 * 1024;
// No more is read from one side while this much waits for the other.
constexpr size_t kForwardBacklogBytes = 256 * 1024;

}  // namespace

// One end of a link: the client, or the tap's connection to the server.
struct Tap::Side {
    Side(Tap& tap, Link& link, Direction readAs)
        : direction(readAs),
          channel(tap.loop, [&tap, &link, this](short revents) { tap.onReady(link, *this, revents); }) {}

    const Direction direction;  // of the bytes read from this side
    ScopedFd fd;
    Channel channel;
    FrameStream frames;         // of the bytes read from this side
    std::vector<char> toWrite;  // bytes for this side, not yet taken
    bool readEnded = false;     // end of stream, or a read error
    bool writeFailed = false;
};

struct Tap::Link {
    Link(Tap& tap, ConnectionId number)
        : id(number), client(tap, *this, Direction::ToServer), server(tap, *this, Direction::ToClient) {}

    Side& other(Side& side) { return &side == &client ? server : client; }

    const ConnectionId id;
    Side client;
    Side server;
    ConnectionSummary summary;
    bool serverWriteShut = false;
    Side const* endedFirst = nullptr;  // the side whose stream ended first, once one has
};

Tap::Tap(EventLoop& owner, std::string socketPath, std::string upstreamPath)
    : loop(owner),
      serverPath(std::move(upstreamPath)),
      listener(owner, std::move(socketPath), [this](ScopedFd fd) { accepted(std::move(fd)); }) {}

Tap::~Tap() = default;

void Tap::accepted(ScopedFd fd) {
    const ConnectionId id = nextId++;
    Link& link = *links.emplace(id, std::make_unique<Link>(*this, id)).first->second;
    link.client.fd = std::move(fd);
    int error = 0;
    link.server.fd = connectUnix(serverPath, error);
    if (link.server.fd) ::fcntl(link.server.fd.get(), F_SETFL, O_NONBLOCK);
    tell([&](TrafficObserver& o) { o.connected(id); });
    if (!link.server.fd) return finish(link, "the server cannot be reached");
    watch(link);
}

void Tap::onReady(Link& link, Side& side, short revents) {
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !side.readEnded) read(link, side);
    settle(link);
}

void Tap::read(Link& link, Side& from) {
    char buffer[kReadChunkBytes];
    const ssize_t n = ::recv(from.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        from.readEnded = true;
        if (link.endedFirst == nullptr) link.endedFirst = &from;
        return;
    }
    report(link, from, buffer, static_cast<size_t>(n));
    std::vector<char>& onward = link.other(from).toWrite;
    onward.insert(onward.end(), buffer, buffer + n);
}

void Tap::report(Link& link, Side& from, char const* data, size_t size) {
    const bool fromClient = from.direction == Direction::ToServer;
    from.frames.feed(
        data, size,
        [&](IPCMessageStruct const& frame) {
            if (fromClient) ++link.summary.framesReceived;
            tell([&](TrafficObserver& o) { o.frame(link.id, from.direction, frame); });
        },
        [&](std::string const& what) {
            if (fromClient) link.summary.outOfSync = true;
            tell([&](TrafficObserver& o) { o.outOfSync(link.id, from.direction, what); });
        },
        [&](char const* raw, size_t rawSize) {
            tell([&](TrafficObserver& o) { o.rawBytes(link.id, from.direction, raw, rawSize); });
        });
}

void Tap::flush(Side& to) {
    size_t written = 0;
    while (to.fd && written < to.toWrite.size()) {
        const ssize_t n =
            ::send(to.fd.get(), to.toWrite.data() + written, to.toWrite.size() - written, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            written += static_cast<size_t>(n);
        } else if (errno != EINTR) {
            to.writeFailed = errno != EAGAIN;
            break;
        }
    }
    to.toWrite.erase(to.toWrite.begin(), to.toWrite.begin() + static_cast<std::ptrdiff_t>(written));
}

// Moves the bytes on and passes each end on: the client's goes on to the
// server once the server has every byte (its reply still comes back); the
// server's closes the link once the client has every byte.
void Tap::settle(Link& link) {
    flush(link.client);
    flush(link.server);
    if (link.client.writeFailed) return finish(link, "");
    if (link.server.fd && (link.server.readEnded || link.server.writeFailed)) {
        link.server.channel.unwatch();
        link.server.fd.reset();
    }
    // The server's close that answers the client's own end is the client's doing.
    if (!link.server.fd && link.client.toWrite.empty())
        return finish(link, link.endedFirst == &link.client ? "" : "closed by the server");
    if (link.client.readEnded && link.server.fd && link.server.toWrite.empty() && !link.serverWriteShut) {
        ::shutdown(link.server.fd.get(), SHUT_WR);
        link.serverWriteShut = true;
    }
    watch(link);
}

void Tap::watch(Link& link) {
    for (Side* side : {&link.client, &link.server}) {
        int events = 0;
        if (!side->readEnded && link.other(*side).toWrite.size() < kForwardBacklogBytes) events |= POLLIN;
        if (!side->toWrite.empty()) events |= POLLOUT;
        // A side that has ended and has nothing to take would only report
        // its hang-up, again and again.
        if (side->fd && (events != 0 || !side->readEnded))
            side->channel.watch(side->fd.get(), events);
        else
            side->channel.unwatch();
    }
}

void Tap::finish(Link& link, std::string const& why) {
    // What the client wrote before the close is still reported, though no
    // longer forwarded.
    ::shutdown(link.client.fd.get(), SHUT_RD);
    char buffer[kReadChunkBytes];
    for (;;) {
        const ssize_t n = ::recv(link.client.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) break;
        report(link, link.client, buffer, static_cast<size_t>(n));
    }
    link.summary.trailingBytes = link.client.frames.pendingBytes();
    for (Side* side : {&link.client, &link.server}) {
        side->channel.unwatch();
        side->fd.reset();
        const std::vector<char> rest = side->frames.pending();
        if (!rest.empty())
            tell([&](TrafficObserver& o) { o.rawBytes(link.id, side->direction, rest.data(), rest.size()); });
    }
    auto owned = std::move(links.at(link.id));
    links.erase(link.id);
    tell([&](TrafficObserver& o) { o.disconnected(link.id, link.summary, why); });
    loop.deleteSoon(std::move(owned));
}

void Tap::shutDown() {
    tell([](TrafficObserver& o) { o.stopping(); });
    listener.close();
    while (!links.empty()) finish(*links.begin()->second, "server stopping");
}

void Tap::sendToAll(IPCMessageStruct const& frame) {
    const std::vector<char> bytes = frameBytes(frame);
    for (auto& entry : links) {
        Link& link = *entry.second;
        link.client.toWrite.insert(link.client.toWrite.end(), bytes.begin(), bytes.end());
        tell([&](TrafficObserver& o) { o.frame(link.id, Direction::InjectedToClient, frame); });
        watch(link);
    }
}

}  // namespace kesu_tools
