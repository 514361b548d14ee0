#include "FaultServer.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <utility>

#include "ipc/IPCFrame.h"
#include "ipc/IPCMessageFactory.h"
#include "ipc/IPCMessagePlayerMediaInfo.h"
#include "ipc/IPCStatusMessages.h"
#include "ipc/IPCValueMessages.h"
#include "ipc/PayloadCodec.h"

namespace kesu_soak {

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr int kIdlePollMs = 20;
// Longest single poll: bounds how late a stop or the end of the lifetime is noticed.
constexpr int kPollSliceMs = 50;
// A client frame larger than this is a broken stream: the client under test
// never sends one.
constexpr uint32_t kLargestClientFrame = 16u * 1024 * 1024;

[[noreturn]] void dieWith(std::string const& what) {
    std::fprintf(stderr, "fault-server: %s: %s\n", what.c_str(), std::strerror(errno));
    std::abort();
}

int msUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return static_cast<int>(std::min<long long>(left, kPollSliceMs));
}

template <class T>
T uniform(std::mt19937_64& rng, T low, T high) {
    return std::uniform_int_distribution<T>(low, high)(rng);
}

bool chance(std::mt19937_64& rng, unsigned percent) { return uniform<unsigned>(rng, 0, 99) < percent; }

std::string randomText(std::mt19937_64& rng, size_t maxBytes) {
    // Mostly short; now and then long enough to span several reads.
    size_t size = chance(rng, 5) ? uniform<size_t>(rng, 0, maxBytes) : uniform<size_t>(rng, 0, 64);
    std::string text(size, '\0');
    for (char& c : text) c = static_cast<char>(uniform<int>(rng, 0, 255));
    return text;
}

std::vector<char> randomBytes(std::mt19937_64& rng, size_t size) {
    std::vector<char> bytes(size);
    for (char& c : bytes) c = static_cast<char>(uniform<int>(rng, 0, 255));
    return bytes;
}

// A well-formed payload for the class the factory picks for `type`, built by
// the library's own message classes.
std::vector<char> wellFormedPayload(uint32_t type, std::mt19937_64& rng) {
    auto messageType = static_cast<IPCMessageType>(type);
    std::unique_ptr<IPCMessage> message;
    switch (IPCMessageFactory::classOf(messageType)) {
    case IPCMessageFactory::MessageClass::SimpleString:
        message = std::make_unique<IPCMessageSimpleString>(messageType, randomText(rng, 8192));
        break;
    case IPCMessageFactory::MessageClass::StringArray: {
        std::vector<std::string> texts(uniform<size_t>(rng, 0, 8));
        for (std::string& text : texts) text = randomText(rng, 2048);
        message = std::make_unique<IPCMessageStringArray>(messageType, std::move(texts));
        break;
    }
    case IPCMessageFactory::MessageClass::UnsignedInt:
        message = std::make_unique<IPCMessageUnsignedInt>(messageType, static_cast<uint32_t>(rng()));
        break;
    case IPCMessageFactory::MessageClass::UnsignedInt64:
        message = std::make_unique<IPCMessageUnsignedInt64>(messageType, rng());
        break;
    case IPCMessageFactory::MessageClass::UnsignedIntArray: {
        std::vector<uint32_t> numbers(uniform<size_t>(rng, 0, 64));
        for (uint32_t& number : numbers) number = static_cast<uint32_t>(rng());
        message = std::make_unique<IPCMessageUnsignedIntArray>(messageType, std::move(numbers));
        break;
    }
    case IPCMessageFactory::MessageClass::RecorderStats:
        message = std::make_unique<IPCMessageRecorderStats>(messageType, static_cast<uint8_t>(rng()));
        break;
    case IPCMessageFactory::MessageClass::PlayerPlaybackInfo: {
        PlayerPlaybackRecord record;
        std::vector<char> bytes = randomBytes(rng, sizeof record);
        std::memcpy(&record, bytes.data(), sizeof record);
        message = std::make_unique<IPCMessagePlayerPlaybackInfo>(messageType, record);
        break;
    }
    case IPCMessageFactory::MessageClass::PlayerMediaInfo: {
        IPCJSPlayerMediaInfo info;
        info.text = randomText(rng, 1024);
        info.flag = chance(rng, 50);
        info.value = rng();
        info.streams.resize(uniform<size_t>(rng, 0, 5));
        for (IPCJSPlayerMediaInfo::Stream& stream : info.streams) {
            stream.number1 = static_cast<uint32_t>(rng());
            stream.number2 = static_cast<uint32_t>(rng());
            stream.number3 = static_cast<uint32_t>(rng());
            stream.text1 = randomText(rng, 256);
            stream.text2 = randomText(rng, 256);
        }
        message = std::make_unique<IPCMessagePlayerMediaInfo>(messageType, std::move(info));
        break;
    }
    case IPCMessageFactory::MessageClass::Plain:
        return randomBytes(rng, uniform<size_t>(rng, 1, 256));
    }
    message->serialize();
    return std::move(message->messageStruct.data);
}

uint32_t outOfTableType(std::mt19937_64& rng) {
    static constexpr uint32_t kPicks[] = {0, 1, 2, 3, 4, 66, 67, 100, 255, 256, 0x10000, ipc_frame::kMaxTypeNumber};
    if (chance(rng, 70)) return kPicks[uniform<size_t>(rng, 0, std::size(kPicks) - 1)];
    for (;;) {
        uint32_t type = uniform<uint32_t>(rng, 66, ipc_frame::kMaxTypeNumber);
        if (type != kHelloType) return type;
    }
}

}  // namespace

uint64_t frameDigest(uint32_t type, char const* payload, size_t size) {
    uint64_t hash = 0xcbf29ce484222325ull;
    auto mix = [&hash](unsigned char byte) {
        hash ^= byte;
        hash *= 0x100000001b3ull;
    };
    for (int shift = 24; shift >= 0; shift -= 8) mix(static_cast<unsigned char>(type >> shift));
    for (size_t i = 0; i < size; ++i) mix(static_cast<unsigned char>(payload[i]));
    return hash;
}

bool decodeHello(std::vector<char> const& payload, uint64_t& connection, uint8_t& flags) {
    if (payload.size() != kHelloBytes) return false;
    ipc_codec::PayloadReader in(payload);
    return in.readU64(connection) && in.readU8(flags);
}

char const* faultName(Fault fault) {
    switch (fault) {
    case Fault::AcceptThenClose: return "accept-then-close";
    case Fault::BacklogDrained: return "backlog-drained";
    case Fault::CloseInHeader: return "close-in-header";
    case Fault::CloseInPayload: return "close-in-payload";
    case Fault::WrongMarker: return "wrong-marker";
    case Fault::LengthZero: return "length-zero";
    case Fault::LengthAtBoundCut: return "length-at-bound-then-close";
    case Fault::LengthAtBoundWhole: return "length-at-bound-whole";
    case Fault::LengthAboveBound: return "length-above-bound";
    case Fault::LengthMax: return "length-0xffffffff";
    case Fault::ValidFrame: return "valid-frame";
    case Fault::OutOfTableType: return "out-of-table-type";
    case Fault::TruncatedPayload: return "truncated-payload";
    case Fault::OversizedPayload: return "oversized-payload";
    case Fault::LargeFrame: return "large-frame";
    case Fault::Trickle: return "one-byte-pieces";
    case Fault::Burst: return "burst";
    case Fault::Stall: return "stall";
    case Fault::LongStall: return "long-stall";
    case Fault::NeverRead: return "never-read";
    case Fault::Reset: return "reset";
    case Fault::SocketRecreated: return "socket-recreated";
    case Fault::Count: break;
    }
    return "?";
}

// One accepted connection: non-blocking I/O paced by poll, so that a write
// that cannot go on, a client that leaves and a stop of the server are all
// noticed within one poll slice.
class FaultServer::Session {
public:
    Session(FaultServer& server, int connected, ConnectionId connection, bool readsInput)
        : owner(server), fd(connected), id(connection), reading(readsInput) {
        int flags = ::fcntl(fd, F_GETFL);
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
    ~Session() {
        if (fd >= 0) ::close(fd);
    }
    Session(Session const&) = delete;
    Session& operator=(Session const&) = delete;

    ConnectionId connection() const { return id; }
    bool alive() const { return !clientGone && !owner.quitting(); }
    // From here the client's bytes pile up unread.
    void stopReading() { reading = false; }

    // Writes `size` bytes in pieces of `pieceBytes`, waiting 0 to
    // `maxPauseMs` after each piece. False once the client has gone or the
    // server stops.
    bool sendRaw(char const* data, size_t size, size_t pieceBytes, int maxPauseMs, std::mt19937_64& rng);

    // A whole frame, told to the observer. False if it did not go out whole.
    bool sendFrame(uint32_t type, std::vector<char> const& payload, bool inPieces, std::mt19937_64& rng) {
        unsigned char header[ipc_frame::kHeaderBytes];
        ipc_frame::encodeHeader(type, static_cast<uint32_t>(payload.size()), header);
        if (owner.observer != nullptr)
            owner.observer->frameSending(id, type, frameDigest(type, payload.data(), payload.size()));
        size_t piece = inPieces ? 1 : std::numeric_limits<size_t>::max();
        int pause = inPieces ? 2 : 0;
        bool whole = sendRaw(reinterpret_cast<char const*>(header), sizeof header, piece, pause, rng) &&
                     sendRaw(payload.data(), payload.size(), piece, pause, rng);
        if (!whole) return false;
        ++summary.framesSentWhole;
        if (owner.observer != nullptr) owner.observer->frameSentWhole(id);
        owner.noteSent(type, payload.size());
        return true;
    }

    // Sends nothing for `duration` (reading, if this connection reads).
    // False if the client left or the server stops meanwhile.
    bool idle(Millis duration) {
        auto deadline = Clock::now() + duration;
        while (alive() && Clock::now() < deadline) pollOnce(false, false, msUntil(deadline));
        return alive();
    }

    // Waits for the client to close or shut down its end; true if it did.
    bool awaitClientLeaving(Millis limit) {
        auto deadline = Clock::now() + limit;
        while (alive() && Clock::now() < deadline) pollOnce(false, false, msUntil(deadline));
        return clientGone;
    }

    // Waits until bytes from the client wait unread here.
    bool awaitClientBytes(Millis limit) {
        auto deadline = Clock::now() + limit;
        while (alive() && unreadBytes() == 0 && Clock::now() < deadline) pollOnce(false, true, msUntil(deadline));
        return unreadBytes() > 0;
    }

    // Ends the connection: no more client writes get in, what is queued is
    // read (or, with `peekOnly`, only looked at and left unread, which the
    // kernel turns into ECONNRESET for the client), the descriptor closed.
    // Returns the bytes left unread at the close.
    size_t finish(bool peekOnly) {
        ::shutdown(fd, SHUT_RD);
        if (peekOnly) {
            // Nothing more can arrive: one peek as large as the queue sees it all.
            std::vector<char> queued(unreadBytes());
            ssize_t n = queued.empty() ? 0 : ::recv(fd, queued.data(), queued.size(), MSG_PEEK | MSG_DONTWAIT);
            if (n > 0) absorb(queued.data(), static_cast<size_t>(n));
        } else {
            // After SHUT_RD a receive on an empty queue returns 0 at once.
            char chunk[65536];
            for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0;)
                absorb(chunk, static_cast<size_t>(n));
        }
        size_t unread = unreadBytes();
        ::close(fd);
        fd = -1;
        summary.trailingBytes = inboxBroken ? 0 : inbox.size() - parsed;
        {
            std::lock_guard<std::mutex> lock(owner.totalsMutex);
            owner.counted.trailingBytesReceived += summary.trailingBytes;
            owner.counted.largestUnreadAtClose = std::max<uint64_t>(owner.counted.largestUnreadAtClose, unread);
        }
        if (owner.observer != nullptr) owner.observer->connectionClosed(id, summary);
        return unread;
    }

    ConnectionSummary summary;

private:
    void pollOnce(bool wantWrite, bool wantInput, int timeoutMs) {
        auto events = static_cast<short>(POLLRDHUP | (wantWrite ? POLLOUT : 0) | (reading || wantInput ? POLLIN : 0));
        pollfd fds[2] = {{fd, events, 0}, {owner.wakeRead, POLLIN, 0}};
        if (::poll(fds, 2, timeoutMs) <= 0) return;
        if (reading && (fds[0].revents & (POLLIN | POLLHUP | POLLRDHUP)) != 0) readAvailable();
        // The client under test never half-closes: a hang-up means it has gone.
        if ((fds[0].revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0) clientGone = true;
    }

    void readAvailable() {
        char chunk[65536];
        for (;;) {
            ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) {
                absorb(chunk, static_cast<size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) clientGone = true;
            return;
        }
    }

    size_t unreadBytes() const {
        int queued = 0;
        if (::ioctl(fd, SIOCINQ, &queued) != 0 || queued < 0) return 0;
        return static_cast<size_t>(queued);
    }

    // Cuts the client's bytes into whole frames for the observer.
    void absorb(char const* data, size_t size) {
        if (inboxBroken) return;
        inbox.insert(inbox.end(), data, data + size);
        while (inbox.size() - parsed >= ipc_frame::kHeaderBytes) {
            ipc_frame::Header header;
            if (!ipc_frame::decodeHeader(reinterpret_cast<unsigned char const*>(inbox.data() + parsed), header) ||
                header.length > kLargestClientFrame) {
                summary.clientOutOfSync = true;
                inboxBroken = true;
                inbox.clear();
                parsed = 0;
                return;
            }
            if (inbox.size() - parsed - ipc_frame::kHeaderBytes < header.length) break;
            IPCMessageStruct frame;
            frame.type = static_cast<IPCMessageType>(header.type);
            auto first = inbox.begin() + static_cast<std::ptrdiff_t>(parsed + ipc_frame::kHeaderBytes);
            frame.data.assign(first, first + static_cast<std::ptrdiff_t>(header.length));
            parsed += ipc_frame::kHeaderBytes + header.length;
            ++summary.framesReceived;
            {
                std::lock_guard<std::mutex> lock(owner.totalsMutex);
                owner.counted.framesReceived += 1;
            }
            if (owner.observer != nullptr) owner.observer->frameReceived(id, frame);
        }
        if (parsed > 0) {
            inbox.erase(inbox.begin(), inbox.begin() + static_cast<std::ptrdiff_t>(parsed));
            parsed = 0;
        }
    }

    FaultServer& owner;
    int fd;
    const ConnectionId id;
    bool reading;
    bool clientGone = false;
    std::vector<char> inbox;  // client bytes not yet cut into frames
    size_t parsed = 0;
    bool inboxBroken = false;
};

bool FaultServer::Session::sendRaw(char const* data, size_t size, size_t pieceBytes, int maxPauseMs,
                                   std::mt19937_64& rng) {
    size_t sent = 0;
    while (sent < size) {
        size_t pieceEnd = sent + std::min(pieceBytes, size - sent);
        while (sent < pieceEnd) {
            if (!alive()) return false;
            ssize_t n = ::send(fd, data + sent, pieceEnd - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollOnce(true, false, kPollSliceMs);
                continue;
            }
            clientGone = true;  // EPIPE, ECONNRESET: the client has gone
            return false;
        }
        if (maxPauseMs > 0 && sent < size) {
            int pause = uniform<int>(rng, 0, maxPauseMs);
            if (pause > 0 && !idle(Millis(pause))) return false;
        }
    }
    return true;
}

// What a connection will do, drawn when it is accepted. The steps in between
// are drawn while it plays, from the same generator.
struct FaultServer::Script {
    enum class End {
        Clean,           // read what is queued, close
        AwaitClient,     // wait up to 15 s for the client to leave, then as Clean
        CloseInHeader,
        CloseInPayload,
        WrongMarker,
        AtBoundCut,
        AboveBound,
        LengthMax,
        Reset,
        Recreate,        // as Clean, then the socket file is replaced
    };
    bool acceptThenClose = false;
    bool reading = true;
    bool trickleHello = false;
    bool atBoundWhole = false;
    int steps = 0;
    End end = End::Clean;
};

FaultServer::FaultServer(Options opts, Observer* watcher)
    : options(std::move(opts)), observer(watcher), typeSeen(256, false) {}

FaultServer::~FaultServer() { stop(); }

void FaultServer::start() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) dieWith("pipe2");
    wakeRead = fds[0];
    wakeWrite = fds[1];
    endOfLife = Clock::now() + options.lifetime;
    listenOrDie();
    server = std::thread([this] { serve(); });
}

void FaultServer::stop() {
    if (!server.joinable()) return;
    quit.store(true);
    char wake = 'q';
    ssize_t ignored = ::write(wakeWrite, &wake, 1);  // left unread: every later poll returns at once
    (void)ignored;
    server.join();
    ::close(wakeRead);
    ::close(wakeWrite);
    wakeRead = wakeWrite = -1;
}

bool FaultServer::quitting() const {
    return quit.load() || (options.lifetime.count() > 0 && Clock::now() >= endOfLife);
}

bool FaultServer::removeSocketFor(Millis absentFor, Millis timeout) {
    absentRequestMs.store(absentFor.count());
    std::unique_lock<std::mutex> lock(stateMutex);
    return stateChanged.wait_for(lock, timeout, [this] { return socketAbsent; });
}

bool FaultServer::waitForIdlePollsAbove(uint64_t count, Millis timeout) const {
    std::unique_lock<std::mutex> lock(stateMutex);
    return stateChanged.wait_for(lock, timeout, [this, count] { return idlePollCount.load() > count; });
}

FaultServer::Totals FaultServer::totals() const {
    std::lock_guard<std::mutex> lock(totalsMutex);
    Totals copy = counted;
    copy.tableTypesSent = static_cast<size_t>(std::count(typeSeen.begin() + 5, typeSeen.begin() + 66, true));
    return copy;
}

std::string FaultServer::faultReport() const {
    Totals copy = totals();
    std::ostringstream out;
    for (size_t i = 0; i < copy.faults.size(); ++i)
        if (copy.faults[i] > 0) out << "  " << faultName(static_cast<Fault>(i)) << ": " << copy.faults[i] << "\n";
    return out.str();
}

void FaultServer::count(Fault fault) {
    std::lock_guard<std::mutex> lock(totalsMutex);
    counted.faults[static_cast<size_t>(fault)] += 1;
}

void FaultServer::noteSent(uint32_t type, size_t payloadBytes) {
    std::lock_guard<std::mutex> lock(totalsMutex);
    counted.framesSentWhole += 1;
    counted.bytesSent += ipc_frame::kHeaderBytes + payloadBytes;
    counted.largestFrameSent = std::max<uint64_t>(counted.largestFrameSent, payloadBytes);
    if (type < typeSeen.size()) typeSeen[type] = true;
}

void FaultServer::listenOrDie() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (options.socketPath.size() >= sizeof address.sun_path) dieWith("socket path too long: " + options.socketPath);
    std::memcpy(address.sun_path, options.socketPath.c_str(), options.socketPath.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) dieWith("socket");
    ::unlink(options.socketPath.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr const*>(&address), sizeof address) != 0)
        dieWith("bind " + options.socketPath);
    if (::listen(fd, 64) != 0) dieWith("listen");
    listener = fd;
}

void FaultServer::closeListener() {
    if (listener < 0) return;
    // A shut-down listener refuses new connections but still hands out those
    // already waiting, so none is lost with the old socket.
    ::shutdown(listener, SHUT_RDWR);
    for (int fd; (fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;)
        serveConnection(fd, true);
    ::close(listener);
    listener = -1;
    ::unlink(options.socketPath.c_str());
}

void FaultServer::replaceSocketFile(Millis absentFor) {
    closeListener();
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        socketAbsent = true;
    }
    stateChanged.notify_all();
    auto until = Clock::now() + absentFor;
    while (!quitting() && Clock::now() < until) std::this_thread::sleep_for(Millis(std::min(5, msUntil(until))));
    if (!quitting()) listenOrDie();
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        socketAbsent = false;
    }
    stateChanged.notify_all();
}

void FaultServer::serve() {
    while (!quitting()) {
        long long absentMs = absentRequestMs.exchange(-1);
        if (absentMs >= 0) {
            replaceSocketFile(Millis(absentMs));
            count(Fault::SocketRecreated);
            continue;
        }
        pollfd fds[2] = {{listener, POLLIN, 0}, {wakeRead, POLLIN, 0}};
        int ready = ::poll(fds, 2, kIdlePollMs);
        if (ready == 0) {
            {
                std::lock_guard<std::mutex> lock(stateMutex);
                idlePollCount.fetch_add(1);
            }
            stateChanged.notify_all();
            continue;
        }
        if (ready < 0 || fds[1].revents != 0 || (fds[0].revents & POLLIN) == 0) continue;
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) serveConnection(fd, false);
    }
    closeListener();
}

FaultServer::Script FaultServer::makeScript(std::mt19937_64& rng) const {
    bool launch = options.profile == Profile::Launch;
    Script script;
    script.acceptThenClose = chance(rng, launch ? 8 : 4);
    script.reading = !chance(rng, launch ? 15 : 12);
    script.trickleHello = chance(rng, 10);
    // 16 MiB to a client: rare, it is the slowest thing the server does.
    script.atBoundWhole = uniform<unsigned>(rng, 0, 999) < (launch ? 2u : 5u);
    script.steps = uniform<int>(rng, 0, launch ? 6 : 16);
    static constexpr std::pair<Script::End, unsigned> kEnds[] = {
        {Script::End::Clean, 30},        {Script::End::AwaitClient, 8}, {Script::End::CloseInHeader, 8},
        {Script::End::CloseInPayload, 8}, {Script::End::WrongMarker, 8}, {Script::End::AtBoundCut, 5},
        {Script::End::AboveBound, 6},    {Script::End::LengthMax, 5},   {Script::End::Reset, 14},
        {Script::End::Recreate, 4},
    };
    unsigned total = 0;
    for (auto const& end : kEnds) total += end.second;
    unsigned roll = uniform<unsigned>(rng, 0, total - 1);
    for (auto const& end : kEnds) {
        if (roll < end.second) {
            script.end = end.first;
            break;
        }
        roll -= end.second;
    }
    return script;
}

void FaultServer::serveConnection(int fd, bool drained) {
    ConnectionId id = nextConnection++;
    {
        std::lock_guard<std::mutex> lock(totalsMutex);
        counted.connections += 1;
    }
    if (observer != nullptr) observer->connectionAccepted(id);
    // Each connection's script depends on the seed and its number only.
    std::mt19937_64 rng(options.seed * 0x9E3779B97F4A7C15ull + id);
    Script script = drained ? Script{} : makeScript(rng);
    Session session(*this, fd, id, script.reading);
    if (drained || script.acceptThenClose) {
        count(drained ? Fault::BacklogDrained : Fault::AcceptThenClose);
        if (session.finish(false) > 0) count(Fault::Reset);
        return;
    }
    if (!script.reading) count(Fault::NeverRead);
    playScript(session, script, rng);
    if (script.end == Script::End::Recreate && !quitting()) {
        replaceSocketFile(Millis(uniform<int>(rng, 0, 400)));
        count(Fault::SocketRecreated);
    }
}

void FaultServer::playScript(Session& session, Script const& script, std::mt19937_64& rng) {
    bool launch = options.profile == Profile::Launch;
    auto finish = [&](bool peekOnly) {
        if (session.finish(peekOnly || !script.reading) > 0) count(Fault::Reset);
    };

    std::vector<char> hello;
    ipc_codec::appendU64(hello, session.connection());
    ipc_codec::appendU8(hello, script.reading ? 0 : kHelloWantsLargeReplies);
    if (!session.sendFrame(kHelloType, hello, script.trickleHello, rng)) return finish(false);

    // One frame of the random traffic: a type of the table (any class, every
    // number 5 to 65) or one the factory does not know, with a well-formed,
    // truncated, oversized or empty payload.
    auto randomFrame = [&](bool inPieces) {
        bool inTable = !chance(rng, 12);
        uint32_t type = inTable ? uniform<uint32_t>(rng, 5, 65) : outOfTableType(rng);
        std::vector<char> payload = wellFormedPayload(type, rng);
        Fault kind = inTable ? Fault::ValidFrame : Fault::OutOfTableType;
        unsigned roll = uniform<unsigned>(rng, 0, 99);
        if (roll < 5) {
            payload.clear();
            kind = Fault::LengthZero;
        } else if (roll < 17 && !payload.empty()) {
            payload.resize(uniform<size_t>(rng, 0, payload.size() - 1));
            kind = Fault::TruncatedPayload;
        } else if (roll < 27) {
            std::vector<char> extra = randomBytes(rng, uniform<size_t>(rng, 1, 64));
            payload.insert(payload.end(), extra.begin(), extra.end());
            kind = Fault::OversizedPayload;
        }
        if (inPieces && payload.size() > 48) payload.resize(48);  // one byte per write is slow
        if (!session.sendFrame(type, payload, inPieces, rng)) return false;
        count(kind);
        if (inPieces) count(Fault::Trickle);
        return true;
    };

    int atBoundStep = script.atBoundWhole ? uniform<int>(rng, 0, script.steps) : -1;
    for (int step = 0; step <= script.steps && session.alive(); ++step) {
        if (step == atBoundStep) {
            std::vector<char> payload(ipc_frame::kMaxPayloadBytes);
            for (size_t i = 0; i < payload.size(); i += 4096) payload[i] = static_cast<char>(rng());
            if (!session.sendFrame(uniform<uint32_t>(rng, 5, 65), payload, false, rng)) break;
            count(Fault::LengthAtBoundWhole);
            continue;
        }
        if (step == script.steps) break;
        unsigned roll = uniform<unsigned>(rng, 0, 99);
        if (roll < 46) {
            if (!randomFrame(false)) break;
        } else if (roll < 56) {
            if (!randomFrame(true)) break;
        } else if (roll < 64) {
            int frames = uniform<int>(rng, 10, launch ? 40 : 150);
            bool whole = true;
            for (int i = 0; i < frames && whole; ++i) {
                uint32_t type = uniform<uint32_t>(rng, 5, 65);
                std::vector<char> payload = wellFormedPayload(type, rng);
                if (payload.size() > 64) payload.resize(64);
                whole = session.sendFrame(type, payload, false, rng);
            }
            if (!whole) break;
            count(Fault::Burst);
        } else if (roll < 67 && !(launch && chance(rng, 60))) {
            uint32_t type = chance(rng, 50) ? uniform<uint32_t>(rng, 5, 65) : outOfTableType(rng);
            std::vector<char> payload = randomBytes(rng, uniform<size_t>(rng, 64 * 1024, 1024 * 1024));
            if (!session.sendFrame(type, payload, false, rng)) break;
            count(Fault::LargeFrame);
        } else if (roll < 78) {
            if (!session.idle(Millis(uniform<int>(rng, 20, 400)))) break;
            count(Fault::Stall);
        } else if (roll < 79 && !launch) {
            if (!session.idle(Millis(uniform<int>(rng, 1500, 4000)))) break;
            count(Fault::LongStall);
        } else {
            if (!session.idle(Millis(uniform<int>(rng, 0, 20)))) break;
        }
    }
    if (!session.alive()) return finish(false);

    unsigned char header[ipc_frame::kHeaderBytes];
    auto sendHeader = [&](uint32_t length, size_t bytes) {
        ipc_frame::encodeHeader(uniform<uint32_t>(rng, 5, 65), length, header);
        return session.sendRaw(reinterpret_cast<char const*>(header), bytes, bytes, 0, rng);
    };
    switch (script.end) {
    case Script::End::Clean:
    case Script::End::Recreate:
        return finish(false);
    case Script::End::AwaitClient:
        // Far longer than any stop may take: a client whose stop relied on
        // the server to end the connection would hang here.
        session.awaitClientLeaving(Millis(15000));
        return finish(false);
    case Script::End::CloseInHeader:
        if (sendHeader(uniform<uint32_t>(rng, 0, 4096), uniform<size_t>(rng, 1, ipc_frame::kHeaderBytes - 1)))
            count(Fault::CloseInHeader);
        return finish(false);
    case Script::End::CloseInPayload: {
        uint32_t length = uniform<uint32_t>(rng, 2, 4096);
        std::vector<char> part = randomBytes(rng, uniform<size_t>(rng, 1, length - 1));
        if (sendHeader(length, sizeof header) && session.sendRaw(part.data(), part.size(), part.size(), 0, rng))
            count(Fault::CloseInPayload);
        return finish(false);
    }
    case Script::End::WrongMarker: {
        ipc_frame::encodeHeader(uniform<uint32_t>(rng, 5, 65), uniform<uint32_t>(rng, 0, 64), header);
        do header[0] = static_cast<unsigned char>(rng()); while (header[0] == ipc_frame::kMarker);
        std::vector<char> junk = randomBytes(rng, uniform<size_t>(rng, 0, 64));
        if (session.sendRaw(reinterpret_cast<char const*>(header), sizeof header, sizeof header, 0, rng)) {
            count(Fault::WrongMarker);
            session.sendRaw(junk.data(), junk.size(), junk.size(), 0, rng);
            session.awaitClientLeaving(Millis(2000));
        }
        return finish(false);
    }
    case Script::End::AtBoundCut: {
        uint32_t length = chance(rng, 50) ? ipc_frame::kMaxPayloadBytes : ipc_frame::kMaxPayloadBytes - 1;
        std::vector<char> part = randomBytes(rng, uniform<size_t>(rng, 0, 4096));
        if (sendHeader(length, sizeof header)) {
            count(Fault::LengthAtBoundCut);
            session.sendRaw(part.data(), part.size(), part.size(), 0, rng);
        }
        return finish(false);
    }
    case Script::End::AboveBound:
    case Script::End::LengthMax: {
        bool max = script.end == Script::End::LengthMax;
        uint32_t length = max ? 0xFFFFFFFFu
                              : chance(rng, 50) ? ipc_frame::kMaxPayloadBytes + 1
                                                : uniform<uint32_t>(rng, ipc_frame::kMaxPayloadBytes + 2, 0xFFFFFFFEu);
        if (sendHeader(length, sizeof header)) {
            count(max ? Fault::LengthMax : Fault::LengthAboveBound);
            session.awaitClientLeaving(Millis(2000));
        }
        return finish(false);
    }
    case Script::End::Reset: {
        // Something the client answers, so that its bytes wait here unread.
        session.stopReading();
        std::vector<char> payload = wellFormedPayload(54, rng);
        if (session.sendFrame(54, payload, false, rng)) session.awaitClientBytes(Millis(500));
        return finish(true);
    }
    }
}

}  // namespace kesu_soak
