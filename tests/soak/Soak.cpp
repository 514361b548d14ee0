// One IPCMessengerClient with two replying handlers against the tools' server core playing every fault,
// stopped and restarted at random moments; what it checks, and why: docs/RELIABILITY.md ("What the soak checks").
//   soak [SECONDS [SEED [STOP_BOUND_MS]]]    (60 s, a random seed, 3000 ms)
#include <signal.h>
#include <sys/resource.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "server/Faults.h"
#include "KesuStbTesting.h"
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
constexpr uint32_t kReplyType = 0x50AD;  // handler, client connection, sequence (4 each), filler
constexpr uint32_t kLargeReply = 64 * 1024;  // a few fill the socket of a server that never reads

std::atomic<int> failures{0};
__attribute__((format(printf, 1, 2))) void fail(char const* format, ...) {  // printed as found, the first 40
    va_list args;
    va_start(args, format);
    flockfile(stdout);
    if (++failures <= 40) std::fputs("FAILED: ", stdout), std::vprintf(format, args), std::fputs("\n", stdout);
    funlockfile(stdout);
    va_end(args);
}

uint64_t digest(IPCMessageStruct const& frame) {  // of type and payload
    return std::hash<std::string_view>{}({frame.data.data(), frame.data.size()}) * 31u + uint32_t(frame.type);
}

// Raised by the driver around each stop(): a connection that ends meanwhile ended by the stop, not the server.
std::atomic<bool> stopping{false}, holdDispatch{false}, inDispatch{false};
std::atomic<int> repliesMade{0}, repliesDestroyed{0};
Counter delivered{0}, accepted{0}, thrown{0};

// The filler follows from the fields, so the server tells a damaged or misplaced reply.
std::vector<char> replyPayload(uint32_t handler, uint32_t ordinal, uint32_t sequence, size_t filler) {
    std::vector<char> out;
    for (uint32_t field : {handler, ordinal, sequence}) ipc_codec::appendU32(out, field);
    for (size_t i = 0; i < filler; ++i) out.push_back(char((ordinal * 31u + sequence * 7u + i * 13u + handler) & 0xFFu));
    return out;
}

// What the server sent per connection (digests) against what each handler received, and the client's frames as
// the server received them. Told after the fault injector, so the hello is the first frame of every connection.
struct Ledger : ServerObserver {
    Ledger(ScriptedServer& s, std::vector<char> announced) : core(s), announcement(std::move(announced)) { core.addObserver(this); }

    void connected(ConnectionId id) override {  // loop thread
        IPCMessageStruct hello{IPCMessageType(kHelloType), {}};
        ipc_codec::appendU64(hello.data, id);
        core.enqueue(id, Step::frame(hello));
        std::lock_guard<std::mutex> lock(mutex);
        connections[id], ++accepted;
    }
    void injected(ConnectionId id, std::string const& what) override {
        std::lock_guard<std::mutex> lock(mutex);
        ++faultsInjected[what.substr(0, what.find(':'))];
        if (what.rfind(faultName(Fault::NeverRead), 0) == 0) connections[id].neverRead = true;
    }
    void sendingForTesting(ConnectionId id, IPCMessageStruct const& frame) override {
        std::lock_guard<std::mutex> lock(mutex);
        connections[id].sent.push_back(digest(frame));
    }
    void frame(ConnectionId id, Direction direction, IPCMessageStruct const& frame) override {
        std::lock_guard<std::mutex> lock(mutex);
        Connection& c = connections[id];
        if (direction == Direction::ToClient) return void(++c.sentWhole), void(++framesOut);
        ++framesIn;
        if (c.clientFrames++ == 0)  // queued by the client before any handler hears of the connection
            return frame.type == IPC_MSG_ALLOWED_MESSAGE_LIST && frame.data == announcement
                       ? void() : fail("connection %llu: the first client frame is not the announcement", ull(id));
        ipc_codec::PayloadReader in(frame.data);
        uint32_t h = 0, ordinal = 0, seq = 0;
        if (uint32_t(frame.type) != kReplyType || !in.readU32(h) || !in.readU32(ordinal) || !in.readU32(seq) || h > 1)
            return fail("connection %llu: client frame %llu is no reply", ull(id), ull(c.clientFrames));
        if (uint32_t was = std::exchange(c.ordinal, ordinal); was != 0 && was != ordinal)
            fail("connection %llu: replies of client connections %u and %u on one socket", ull(id), was, ordinal);
        if (uint32_t due = std::exchange(c.nextSeq[h], seq + 1); seq != due)
            fail("connection %llu: handler %u reply %u where %u was due", ull(id), h, seq, due);
        if (frame.data != replyPayload(h, ordinal, seq, in.remaining()))
            fail("connection %llu: handler %u reply %u damaged", ull(id), h, seq);
    }
    void disconnected(ConnectionId id, ConnectionSummary const& summary, std::string const&) override {
        if (summary.outOfSync) fail("connection %llu: the client's stream lost its frame markers", ull(id));
        std::lock_guard<std::mutex> lock(mutex);
        connections[id].closed = true;
    }

    // Client thread: message `index` of connection `id` reached `handler`; true when the server never reads it.
    bool received(size_t handler, ConnectionId id, uint64_t index, IPCMessageStruct const& frame) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = connections.find(id);
        if (it == connections.end())
            return fail("handler %zu: a hello names connection %llu, unknown or over", handler, ull(id)), false;
        if (index >= it->second.sent.size() || it->second.sent[size_t(index)] != digest(frame))
            fail("handler %zu: connection %llu message %llu is not what the server sent", handler, ull(id), ull(index));
        for (auto earlier = connections.begin(); earlier != it;)  // the handlers are past those closed
            earlier = earlier->second.closed ? connections.erase(earlier) : std::next(earlier);
        return it->second.neverRead;
    }
    // The client saw the connection end without a stop, so the server ended it: every whole frame was delivered.
    void endedByServer(size_t handler, ConnectionId id, uint64_t messages) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = connections.find(id);
        if (it != connections.end() && messages != it->second.sentWhole)
            fail("handler %zu: connection %llu ended by the server after %llu messages of %llu sent whole", handler,
                 ull(id), ull(messages), ull(it->second.sentWhole));
        checked += handler == 0;
    }

    struct Connection {
        std::vector<uint64_t> sent;  // digests of the frames begun, in order
        uint64_t sentWhole = 0, clientFrames = 0;
        bool closed = false, neverRead = false;
        uint32_t ordinal = 0, nextSeq[2] = {0, 0};  // of the client connection whose replies arrive here
    };
    ScriptedServer& core;
    const std::vector<char> announcement;
    std::mutex mutex;
    uint64_t framesOut = 0, framesIn = 0, checked = 0;  // guarded by mutex
    std::map<ConnectionId, Connection> connections;     // guarded by mutex
    std::map<std::string, uint64_t> faultsInjected;     // by name; guarded by mutex
};

// Checks what it is told against the ledger and replies from every callback
// (on the client thread; the driver resets `open` once stop() has returned).
struct Handler final : IPCMessengerClient::IPCMessengerHandler {
    Handler(size_t i, IPCMessengerClient& c, Ledger& l, uint64_t seed) : index(i), client(c), ledger(l), rng(seed + i) {}

    void onConnected() override {
        if (open.exchange(true)) fail("handler %zu: onConnected while connection %u is still open", index, ordinal);
        count = nextSeq = 0, ++ordinal, ++connections;
        reply();
    }
    void onNewMessageReceived(IPCMessage const* message) override {
        if (!open) return fail("handler %zu: a message outside a connection", index);
        IPCMessageStruct const& frame = message->messageStruct;
        ipc_codec::PayloadReader in(frame.data);
        if (count == 0 && (uint32_t(frame.type) != kHelloType || !in.readU64(server) || in.remaining() != 0))
            return fail("handler %zu: connection %u began with type %u, not the hello", index, ordinal, uint32_t(frame.type));
        large = ledger.received(index, server, count++, frame);
        if (index == 0 && holdDispatch.exchange(false)) {  // the driver stops the client during this callback,
            inDispatch = true;                              // which half the time asks for the stop itself first
            kesu_test::eventually([] { return stopping.load(); }, Millis(60000));
            if (rng() % 2 == 0) client.stop();
        }
        if (rng() % 2 == 0) reply();
        if (rng() % 509 == 0) throw ull(++thrown);  // logged; the other handler still hears of the message
    }
    void onDisconnected() override {
        if (!open.exchange(false)) return fail("handler %zu: onDisconnected without a connection", index);
        if (rng() % 4 == 0) reply();  // the sender may take it yet, or the tear-down deletes it
        if (!stopping && count > 0) ledger.endedByServer(index, server, count);
    }
    void reply() {
        uint32_t filler = large && nextSeq < 4 ? kLargeReply + uint32_t(rng() % (3 * kLargeReply))
                          : rng() % 32 == 0   ? uint32_t(1024 + rng() % (15 * 1024))
                                              : uint32_t(rng() % 100);
        ++repliesMade;
        auto payload = replyPayload(uint32_t(index), ordinal, nextSeq++, filler);
        client.sendMessage(new kesu_test::CountingMessage(IPCMessageType(kReplyType), std::move(payload), repliesDestroyed));
    }

    std::atomic<bool> open{false};
    Counter connections{0};
    const size_t index;
    IPCMessengerClient& client;
    Ledger& ledger;
    std::mt19937_64 rng;
    bool large = false;  // the client thread's while it runs, the driver's after stop()
    uint64_t count = 0, server = 0;
    uint32_t ordinal = 0, nextSeq = 0;
};

// Names the stop that outlasts its bound, then aborts: a hang fails fast.
char const* volatile hungStop = "";
extern "C" void onStopOverrun(int) {
    for (char const* part : {"soak: a stop() overran its bound, ", const_cast<char const*>(hungStop), "\n"})
        [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, part, std::strlen(part));
    std::abort();
}

long peakRssKb() {
    rusage usage{};
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 4 || (argc > 1 && std::atoll(argv[1]) <= 0))
        return std::fprintf(stderr, "usage: soak [SECONDS [SEED [STOP_BOUND_MS]]]\n"), 2;
    long long seconds = argc > 1 ? std::atoll(argv[1]) : 60, boundMs = argc > 3 ? std::atoll(argv[3]) : 3000;
    uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : std::random_device{}();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ::signal(SIGALRM, onStopOverrun);
    std::printf("soak: %lld s, seed %llu, stop bound %lld ms\n", seconds, ull(seed), boundMs);
    Counter handlerFailuresLogged{0}, closeOnExecFailures{0};
    kesustb::testing::setLogSink([&](STBLogRecord const&, kesustb::testing::LogEntry const& entry) {
        if (entry.file == kLogFileClient) handlerFailuresLogged += entry.line == 240, closeOnExecFailures += entry.line == 122;
    });

    std::string path = "/tmp/kesu-soak-" + std::to_string(::getpid()), error;
    std::set<IPCMessageType> allowed{IPC_MSG_UINT_26, IPC_MSG_PLAYER_MEDIA_INFO, IPC_MSG_LAUNCH_URI};
    IPCMessageAllowedMessageList announcement(allowed);
    announcement.serialize();
    std::vector<Fault> everyFault;
    parseFaults("all", everyFault, error);
    EventLoop serverLoop;
    auto core = std::make_unique<ScriptedServer>(serverLoop, path);
    FaultInjector injector(*core, everyFault, seed);
    core->addObserver(&injector);
    Ledger ledger(*core, announcement.messageStruct.data);
    if (!core->listen(error)) return std::fprintf(stderr, "soak: %s\n", error.c_str()), 2;
    std::thread loop([&] {
        serverLoop.run();
        core->shutDown();
    });

    std::mt19937_64 schedule(seed ^ 0x50A4ull);
    std::map<std::string, uint64_t> stopsIn;
    uint64_t starts = 0;
    auto client = std::make_unique<IPCMessengerClient>(path);
    client->setAllowedMessages(allowed);
    client->setDeliveryCallback([](IPCMessage const&) { ++delivered; });
    Handler first(0, *client, ledger, seed), second(1, *client, ledger, seed);
    for (Handler* handler : {&first, &second}) client->addHandler(handler);
    auto stopClient = [&] {
        hungStop = starts == 0 ? "never started" : !first.open ? "not connected" : inDispatch ? "dispatching"
                   : repliesMade > repliesDestroyed ? "with a reply not yet written" : "receiving";
        ++stopsIn[const_cast<char const*>(hungStop)], stopping = true;
        ::alarm(static_cast<unsigned>((boundMs + 999) / 1000));
        client->stop();
        ::alarm(0);
        for (Handler* handler : {&first, &second}) handler->open = false;  // a stop may end one without a notice
        holdDispatch = inDispatch = stopping = false;
    };

    stopClient();
    const std::chrono::seconds reportEvery(std::max(10LL, seconds / 12));  // so that memory growth shows
    auto began = Clock::now(), nextReport = began + reportEvery;
    for (auto deadline = began + std::chrono::seconds(seconds); Clock::now() < deadline;) {
        client->start(), ++starts;
        // Caught connecting, inside a callback, in the middle of a connection, or after several connections.
        unsigned roll = static_cast<unsigned>(schedule() % 100);
        if ((holdDispatch = roll < 10)) kesu_test::eventually([] { return inDispatch.load(); }, Millis(5000));
        else if (roll < 30) std::this_thread::sleep_for(std::chrono::microseconds(schedule() % 2000));
        else std::this_thread::sleep_for(Millis(roll < 75 ? 30 + schedule() % 670 : 700 + schedule() % 3300));
        stopClient();
        if (schedule() % 10 == 0) std::this_thread::sleep_for(Millis(schedule() % 300));
        if (Clock::now() < nextReport) continue;
        nextReport += reportEvery;
        std::printf("[%4llds] %llu connections, peak RSS %ld KB\n", ull((Clock::now() - began) / std::chrono::seconds(1)),
                    ull(accepted), peakRssKb());
    }

    // Last, the server goes away under a connected client, which must notice on its own.
    client->start(), ++starts;
    bool wasConnected = kesu_test::eventually([&] { return first.open.load(); }, Millis(10000));
    serverLoop.quit();
    loop.join();
    if (wasConnected && !kesu_test::eventually([&] { return !first.open && !second.open; }, Millis(5000)))
        fail("the client did not notice the server going away within 5 s");
    stopClient();
    client.reset();  // every reply has had its last chance to be deleted
    core.reset();
    kesustb::testing::setLogSink(nullptr);

    if (first.connections > accepted)
        fail("%llu onConnected for %llu connections accepted", ull(first.connections), ull(accepted));
    if (delivered != ledger.framesIn)
        fail("the client wrote %llu frames whole, the server received %llu", ull(delivered), ull(ledger.framesIn));
    if (repliesMade != repliesDestroyed) fail("%d replies made, %d destroyed", repliesMade.load(), repliesDestroyed.load());
    if (handlerFailuresLogged != thrown) fail("%llu handler exceptions, %llu logged", ull(thrown), ull(handlerFailuresLogged));
    if (closeOnExecFailures != 0) fail("setting close-on-exec failed");

    std::printf("soak: seed %llu, %llu starts, %llu connections, %llu ended by the server and checked; frames: %llu "
                "sent whole, %llu written whole by the client, %llu received; %d replies; %llu handler exceptions; "
                "peak RSS %ld KB; stops:", ull(seed), ull(starts), ull(accepted), ull(ledger.checked), ull(ledger.framesOut),
                ull(delivered), ull(ledger.framesIn), repliesMade.load(), ull(thrown), peakRssKb());
    for (auto const& [state, stops] : stopsIn) std::printf(" %s %llu", state.c_str(), ull(stops));
    for (size_t f = 0; f < size_t(Fault::Count); ++f)
        std::printf("%s %s %llu", f == 0 ? "\nfaults injected:" : "", faultName(Fault(f)), ull(ledger.faultsInjected[faultName(Fault(f))]));
    std::printf("\nfailures: %d\n", failures.load());
    return failures == 0 ? 0 : 1;
}
