// Drives one IPCMessengerClient against the fault-injecting server for a
// while, stopping and restarting it at random moments, and checks at the end
// what must hold however hostile the server is:
//
//   - no crash, and no stop() that takes longer than the bound (a watchdog
//     aborts the process, naming the stop);
//   - per handler, one onConnected per connection, and exactly one
//     onDisconnected for each connection the server ended; both handlers
//     told the same;
//   - every message a handler received equals the frame the server sent on
//     that connection at that position (type and payload, by digest), and a
//     connection the server ended delivered every frame it had sent whole;
//   - what the client wrote arrives intact and in order (the allowed-types
//     announcement first, then each handler's replies without a gap), and
//     exactly the frames the client reported as written whole arrive;
//   - every reply the handlers submitted is destroyed once, by the time the
//     client is destroyed; every handler exception is logged once;
//   - memory stays bounded: the peak RSS is reported.
//
//   soak [--seconds N] [--seed S] [--stop-bound-ms M] [--report-every N]
//
// Exit status 0 when everything held, 1 otherwise.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FaultServer.h"
#include "KesuStbTesting.h"
#include "KesuLog.h"
#include "fakes/CountingMessage.h"
#include "fakes/Eventually.h"
#include "ipc/IPCFrame.h"
#include "ipc/IPCMessengerClient.h"
#include "ipc/IPCValueMessages.h"
#include "ipc/PayloadCodec.h"

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;
using kesu_soak::FaultServer;

// Type number of the handlers' replies: unknown to the factory, like the hello.
constexpr uint32_t kReplyType = 0x50AD;
constexpr size_t kHandlers = 2;

// ---------------------------------------------------------------------------
// Failures are collected, not fatal: the run goes on and reports them all.

class Failures {
public:
    __attribute__((format(printf, 2, 3))) void add(char const* format, ...) {
        char text[512];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        std::lock_guard<std::mutex> lock(mutex);
        ++total;
        if (shown.size() < kShown) shown.emplace_back(text);
    }
    size_t count() const {
        std::lock_guard<std::mutex> lock(mutex);
        return total;
    }
    void print() const {
        std::lock_guard<std::mutex> lock(mutex);
        for (std::string const& line : shown) std::printf("FAILED: %s\n", line.c_str());
        if (total > shown.size()) std::printf("FAILED: ... and %zu more\n", total - shown.size());
    }

private:
    static constexpr size_t kShown = 40;
    mutable std::mutex mutex;
    std::vector<std::string> shown;  // guarded by mutex
    size_t total = 0;                // guarded by mutex
};

Failures failures;

// Raised by the driver around each stop(): a connection that ends meanwhile
// ended because of the stop, not because of the server.
std::atomic<bool> stopping{false};

// ---------------------------------------------------------------------------
// The handlers' replies: counted at construction and destruction, so that a
// reply the library loses or deletes twice shows at the end.

std::atomic<int> repliesDestroyed{0};
std::atomic<int> repliesConstructed{0};

// Payload: handler (1), connection ordinal (4), sequence (4), filler length
// (4), filler. The filler's bytes follow from the other fields, so the server
// can tell a damaged or misplaced reply.
class SoakReply : public kesu_test::CountingMessage {
public:
    SoakReply(uint8_t handler, uint32_t ordinal, uint32_t sequence, uint32_t fillerBytes)
        : CountingMessage(static_cast<IPCMessageType>(kReplyType), {}, repliesDestroyed),
          handlerIndex(handler), connectionOrdinal(ordinal), seq(sequence), filler(fillerBytes) {
        repliesConstructed.fetch_add(1);
    }

    // Built by the sender thread, as every message's payload is.
    void serialize() override {
        std::vector<char> out;
        out.reserve(13 + filler);
        ipc_codec::appendU8(out, handlerIndex);
        ipc_codec::appendU32(out, connectionOrdinal);
        ipc_codec::appendU32(out, seq);
        ipc_codec::appendU32(out, filler);
        for (uint32_t i = 0; i < filler; ++i) out.push_back(fillerByte(handlerIndex, connectionOrdinal, seq, i));
        messageStruct.data.swap(out);
    }

    static char fillerByte(uint8_t handler, uint32_t ordinal, uint32_t sequence, uint32_t i) {
        return static_cast<char>((ordinal * 31u + sequence * 7u + i * 13u + handler) & 0xFFu);
    }

private:
    uint8_t handlerIndex;
    uint32_t connectionOrdinal;
    uint32_t seq;
    uint32_t filler;
};

// ---------------------------------------------------------------------------
// What the server sent per connection (digests) against what each handler
// received; what the client sent against what the server received. A
// connection's entry is checked and dropped once the server has closed it
// and both handlers are done with it.

class Ledger : public FaultServer::Observer {
public:
    explicit Ledger(std::vector<char> allowedPayload) : expectedAnnouncement(std::move(allowedPayload)) {}

    // Server thread.
    void connectionAccepted(FaultServer::ConnectionId id) override {
        std::lock_guard<std::mutex> lock(mutex);
        connections[id];
    }
    void frameSending(FaultServer::ConnectionId id, uint32_t /*type*/, uint64_t digest) override {
        std::lock_guard<std::mutex> lock(mutex);
        connections[id].sent.push_back(digest);
    }
    void frameSentWhole(FaultServer::ConnectionId id) override {
        std::lock_guard<std::mutex> lock(mutex);
        connections[id].sentWhole += 1;
    }
    void frameReceived(FaultServer::ConnectionId id, IPCMessageStruct const& frame) override;
    void connectionClosed(FaultServer::ConnectionId id, FaultServer::ConnectionSummary const& summary) override;

    // Client thread, from the handlers.
    void identified(size_t handler, FaultServer::ConnectionId id);
    void received(size_t handler, FaultServer::ConnectionId id, uint64_t index, uint64_t digest);
    void clientEnded(size_t handler, FaultServer::ConnectionId id, uint64_t messages, bool endedByPeer);

    // Once server and client are gone: checks what is left.
    void finishAll();

    uint64_t silentServerConnections() const {
        std::lock_guard<std::mutex> lock(mutex);
        return silentServer;
    }
    uint64_t connectionsChecked() const {
        std::lock_guard<std::mutex> lock(mutex);
        return checked;
    }
    uint64_t repliesReceived() const {
        std::lock_guard<std::mutex> lock(mutex);
        return replies;
    }

private:
    struct HandlerSide {
        bool done = false;
        bool identified = false;
        bool endedByPeer = false;
        uint64_t messages = 0;
    };
    struct Connection {
        std::vector<uint64_t> sent;  // digests of the frames begun, in order
        uint64_t sentWhole = 0;
        bool closed = false;
        std::array<HandlerSide, kHandlers> handlers{};
        uint64_t clientFrames = 0;
        bool ordinalKnown = false;
        uint32_t ordinal = 0;
        std::array<uint32_t, kHandlers> nextSeq{};
    };

    void checkReply(FaultServer::ConnectionId id, Connection& c, IPCMessageStruct const& frame);
    void finishIfDone(std::map<FaultServer::ConnectionId, Connection>::iterator it);

    const std::vector<char> expectedAnnouncement;
    mutable std::mutex mutex;
    std::map<FaultServer::ConnectionId, Connection> connections;  // guarded by mutex
    uint64_t silentServer = 0;                                    // guarded by mutex
    uint64_t checked = 0;                                         // guarded by mutex
    uint64_t replies = 0;                                         // guarded by mutex
};

void Ledger::frameReceived(FaultServer::ConnectionId id, IPCMessageStruct const& frame) {
    std::lock_guard<std::mutex> lock(mutex);
    Connection& c = connections[id];
    c.clientFrames += 1;
    if (c.clientFrames == 1) {
        // Queued by the client before any handler hears of the connection.
        if (frame.type != IPC_MSG_ALLOWED_MESSAGE_LIST || frame.data != expectedAnnouncement)
            failures.add("connection %llu: first client frame is type %d with %zu bytes, not the announcement",
                         static_cast<unsigned long long>(id), static_cast<int>(frame.type), frame.data.size());
        return;
    }
    checkReply(id, c, frame);
}

void Ledger::checkReply(FaultServer::ConnectionId id, Connection& c, IPCMessageStruct const& frame) {
    auto cid = static_cast<unsigned long long>(id);
    ipc_codec::PayloadReader in(frame.data);
    uint8_t handler = 0;
    uint32_t ordinal = 0, seq = 0, filler = 0;
    if (static_cast<uint32_t>(frame.type) != kReplyType || !in.readU8(handler) || !in.readU32(ordinal) ||
        !in.readU32(seq) || !in.readU32(filler) || handler >= kHandlers || in.remaining() != filler) {
        failures.add("connection %llu: client frame %llu (type %d, %zu bytes) is no reply", cid,
                     static_cast<unsigned long long>(c.clientFrames), static_cast<int>(frame.type),
                     frame.data.size());
        return;
    }
    ++replies;
    if (!c.ordinalKnown) {
        c.ordinalKnown = true;
        c.ordinal = ordinal;
    } else if (ordinal != c.ordinal) {
        failures.add("connection %llu: replies of client connections %u and %u on one socket", cid, c.ordinal,
                     ordinal);
    }
    if (seq != c.nextSeq[handler])
        failures.add("connection %llu: handler %u reply %u arrived where %u was due", cid, handler, seq,
                     c.nextSeq[handler]);
    c.nextSeq[handler] = seq + 1;
    for (uint32_t i = 0; i < filler; ++i) {
        if (frame.data[13 + i] != SoakReply::fillerByte(handler, ordinal, seq, i)) {
            failures.add("connection %llu: handler %u reply %u damaged at byte %u", cid, handler, seq, 13 + i);
            break;
        }
    }
}

void Ledger::connectionClosed(FaultServer::ConnectionId id, FaultServer::ConnectionSummary const& summary) {
    std::lock_guard<std::mutex> lock(mutex);
    if (summary.clientOutOfSync)
        failures.add("connection %llu: the client's byte stream lost its frame markers",
                     static_cast<unsigned long long>(id));
    if (summary.framesSentWhole == 0) ++silentServer;
    auto it = connections.find(id);
    it->second.closed = true;
    finishIfDone(it);
}

void Ledger::identified(size_t handler, FaultServer::ConnectionId id) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = connections.find(id);
    if (it == connections.end()) {
        failures.add("handler %zu: hello names connection %llu, which is unknown or over", handler,
                     static_cast<unsigned long long>(id));
        return;
    }
    if (it->second.handlers[handler].identified)
        failures.add("handler %zu: connection %llu heard of twice", handler, static_cast<unsigned long long>(id));
    it->second.handlers[handler].identified = true;
    // The server accepts in the order the client connects: every earlier
    // connection that this handler has not heard of, it never will.
    for (auto earlier = connections.begin(); earlier != connections.end() && earlier->first < id;) {
        auto next = std::next(earlier);
        if (!earlier->second.handlers[handler].done) {
            earlier->second.handlers[handler].done = true;
            finishIfDone(earlier);
        }
        earlier = next;
    }
}

void Ledger::received(size_t handler, FaultServer::ConnectionId id, uint64_t index, uint64_t digest) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = connections.find(id);
    if (it == connections.end()) return;  // reported by identified()
    std::vector<uint64_t> const& sent = it->second.sent;
    if (index >= sent.size())
        failures.add("handler %zu: connection %llu message %llu was never sent (%zu sent)", handler,
                     static_cast<unsigned long long>(id), static_cast<unsigned long long>(index), sent.size());
    else if (sent[static_cast<size_t>(index)] != digest)
        failures.add("handler %zu: connection %llu message %llu differs from the frame sent there", handler,
                     static_cast<unsigned long long>(id), static_cast<unsigned long long>(index));
}

void Ledger::clientEnded(size_t handler, FaultServer::ConnectionId id, uint64_t messages, bool endedByPeer) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = connections.find(id);
    if (it == connections.end()) return;
    HandlerSide& side = it->second.handlers[handler];
    side.done = true;
    side.messages = messages;
    side.endedByPeer = endedByPeer;
    finishIfDone(it);
}

void Ledger::finishIfDone(std::map<FaultServer::ConnectionId, Connection>::iterator it) {
    Connection const& c = it->second;
    if (!c.closed) return;
    for (HandlerSide const& side : c.handlers)
        if (!side.done) return;
    for (size_t h = 0; h < kHandlers; ++h) {
        HandlerSide const& side = c.handlers[h];
        if (side.messages > c.sentWhole)
            failures.add("handler %zu: connection %llu delivered %llu messages, the server sent %llu whole", h,
                         static_cast<unsigned long long>(it->first), static_cast<unsigned long long>(side.messages),
                         static_cast<unsigned long long>(c.sentWhole));
        else if (side.identified && side.endedByPeer && side.messages != c.sentWhole)
            failures.add("handler %zu: connection %llu ended by the server after %llu whole frames, %llu delivered", h,
                         static_cast<unsigned long long>(it->first), static_cast<unsigned long long>(c.sentWhole),
                         static_cast<unsigned long long>(side.messages));
    }
    ++checked;
    connections.erase(it);
}

void Ledger::finishAll() {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = connections.begin(); it != connections.end();) {
        auto next = std::next(it);
        if (!it->second.closed)
            failures.add("connection %llu was never closed by the server", static_cast<unsigned long long>(it->first));
        it->second.closed = true;
        for (HandlerSide& side : it->second.handlers) side.done = true;
        finishIfDone(it);
        it = next;
    }
}

// ---------------------------------------------------------------------------
// A handler that checks what it is told against the ledger and replies from
// every callback. Callbacks run on the client thread; clientStopped() on the
// driver's thread once stop() has returned (the client thread has ended).

class SoakHandler final : public IPCMessengerClient::IPCMessengerHandler {
public:
    SoakHandler(size_t handlerIndex, IPCMessengerClient& owner, Ledger& record, uint64_t seed)
        : index(handlerIndex), client(owner), ledger(record), rng(seed + handlerIndex) {}

    void onConnected() override;
    void onNewMessageReceived(IPCMessage const* message) override;
    void onDisconnected() override;
    // A connection still open when stop() returned ended without a notice,
    // which is allowed only for a stop.
    void clientStopped();

    bool connectedNow() const { return openNow.load(); }

    std::atomic<uint64_t> connected{0};
    std::atomic<uint64_t> identifiedConnections{0};
    std::atomic<uint64_t> messages{0};
    std::atomic<uint64_t> endedByPeer{0};
    std::atomic<uint64_t> endedByPeerSilent{0};  // ended by the server before its hello arrived
    std::atomic<uint64_t> endedInStop{0};
    std::atomic<uint64_t> endedWithoutNotice{0};
    std::atomic<uint64_t> repliesSent{0};
    std::atomic<uint64_t> thrown{0};

private:
    void reply(uint32_t fillerBytes) {
        client.sendMessage(new SoakReply(static_cast<uint8_t>(index), ordinal, nextSeq++, fillerBytes));
        repliesSent.fetch_add(1);
    }
    uint32_t replySize() {
        if (wantsLargeReplies && nextSeq < 4) return std::uniform_int_distribution<uint32_t>(64 << 10, 256 << 10)(rng);
        if (rng() % 32 == 0) return std::uniform_int_distribution<uint32_t>(1 << 10, 16 << 10)(rng);
        return static_cast<uint32_t>(rng() % 100);
    }
    void endConnection(bool byPeer) {
        if (identified) ledger.clientEnded(index, connection, count, byPeer);
        open = false;
        openNow.store(false);
    }

    const size_t index;
    IPCMessengerClient& client;
    Ledger& ledger;
    std::mt19937_64 rng;

    // Client thread while it runs; the driver's thread after stop().
    bool open = false;
    bool identified = false;
    bool wantsLargeReplies = false;
    FaultServer::ConnectionId connection = 0;
    uint64_t count = 0;  // messages on this connection
    uint32_t ordinal = 0;
    uint32_t nextSeq = 0;
    std::atomic<bool> openNow{false};
};

void SoakHandler::onConnected() {
    if (open) failures.add("handler %zu: onConnected while connection %u is still open", index, ordinal);
    open = true;
    openNow.store(true);
    identified = false;
    wantsLargeReplies = false;
    count = 0;
    ++ordinal;
    nextSeq = 0;
    connected.fetch_add(1);
    reply(replySize());
}

void SoakHandler::onNewMessageReceived(IPCMessage const* message) {
    if (!open) {
        failures.add("handler %zu: message outside a connection", index);
        return;
    }
    auto type = static_cast<uint32_t>(message->messageStruct.type) & ipc_frame::kMaxTypeNumber;
    std::vector<char> const& payload = message->messageStruct.data;
    if (!identified) {
        uint8_t flags = 0;
        if (type != kesu_soak::kHelloType || !kesu_soak::decodeHello(payload, connection, flags)) {
            failures.add("handler %zu: connection %u began with a type %u message, not the hello", index, ordinal,
                         type);
            return;
        }
        identified = true;
        wantsLargeReplies = (flags & kesu_soak::kHelloWantsLargeReplies) != 0;
        identifiedConnections.fetch_add(1);
        ledger.identified(index, connection);
    }
    ledger.received(index, connection, count, kesu_soak::frameDigest(type, payload.data(), payload.size()));
    ++count;
    messages.fetch_add(1);
    if (rng() % 2 == 0) reply(replySize());
    if (rng() % 509 == 0) {
        thrown.fetch_add(1);
        throw std::runtime_error("soak handler fails on purpose");
    }
}

void SoakHandler::onDisconnected() {
    if (!open) {
        failures.add("handler %zu: onDisconnected without an open connection", index);
        return;
    }
    bool byPeer = !stopping.load();
    if (byPeer) {
        endedByPeer.fetch_add(1);
        if (!identified) endedByPeerSilent.fetch_add(1);
    } else {
        endedInStop.fetch_add(1);
    }
    // The sender may still take it, or the tear-down deletes it.
    if (rng() % 4 == 0) reply(replySize());
    endConnection(byPeer);
}

void SoakHandler::clientStopped() {
    if (!open) return;
    endedWithoutNotice.fetch_add(1);
    endConnection(false);
}

// ---------------------------------------------------------------------------
// Aborts the process, naming what it was doing, when a stop overruns.

class StopWatchdog {
public:
    explicit StopWatchdog(Millis limit) : bound(limit), watcher([this] { watch(); }) {}
    ~StopWatchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        changed.notify_all();
        watcher.join();
    }
    void arm(char const* what) {
        std::lock_guard<std::mutex> lock(mutex);
        armedWhat = what;
        armedAt = Clock::now();
        armed = true;
    }
    Millis disarm() {
        std::lock_guard<std::mutex> lock(mutex);
        armed = false;
        return std::chrono::duration_cast<Millis>(Clock::now() - armedAt);
    }

private:
    void watch() {
        std::unique_lock<std::mutex> lock(mutex);
        while (!done) {
            changed.wait_for(lock, Millis(50));
            if (armed && Clock::now() - armedAt > bound) {
                std::fprintf(stderr, "soak: %s did not return within %lld ms\n", armedWhat,
                             static_cast<long long>(bound.count()));
                std::fflush(stdout);
                std::abort();
            }
        }
    }

    const Millis bound;
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;                  // guarded by mutex
    bool armed = false;                 // guarded by mutex
    char const* armedWhat = "";         // guarded by mutex
    Clock::time_point armedAt;          // guarded by mutex
    std::thread watcher;
};

// ---------------------------------------------------------------------------
// Counts the library's log lines by source line.

class LogLines {
public:
    LogLines() {
        kesustb::testing::setLogSink([this](STBLogRecord const&, kesustb::testing::LogEntry const& entry) {
            bool client = entry.file == kLogFileClient;
            if (client && entry.line >= 0 && entry.line < kLines)
                clientLines[static_cast<size_t>(entry.line)].fetch_add(1);
            else
                otherLines.fetch_add(1);
        });
    }
    ~LogLines() { kesustb::testing::setLogSink(nullptr); }
    uint64_t client(int line) const { return clientLines[static_cast<size_t>(line)].load(); }
    uint64_t other() const { return otherLines.load(); }
    void print() const {
        std::printf("log lines of the client by source line:");
        for (int line = 0; line < kLines; ++line)
            if (client(line) > 0) std::printf(" %d:%llu", line, static_cast<unsigned long long>(client(line)));
        std::printf("; others (retrier) %llu\n", static_cast<unsigned long long>(other()));
    }

private:
    static constexpr int kLines = 512;
    std::array<std::atomic<uint64_t>, kLines> clientLines{};
    std::atomic<uint64_t> otherLines{0};
};

long currentRssKb() {
    long pages = 0, resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0;
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

long peakRssKb() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::string makeTempDir() {
    char const* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kesu-soak-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        std::perror("soak: mkdtemp");
        std::exit(2);
    }
    return buffer.data();
}

std::atomic<uint64_t> delivered{0};

struct StopTimes {
    uint64_t count = 0;
    long long slowestMs = 0;
    long long totalMs = 0;
};

void stopClient(IPCMessengerClient& client, std::array<SoakHandler*, kHandlers> const& handlers, StopWatchdog& watchdog,
                StopTimes& times, char const* what) {
    stopping.store(true);
    watchdog.arm(what);
    client.stop();
    long long ms = watchdog.disarm().count();
    for (SoakHandler* handler : handlers) handler->clientStopped();
    stopping.store(false);
    times.count += 1;
    times.totalMs += ms;
    times.slowestMs = std::max(times.slowestMs, ms);
}

// How long the client runs before the next stop: often only long enough to
// be caught connecting or setting up, often in the middle of a connection's
// traffic, sometimes long enough for several connections.
Millis nextRunTime(std::mt19937_64& rng) {
    unsigned roll = static_cast<unsigned>(rng() % 100);
    if (roll < 20) return Millis(rng() % 30);
    if (roll < 60) return Millis(30 + rng() % 670);
    return Millis(700 + rng() % 3300);
}

}  // namespace

int main(int argc, char** argv) {
    long long seconds = 60;
    uint64_t seed = std::random_device{}();
    long long stopBoundMs = 3000;
    long long reportEvery = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue) seconds = std::atoll(argv[++i]);
        else if (arg == "--seed" && hasValue) seed = std::strtoull(argv[++i], nullptr, 10);
        else if (arg == "--stop-bound-ms" && hasValue) stopBoundMs = std::atoll(argv[++i]);
        else if (arg == "--report-every" && hasValue) reportEvery = std::atoll(argv[++i]);
        else {
            std::fprintf(stderr, "usage: soak [--seconds N] [--seed S] [--stop-bound-ms M] [--report-every N]\n");
            return 2;
        }
    }
    if (reportEvery <= 0) reportEvery = std::max(10LL, seconds / 12);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("soak: %lld s, seed %llu, stop bound %lld ms\n", seconds, static_cast<unsigned long long>(seed),
                stopBoundMs);

    std::string directory = makeTempDir();
    std::string socketPath = directory + "/messenger";
    std::set<IPCMessageType> allowed{IPC_MSG_UINT_26, IPC_MSG_PLAYER_MEDIA_INFO, IPC_MSG_LAUNCH_URI};
    IPCMessageAllowedMessageList announcement(allowed);
    announcement.serialize();

    LogLines logLines;
    Ledger ledger(announcement.messageStruct.data);
    FaultServer server({socketPath, seed, FaultServer::Profile::Soak, Millis(0)}, &ledger);
    server.start();
    StopWatchdog watchdog{Millis(stopBoundMs)};
    StopTimes stops;
    std::mt19937_64 schedule(seed ^ 0x50A4ull);
    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(seconds);
    auto nextReport = start + std::chrono::seconds(reportEvery);
    uint64_t starts = 0;
    std::array<uint64_t, kHandlers> connected{}, messages{}, byPeer{}, byPeerSilent{}, inStop{}, withoutNotice{},
        repliesSent{}, thrown{};
    uint64_t identifiedConnections = 0;
    bool finalPeerCloseSeen = false;
    {
        IPCMessengerClient client(socketPath);
        client.setAllowedMessages(allowed);
        client.setDeliveryCallback([](IPCMessage const&) { delivered.fetch_add(1); });
        SoakHandler first(0, client, ledger, seed), second(1, client, ledger, seed);
        std::array<SoakHandler*, kHandlers> handlers{&first, &second};
        for (SoakHandler* handler : handlers) client.addHandler(handler);

        while (Clock::now() < deadline) {
            client.start();
            ++starts;
            auto runUntil = std::min(deadline, Clock::now() + nextRunTime(schedule));
            std::this_thread::sleep_until(runUntil);
            stopClient(client, handlers, watchdog, stops, "a stop() in the middle of the run");
            if (Clock::now() >= nextReport) {
                nextReport += std::chrono::seconds(reportEvery);
                FaultServer::Totals t = server.totals();
                auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start);
                std::printf("[%4llds] connections %llu, frames out %llu, frames in %llu, stops %llu, rss %ld KB, "
                            "failures %zu\n",
                            static_cast<long long>(elapsed.count()),
                            static_cast<unsigned long long>(t.connections),
                            static_cast<unsigned long long>(t.framesSentWhole),
                            static_cast<unsigned long long>(t.framesReceived),
                            static_cast<unsigned long long>(stops.count), currentRssKb(), failures.count());
            }
            if (schedule() % 10 == 0) std::this_thread::sleep_for(Millis(schedule() % 300));
        }

        // Last: the server goes away under a connected client, which must
        // notice it on its own, then the client is stopped.
        client.start();
        ++starts;
        bool wasConnected = kesu_test::eventually([&] { return first.connectedNow(); }, Millis(10000));
        server.stop();
        if (wasConnected) {
            finalPeerCloseSeen = kesu_test::eventually(
                [&] { return !first.connectedNow() && !second.connectedNow(); }, Millis(5000));
            if (!finalPeerCloseSeen) failures.add("the client did not notice the server going away within 5 s");
        }
        stopClient(client, handlers, watchdog, stops, "the last stop()");
        for (SoakHandler* handler : handlers) client.removeHandler(handler);

        for (size_t h = 0; h < kHandlers; ++h) {
            connected[h] = handlers[h]->connected.load();
            messages[h] = handlers[h]->messages.load();
            byPeer[h] = handlers[h]->endedByPeer.load();
            byPeerSilent[h] = handlers[h]->endedByPeerSilent.load();
            inStop[h] = handlers[h]->endedInStop.load();
            withoutNotice[h] = handlers[h]->endedWithoutNotice.load();
            repliesSent[h] = handlers[h]->repliesSent.load();
            thrown[h] = handlers[h]->thrown.load();
        }
        identifiedConnections = first.identifiedConnections.load();
    }
    // The client is gone: every reply has had its last chance to be deleted.
    ledger.finishAll();
    FaultServer::Totals totals = server.totals();

    if (repliesConstructed.load() != repliesDestroyed.load())
        failures.add("%d replies constructed, %d destroyed", repliesConstructed.load(), repliesDestroyed.load());
    if (connected[0] != connected[1] || messages[0] != messages[1] || byPeer[0] != byPeer[1] ||
        inStop[0] != inStop[1] || withoutNotice[0] != withoutNotice[1])
        failures.add("the two handlers were told different things");
    if (connected[0] > totals.connections)
        failures.add("%llu onConnected for %llu connections accepted", static_cast<unsigned long long>(connected[0]),
                     static_cast<unsigned long long>(totals.connections));
    for (size_t h = 0; h < kHandlers; ++h) {
        if (connected[h] != byPeer[h] + inStop[h] + withoutNotice[h])
            failures.add("handler %zu: %llu connections, %llu ended", h, static_cast<unsigned long long>(connected[h]),
                         static_cast<unsigned long long>(byPeer[h] + inStop[h] + withoutNotice[h]));
        if (byPeerSilent[h] > ledger.silentServerConnections())
            failures.add("handler %zu: %llu connections ended by the server before any frame, the server had %llu", h,
                         static_cast<unsigned long long>(byPeerSilent[h]),
                         static_cast<unsigned long long>(ledger.silentServerConnections()));
    }
    if (delivered.load() != totals.framesReceived)
        failures.add("the client wrote %llu frames whole, the server received %llu",
                     static_cast<unsigned long long>(delivered.load()),
                     static_cast<unsigned long long>(totals.framesReceived));
    if (logLines.client(240) != thrown[0] + thrown[1])
        failures.add("%llu handler exceptions, %llu logged", static_cast<unsigned long long>(thrown[0] + thrown[1]),
                     static_cast<unsigned long long>(logLines.client(240)));
    if (logLines.client(122) != 0) failures.add("setting close-on-exec failed");

    std::printf("\nsoak: seed %llu, %lld s, client started %llu times\n", static_cast<unsigned long long>(seed),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count()),
                static_cast<unsigned long long>(starts));
    std::printf("connections: %llu accepted by the server, %llu onConnected per handler (%llu identified by hello); "
                "ended by the server %llu (%llu before its hello), by a stop with notice %llu, by a stop without "
                "notice %llu; %llu checked frame by frame\n",
                static_cast<unsigned long long>(totals.connections), static_cast<unsigned long long>(connected[0]),
                static_cast<unsigned long long>(identifiedConnections), static_cast<unsigned long long>(byPeer[0]),
                static_cast<unsigned long long>(byPeerSilent[0]), static_cast<unsigned long long>(inStop[0]),
                static_cast<unsigned long long>(withoutNotice[0]),
                static_cast<unsigned long long>(ledger.connectionsChecked()));
    std::printf("frames server to client: %llu sent whole (%llu bytes, largest payload %llu bytes, %zu of the 61 "
                "types of the factory's table), %llu dispatched to each handler\n",
                static_cast<unsigned long long>(totals.framesSentWhole),
                static_cast<unsigned long long>(totals.bytesSent),
                static_cast<unsigned long long>(totals.largestFrameSent), totals.tableTypesSent,
                static_cast<unsigned long long>(messages[0]));
    std::printf("frames client to server: %llu replies submitted, %llu frames written whole (announcements "
                "included), %llu received whole by the server (%llu replies), %llu bytes cut off by a closing "
                "server, at most %llu bytes left unread at a close\n",
                static_cast<unsigned long long>(repliesSent[0] + repliesSent[1]),
                static_cast<unsigned long long>(delivered.load()),
                static_cast<unsigned long long>(totals.framesReceived),
                static_cast<unsigned long long>(ledger.repliesReceived()),
                static_cast<unsigned long long>(totals.trailingBytesReceived),
                static_cast<unsigned long long>(totals.largestUnreadAtClose));
    std::printf("replies: %d constructed, %d destroyed; handler exceptions thrown %llu\n", repliesConstructed.load(),
                repliesDestroyed.load(), static_cast<unsigned long long>(thrown[0] + thrown[1]));
    std::printf("stops: %llu, slowest %lld ms, mean %.1f ms (bound %lld ms)\n",
                static_cast<unsigned long long>(stops.count), stops.slowestMs,
                stops.count > 0 ? static_cast<double>(stops.totalMs) / static_cast<double>(stops.count) : 0.0,
                stopBoundMs);
    std::printf("faults injected:\n%s", server.faultReport().c_str());
    logLines.print();
    std::printf("peak RSS: %ld KB\n", peakRssKb());
    failures.print();
    std::printf("failures: %zu\n", failures.count());
    ::rmdir(directory.c_str());
    return failures.count() == 0 ? 0 : 1;
}
