// One IPCMessengerClient with two replying handlers against the tools' server
// core playing a bad server (every fault of FaultInjector), stopped and
// restarted at random moments: before the first start, while connecting,
// inside a callback (which half the time asks for the stop itself), amid a
// connection's traffic or after several. It fails, naming each failure,
// unless: no stop() outlasts the bound (a watchdog aborts, naming the state);
// each handler gets one onConnected per connection and one onDisconnected for
// each connection the server ended; every message equals the frame the server
// sent there (by digest), all it sent whole; the client's frames arrive whole,
// in order, the announcement first; the frames the client reported written
// whole are exactly those the server received; every reply is destroyed;
// every handler exception is logged once.
//
//   soak [SECONDS [SEED [STOP_BOUND_MS]]]    (60 s, a random seed, 3000 ms)
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Faults.h"
#include "KesuStbTesting.h"
#include "ServerCore.h"
#include "fakes/CountingMessage.h"
#include "fakes/Eventually.h"
#include "kesu/ipc/IPCMessengerClient.h"
#include "kesu/ipc/PayloadCodec.h"

namespace {

using namespace kesu_tools;
using ull = unsigned long long;
using Counter = std::atomic<uint64_t>;

// Unknown to the factory and never drawn by the fault scripts.
constexpr uint32_t kHelloType = 0x50AC;  // payload: the server's connection id (8)
constexpr uint32_t kReplyType = 0x50AD;  // handler (1), client connection (4), sequence (4), filler
constexpr size_t kReplyFields = 9;
constexpr uint32_t kLargeReply = 64 * 1024;  // a few fill the socket of a server that never reads

std::mutex failuresMutex;
std::vector<std::string> failures;  // guarded by failuresMutex

__attribute__((format(printf, 1, 2))) void fail(char const* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(failuresMutex);
    failures.emplace_back(text);
}

uint64_t digest(IPCMessageStruct const& frame) {  // FNV-1a over type and payload
    uint64_t hash = 0xcbf29ce484222325ull;
    auto mix = [&hash](uint32_t byte) { hash = (hash ^ (byte & 0xFFu)) * 0x100000001b3ull; };
    for (int shift = 24; shift >= 0; shift -= 8) mix(static_cast<uint32_t>(frame.type) >> shift);
    for (char c : frame.data) mix(static_cast<unsigned char>(c));
    return hash;
}

// Raised by the driver around each stop(): a connection that ends meanwhile
// ended by the stop, not by the server.
std::atomic<bool> stopping{false}, holdDispatch{false}, inDispatch{false};
std::atomic<int> repliesMade{0}, repliesDestroyed{0}, largeInFlight{0};
Counter delivered{0};

// The filler follows from the fields, so the server tells a damaged or misplaced reply.
char fillerByte(uint8_t handler, uint32_t ordinal, uint32_t sequence, size_t i) {
    return static_cast<char>((ordinal * 31u + sequence * 7u + i * 13u + handler) & 0xFFu);
}

class Reply : public kesu_test::CountingMessage {
public:
    Reply(uint8_t handler, uint32_t ordinal, uint32_t sequence, uint32_t filler)
        : CountingMessage(static_cast<IPCMessageType>(kReplyType), {}, repliesDestroyed), large(filler >= kLargeReply) {
        ipc_codec::appendU8(messageStruct.data, handler);
        ipc_codec::appendU32(messageStruct.data, ordinal);
        ipc_codec::appendU32(messageStruct.data, sequence);
        for (uint32_t i = 0; i < filler; ++i) messageStruct.data.push_back(fillerByte(handler, ordinal, sequence, i));
        ++repliesMade;
        largeInFlight += large;
    }
    ~Reply() override { largeInFlight -= large; }

private:
    const int large;
};

// What the server sent per connection (digests) against what each handler
// received, and the client's frames as the server received them.
class Ledger : public ServerObserver {
public:
    Ledger(ServerCore& server, std::vector<char> announcementPayload)
        : core(server), announcement(std::move(announcementPayload)) {}

    // Loop thread. Told after the fault injector, so the hello is the first
    // frame of every connection that gets one.
    void connected(ConnectionId id) override {
        IPCMessageStruct hello;
        hello.type = static_cast<IPCMessageType>(kHelloType);
        ipc_codec::appendU64(hello.data, id);
        core.enqueue(id, Step::frame(hello));
        std::lock_guard<std::mutex> lock(mutex);
        connections[id];
        ++accepted;
    }
    void injected(ConnectionId id, std::string const& what) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (what.rfind(faultName(Fault::NeverRead), 0) == 0) connections[id].neverRead = true;
    }
    void sending(ConnectionId id, IPCMessageStruct const& frame) override {
        std::lock_guard<std::mutex> lock(mutex);
        connections[id].sent.push_back(digest(frame));
    }
    void frame(ConnectionId id, Direction direction, IPCMessageStruct const& frame) override;
    void disconnected(ConnectionId id, ConnectionSummary const& summary, std::string const&) override {
        if (summary.outOfSync) fail("connection %llu: the client's stream lost its frame markers", ull(id));
        std::lock_guard<std::mutex> lock(mutex);
        auto it = connections.find(id);
        it->second.closed = true;
        if (id < latest) connections.erase(it);  // the handlers are past it
    }

    // Client thread: message `index` of connection `id` reached `handler`.
    // True when the server never reads the connection.
    bool received(size_t handler, ConnectionId id, uint64_t index, IPCMessageStruct const& frame) {
        uint64_t frameDigest = digest(frame);
        std::lock_guard<std::mutex> lock(mutex);
        auto it = connections.find(id);
        if (it == connections.end())
            return fail("handler %zu: a hello names connection %llu, unknown or over", handler, ull(id)), false;
        std::vector<uint64_t> const& sent = it->second.sent;
        if (index >= sent.size() || sent[static_cast<size_t>(index)] != frameDigest)
            fail("handler %zu: connection %llu message %llu is not what the server sent", handler, ull(id), ull(index));
        latest = std::max(latest, id);
        for (auto earlier = connections.begin(); earlier != it;)
            earlier = earlier->second.closed ? connections.erase(earlier) : std::next(earlier);
        return it->second.neverRead;
    }
    // The client saw the connection end without a stop: the server ended it,
    // after its last whole frame, and every one of them was delivered.
    void endedByServer(size_t handler, ConnectionId id, uint64_t messages) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = connections.find(id);
        if (it != connections.end() && messages != it->second.sentWhole)
            fail("handler %zu: connection %llu ended by the server after %llu messages of %llu sent whole", handler,
                 ull(id), ull(messages), ull(it->second.sentWhole));
        checked += handler == 0;
    }

    std::mutex mutex;
    uint64_t accepted = 0, framesOut = 0, framesIn = 0, checked = 0;  // guarded by mutex

private:
    struct Connection {
        std::vector<uint64_t> sent;  // digests of the frames begun, in order
        uint64_t sentWhole = 0, clientFrames = 0;
        bool closed = false, neverRead = false;
        uint32_t ordinal = 0;  // of the client connection whose replies arrive here
        std::array<uint32_t, 2> nextSeq{};
    };

    ServerCore& core;
    const std::vector<char> announcement;
    std::map<ConnectionId, Connection> connections;  // guarded by mutex
    ConnectionId latest = 0;                          // guarded by mutex; the last a hello named
};

void Ledger::frame(ConnectionId id, Direction direction, IPCMessageStruct const& frame) {
    std::lock_guard<std::mutex> lock(mutex);
    Connection& c = connections[id];
    if (direction == Direction::ToClient) {
        ++c.sentWhole;
        ++framesOut;
        return;
    }
    ++framesIn;
    if (c.clientFrames++ == 0) {  // queued by the client before any handler hears of the connection
        if (frame.type != IPC_MSG_ALLOWED_MESSAGE_LIST || frame.data != announcement)
            fail("connection %llu: the first client frame is not the announcement", ull(id));
        return;
    }
    ipc_codec::PayloadReader in(frame.data);
    uint8_t h = 0;
    uint32_t ordinal = 0, seq = 0;
    if (static_cast<uint32_t>(frame.type) != kReplyType || !in.readU8(h) || !in.readU32(ordinal) ||
        !in.readU32(seq) || h > 1)
        return fail("connection %llu: client frame %llu is no reply", ull(id), ull(c.clientFrames));
    if (c.ordinal != 0 && ordinal != c.ordinal)
        fail("connection %llu: replies of client connections %u and %u on one socket", ull(id), c.ordinal, ordinal);
    c.ordinal = ordinal;
    if (seq != c.nextSeq[h]) fail("connection %llu: handler %u reply %u where %u was due", ull(id), h, seq, c.nextSeq[h]);
    c.nextSeq[h] = seq + 1;
    for (size_t i = kReplyFields; i < frame.data.size(); ++i)
        if (frame.data[i] != fillerByte(h, ordinal, seq, i - kReplyFields))
            return fail("connection %llu: handler %u reply %u damaged at byte %zu", ull(id), h, seq, i);
}

// Checks what it is told against the ledger and replies from every
// callback. Callbacks run on the client thread; stopped() on the driver's
// once stop() has returned.
class Handler final : public IPCMessengerClient::IPCMessengerHandler {
public:
    Handler(size_t handlerIndex, IPCMessengerClient& owner, Ledger& record, uint64_t seed)
        : index(handlerIndex), client(owner), ledger(record), rng(seed + handlerIndex) {}

    void onConnected() override {
        if (open) fail("handler %zu: onConnected while connection %u is still open", index, ordinal);
        open = true;
        count = nextSeq = 0;
        ++ordinal;
        ++connections;
        reply();
    }
    void onNewMessageReceived(IPCMessage const* message) override {
        if (!open) return fail("handler %zu: a message outside a connection", index);
        IPCMessageStruct const& frame = message->messageStruct;
        ipc_codec::PayloadReader in(frame.data);
        if (count == 0 && (static_cast<uint32_t>(frame.type) != kHelloType || !in.readU64(server) || in.remaining() != 0))
            return fail("handler %zu: connection %u began with type %u, not the hello", index, ordinal,
                        static_cast<uint32_t>(frame.type));
        large = ledger.received(index, server, count++, frame);
        ++messages;
        if (index == 0 && holdDispatch.exchange(false)) {
            // The driver stops the client while this callback runs; half the
            // time the callback asks for the stop itself first.
            inDispatch = true;
            while (!stopping) std::this_thread::sleep_for(std::chrono::microseconds(100));
            if (rng() % 2 == 0) client.stop();
        }
        if (rng() % 2 == 0) reply();
        if (rng() % 509 == 0) {
            ++thrown;
            throw std::runtime_error("soak handler fails on purpose");
        }
    }
    void onDisconnected() override {
        if (!open) return fail("handler %zu: onDisconnected without a connection", index);
        bool byPeer = !stopping;
        ++(byPeer ? endedByPeer : endedInStop);
        if (rng() % 4 == 0) reply();  // the sender may take it yet, or the tear-down deletes it
        end(byPeer);
    }
    // A connection still open when stop() returned ended without a notice:
    // only a stop may do that.
    void stopped() {
        if (open) ++endedSilently, end(false);
    }

    std::atomic<bool> open{false};
    Counter connections{0}, messages{0}, endedByPeer{0}, endedInStop{0}, endedSilently{0}, thrown{0};

private:
    void reply() {
        uint32_t filler = large && nextSeq < 4 ? kLargeReply + static_cast<uint32_t>(rng() % (3 * kLargeReply))
                          : rng() % 32 == 0   ? static_cast<uint32_t>(1024 + rng() % (15 * 1024))
                                              : static_cast<uint32_t>(rng() % 100);
        client.sendMessage(new Reply(static_cast<uint8_t>(index), ordinal, nextSeq++, filler));
    }
    void end(bool byPeer) {
        if (byPeer && count > 0) ledger.endedByServer(index, server, count);
        open = false;
    }

    const size_t index;
    IPCMessengerClient& client;
    Ledger& ledger;
    std::mt19937_64 rng;
    // The client thread's while it runs; the driver's after stop().
    bool large = false;
    ConnectionId server = 0;
    uint64_t count = 0;
    uint32_t ordinal = 0, nextSeq = 0;
};

// Names the stop that outlasts its bound, then aborts: a hang fails fast.
char const* volatile hungStop = "";
extern "C" void onStopOverrun(int) {
    char const* what = hungStop;
    for (char const* part : {"soak: a stop() overran its bound, ", what, "\n"})
        [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, part, std::strlen(part));
    std::abort();
}

long peakRssKb() {
    rusage usage{};
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : 0;
}

enum State { NeverStarted, NotConnected, Receiving, Dispatching, WritingLarge, kStates };
char const* const kStateNames[] = {"never started", "not connected", "receiving", "dispatching",
                                   "with a large reply queued"};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 4 || (argc > 1 && std::atoll(argv[1]) <= 0))
        return std::fprintf(stderr, "usage: soak [SECONDS [SEED [STOP_BOUND_MS]]]\n"), 2;
    long long seconds = argc > 1 ? std::atoll(argv[1]) : 60, boundMs = argc > 3 ? std::atoll(argv[3]) : 3000;
    uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : std::random_device{}();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ::signal(SIGALRM, onStopOverrun);
    std::printf("soak: %lld s, seed %llu, stop bound %lld ms\n", seconds, ull(seed), boundMs);
    std::array<Counter, 512> logLines{};
    kesustb::testing::setLogSink([&logLines](STBLogRecord const&, kesustb::testing::LogEntry const& entry) {
        if (entry.file == kLogFileClient && entry.line >= 0 && entry.line < 512) ++logLines[size_t(entry.line)];
    });

    char directory[] = "/tmp/kesu-soak-XXXXXX";
    if (::mkdtemp(directory) == nullptr) return std::perror("soak: mkdtemp"), 2;
    std::string path = std::string(directory) + "/messenger", error;
    std::set<IPCMessageType> allowed{IPC_MSG_UINT_26, IPC_MSG_PLAYER_MEDIA_INFO, IPC_MSG_LAUNCH_URI};
    IPCMessageAllowedMessageList announcement(allowed);
    announcement.serialize();

    std::vector<Fault> everyFault;
    parseFaults("all", everyFault, error);
    auto core = std::make_unique<ServerCore>(ServerCore::Options{path, true, ""});
    FaultInjector injector(*core, everyFault, seed);
    Ledger ledger(*core, announcement.messageStruct.data);
    core->addObserver(&injector);
    core->addObserver(&ledger);
    if (!core->listen(error)) return std::fprintf(stderr, "soak: %s\n", error.c_str()), 2;
    std::thread loop([&core] { core->run(); });

    std::mt19937_64 schedule(seed ^ 0x50A4ull);
    std::array<uint64_t, kStates> stopsIn{};
    long long slowestStopMs = 0;
    uint64_t starts = 0;
    auto client = std::make_unique<IPCMessengerClient>(path);
    client->setAllowedMessages(allowed);
    client->setDeliveryCallback([](IPCMessage const&) { ++delivered; });
    Handler first(0, *client, ledger, seed), second(1, *client, ledger, seed);
    for (Handler* handler : {&first, &second}) client->addHandler(handler);
    auto stopClient = [&] {
        State state = starts == 0 ? NeverStarted
                      : !first.open ? NotConnected
                      : inDispatch  ? Dispatching
                                    : largeInFlight > 0 ? WritingLarge : Receiving;
        stopping = true;
        auto stopBegan = Clock::now();
        hungStop = kStateNames[state];
        ::alarm(static_cast<unsigned>((boundMs + 999) / 1000));
        client->stop();
        ::alarm(0);
        slowestStopMs = std::max<long long>(slowestStopMs, (Clock::now() - stopBegan) / Millis(1));
        for (Handler* handler : {&first, &second}) handler->stopped();
        holdDispatch = inDispatch = stopping = false;
        ++stopsIn[state];
    };

    auto began = Clock::now(), deadline = began + std::chrono::seconds(seconds);
    auto reportEvery = std::chrono::seconds(std::max(10LL, seconds / 12));
    auto nextReport = began + reportEvery;
    stopClient();
    while (Clock::now() < deadline) {
        client->start();
        ++starts;
        // Caught connecting, inside a callback, in the middle of a
        // connection, or after several connections.
        unsigned roll = static_cast<unsigned>(schedule() % 100);
        holdDispatch = roll < 10;
        if (roll < 10) kesu_test::eventually([] { return inDispatch.load(); }, Millis(5000));
        else if (roll < 30) std::this_thread::sleep_for(std::chrono::microseconds(schedule() % 2000));
        else std::this_thread::sleep_for(Millis(roll < 75 ? 30 + schedule() % 670 : 700 + schedule() % 3300));
        stopClient();
        if (schedule() % 10 == 0) std::this_thread::sleep_for(Millis(schedule() % 300));
        if (Clock::now() < nextReport) continue;
        nextReport += reportEvery;
        std::lock_guard<std::mutex> lock(ledger.mutex);
        std::printf("[%4llds] connections %llu, frames out %llu, in %llu, peak RSS %ld KB\n",
                    ull((Clock::now() - began) / std::chrono::seconds(1)), ull(ledger.accepted), ull(ledger.framesOut),
                    ull(ledger.framesIn), peakRssKb());
    }

    // Last, the server goes away under a connected client, which must notice
    // on its own.
    client->start();
    ++starts;
    bool wasConnected = kesu_test::eventually([&] { return first.open.load(); }, Millis(10000));
    core->stop();
    loop.join();
    if (wasConnected && !kesu_test::eventually([&] { return !first.open && !second.open; }, Millis(5000)))
        fail("the client did not notice the server going away within 5 s");
    stopClient();
    for (Handler* handler : {&first, &second}) client->removeHandler(handler);
    client.reset();  // every reply has had its last chance to be deleted
    core.reset();
    kesustb::testing::setLogSink(nullptr);
    ::rmdir(directory);

    uint64_t thrown = first.thrown + second.thrown;
    if (first.connections > ledger.accepted)
        fail("%llu onConnected for %llu connections accepted", ull(first.connections), ull(ledger.accepted));
    if (delivered != ledger.framesIn)
        fail("the client wrote %llu frames whole, the server received %llu", ull(delivered), ull(ledger.framesIn));
    if (repliesMade != repliesDestroyed) fail("%d replies made, %d destroyed", repliesMade.load(), repliesDestroyed.load());
    if (logLines[240] != thrown) fail("%llu handler exceptions, %llu logged", ull(thrown), ull(logLines[240]));
    if (logLines[122] != 0) fail("setting close-on-exec failed");

    std::printf("soak: seed %llu, %llu starts; connections %llu, onConnected %llu per handler, ended by the server "
                "%llu (%llu checked), by a stop %llu, by a stop without a notice %llu\nframes: %llu sent whole, %llu "
                "dispatched per handler; %llu written whole by the client, %llu received whole; replies %d made, %d "
                "destroyed; handler exceptions %llu, logged %llu\nstops, slowest %lld ms:",
                ull(seed), ull(starts), ull(ledger.accepted), ull(first.connections), ull(first.endedByPeer),
                ull(ledger.checked), ull(first.endedInStop), ull(first.endedSilently), ull(ledger.framesOut),
                ull(first.messages), ull(delivered), ull(ledger.framesIn), repliesMade.load(), repliesDestroyed.load(),
                ull(thrown), ull(logLines[240]), slowestStopMs);
    for (size_t s = 0; s < kStates; ++s) std::printf(" %s %llu%s", kStateNames[s], ull(stopsIn[s]), s + 1 < kStates ? "," : "\n");
    std::printf("faults injected:");
    for (size_t f = 0; f < static_cast<size_t>(Fault::Count); ++f)
        std::printf(" %s %llu", faultName(Fault(f)), ull(injector.count(Fault(f))));
    std::printf("\npeak RSS: %ld KB\n", peakRssKb());
    for (size_t i = 0; i < failures.size() && i < 40; ++i) std::printf("FAILED: %s\n", failures[i].c_str());
    std::printf("failures: %zu\n", failures.size());
    return failures.empty() ? 0 : 1;
}
