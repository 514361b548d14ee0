// The lifecycle model: one IPCMessengerClient with two replying handlers and a flooding thread, against the
// tools' server core playing every fault, driven through starts and every kind of stop from several threads
// while signals without SA_RESTART hit every thread. The client's promises are checked at every step; what
// and why: docs/RELIABILITY.md ("What the soak checks").
//   soak [SECONDS [SEED [STOP_BOUND_MS]]]    (60 s, a random seed, 3000 ms)
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <unordered_map>

#include "server/Faults.h"
#include "KesuStbTesting.h"
#include "fakes/Eventually.h"
#include "kesu/ipc/IPCMessengerClient.h"
#include "kesu/ipc/PayloadCodec.h"

namespace {

using namespace kesu_tools;
using ull = unsigned long long;
using Counter = std::atomic<uint64_t>;

// Unknown to the factory and never drawn by the fault scripts.
constexpr uint32_t kHelloType = 0x50AC;  // payload: the server's connection id (8)
constexpr uint32_t kReplyType = 0x50AD;
constexpr uint32_t kLargeReply = 64 * 1024;  // a few fill the socket of a server that never reads
constexpr size_t kSendQueueLimit = 1024 * 1024;
// Messages in the hands of their submitters: each of the three holds at most one of at most 320 KiB.
constexpr size_t kSubmittingBytes = 3 * 320 * 1024;

std::atomic<int> failures{0};
__attribute__((format(printf, 1, 2))) void fail(char const* format, ...) {  // printed as found, the first 40
    va_list args;
    va_start(args, format);
    flockfile(stdout);
    if (++failures <= 40) {
        std::fputs("FAILED: ", stdout);
        std::vprintf(format, args);
        std::fputs("\n", stdout);
    }
    funlockfile(stdout);
    va_end(args);
}

// Where the driver is. Once a callback has asked for a stop, the handlers hear of nothing more but the end
// of the connection they were told of, until the driver's next start(); once an owner's stop() has
// returned, of nothing at all.
Counter startsCalled{0};          // raised just before each start()
Counter callbackStops{0};         // raised by each stop() a callback makes
Counter startsAtCallbackStop{0};  // startsCalled when the last one came
std::atomic<bool> stopping{false}, quiet{false}, holdDispatch{false}, inDispatch{false};
std::atomic<int> inCallback{0};
Counter accepted{0}, thrown{0}, delivered{0}, dropped{0}, signals{0};

// Every message the model submits, from its construction to its deletion: written whole (delivery
// callback) or dropped by the send queue (drop callback), never both, never twice, and deleted once.
class ModelMessage : public IPCMessage {
public:
    ModelMessage(std::vector<char> payload);
    ~ModelMessage() override;
    const uint64_t id;
};
struct MessageBook {
    enum Outcome : uint8_t { Delivered = 1, Dropped = 2 };
    void made(uint64_t id, size_t bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        alive[id] = 0;
        liveBytes += bytes;
        peakBytes = std::max(peakBytes, liveBytes);
    }
    void outcome(IPCMessage const& message, Outcome outcome) {
        auto const* mine = dynamic_cast<ModelMessage const*>(&message);
        if (mine == nullptr) return;  // the client's own announcement
        std::lock_guard<std::mutex> lock(mutex);
        uint8_t& seen = alive[mine->id];
        if (seen != 0) fail("message %llu: %s, after it was %s", ull(mine->id), name(outcome), name(Outcome(seen)));
        seen = uint8_t(seen | outcome);
    }
    void destroyed(uint64_t id, size_t bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        if (alive.erase(id) != 1) fail("message %llu deleted twice", ull(id));
        liveBytes -= bytes;
    }
    static char const* name(Outcome outcome) { return outcome == Delivered ? "written whole" : "dropped"; }
    size_t live() {
        std::lock_guard<std::mutex> lock(mutex);
        return alive.size();
    }
    std::mutex mutex;
    std::unordered_map<uint64_t, uint8_t> alive;  // guarded by mutex
    size_t liveBytes = 0;                         // guarded by mutex: payloads of the messages alive
    size_t peakBytes = 0;                         // guarded by mutex
    std::atomic<uint64_t> nextId{1};
} book;

ModelMessage::ModelMessage(std::vector<char> payload) : IPCMessage(IPCMessageType(kReplyType)), id(book.nextId++) {
    messageStruct.data = std::move(payload);
    book.made(id, messageStruct.data.size());
}
ModelMessage::~ModelMessage() { book.destroyed(id, messageStruct.data.size()); }

// What the server sent whole per connection against what each handler received, and the client's frames as
// the server received them. Told after the fault injector, so the hello is the first frame of every connection.
struct Ledger : ServerObserver {
    struct Connection {
        uint64_t sentWhole = 0;
        uint64_t clientFrames = 0;
        bool neverRead = false;
    };

    Ledger(ScriptedServer& server, std::vector<char> announced) : core(server), announcement(std::move(announced)) {
        core.addObserver(this);
    }

    void connected(ConnectionId id) override {  // loop thread
        IPCMessageStruct hello{IPCMessageType(kHelloType), {}};
        ipc_codec::appendU64(hello.data, id);
        core.enqueue(id, Step::frame(hello));
        std::lock_guard<std::mutex> lock(mutex);
        connections[id];
        ++accepted;
    }
    void injected(ConnectionId id, std::string const& what) override {
        std::lock_guard<std::mutex> lock(mutex);
        ++faultsInjected[what.substr(0, what.find(':'))];
        if (what.rfind(faultName(Fault::NeverRead), 0) == 0) connections[id].neverRead = true;
    }
    void frame(ConnectionId id, Direction direction, IPCMessageStruct const& frame) override {
        std::lock_guard<std::mutex> lock(mutex);
        Connection& connection = connections[id];
        if (direction == Direction::ToClient) {
            ++connection.sentWhole;
            ++framesOut;
            return;
        }
        ++framesIn;
        // Queued by the client before any handler hears of the connection; only the first is compared.
        if (connection.clientFrames++ == 0 &&
            (frame.type != IPC_MSG_ALLOWED_MESSAGE_LIST || frame.data != announcement))
            fail("connection %llu: the first client frame is not the announcement", ull(id));
    }
    void disconnected(ConnectionId id, ConnectionSummary const& summary, std::string const&) override {
        if (summary.outOfSync) fail("connection %llu: the client's stream lost its frame markers", ull(id));
    }

    // Client thread: a message of connection `id` reached `handler`; true when the server never reads it.
    bool received(size_t handler, ConnectionId id) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = connections.find(id);
        if (it == connections.end()) {
            fail("handler %zu: a hello names connection %llu, unknown or over", handler, ull(id));
            return false;
        }
        return it->second.neverRead;
    }
    // The client saw the connection end without a stop, so the server ended it: every whole frame was delivered.
    void endedByServer(size_t handler, ConnectionId id, uint64_t messages) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = connections.find(id);
        if (it != connections.end() && messages != it->second.sentWhole)
            fail("handler %zu: connection %llu ended by the server after %llu messages of %llu sent whole", handler,
                 ull(id), ull(messages), ull(it->second.sentWhole));
        if (handler == 0) ++checked;
    }

    ScriptedServer& core;
    const std::vector<char> announcement;
    std::mutex mutex;
    uint64_t framesOut = 0;                          // guarded by mutex
    uint64_t framesIn = 0;                           // guarded by mutex
    uint64_t checked = 0;                            // guarded by mutex
    std::map<ConnectionId, Connection> connections;  // guarded by mutex
    std::map<std::string, uint64_t> faultsInjected;  // by name; guarded by mutex
};

enum class Callback { None, Connected, Message, Disconnected };
const char* const kCallbackNames[] = {"none", "onConnected", "onNewMessageReceived", "onDisconnected"};

// Checks what it is told against the ledger and the driver's state, and replies from every callback
// (on the client thread; the driver reads `open` once stop() has returned).
struct Handler final : IPCMessengerClient::IPCMessengerHandler {
    Handler(size_t number, IPCMessengerClient& owner, Ledger& serverLedger, uint64_t seed)
        : index(number), client(owner), ledger(serverLedger), rng(seed + number) {}

    struct Inside {  // counts the callbacks under way, and checks that this one may come now
        Inside(Handler& handler, Callback callback) {
            ++inCallback;
            if (quiet)
                fail("handler %zu: %s after stop() returned", handler.index,
                     kCallbackNames[static_cast<int>(callback)]);
            bool restarted = startsCalled != startsAtCallbackStop;
            if (callback == Callback::Connected && !restarted)
                fail("handler %zu: onConnected after a callback's stop(), and no start() since", handler.index);
            if (callback == Callback::Message && handler.open && callbackStops != handler.callbackStopsAtConnect)
                fail("handler %zu: a message after a callback's stop()", handler.index);
        }
        ~Inside() { --inCallback; }
    };

    void onConnected() override {
        Inside inside(*this, Callback::Connected);
        if (open.exchange(true)) fail("handler %zu: onConnected while connection %u is still open", index, ordinal);
        callbackStopsAtConnect = callbackStops;
        count = 0;
        nextSeq = 0;
        ++ordinal;
        ++connections;
        reply();
        stopIfArmed(Callback::Connected);
    }
    void onNewMessageReceived(IPCMessage const* message) override {
        Inside inside(*this, Callback::Message);
        if (!open) return fail("handler %zu: a message outside a connection", index);
        IPCMessageStruct const& frame = message->messageStruct;
        ipc_codec::PayloadReader in(frame.data);
        if (count == 0 && (uint32_t(frame.type) != kHelloType || !in.readU64(server) || in.remaining() != 0))
            return fail("handler %zu: connection %u began with type %u, not the hello", index, ordinal,
                        uint32_t(frame.type));
        ++count;
        large = ledger.received(index, server);
        if (index == 0 && holdDispatch.exchange(false)) {  // the driver stops the client during this callback,
            inDispatch = true;                             // which half the time asks for the stop itself first
            kesu_test::eventually([] { return stopping.load(); }, Millis(60000));
            if (rng() % 2 == 0) stopFromCallback();
        }
        if (rng() % 2 == 0) reply();
        stopIfArmed(Callback::Message);
        if (rng() % 509 == 0) throw ull(++thrown);  // logged; the other handler still hears of the message
    }
    void onDisconnected() override {
        Inside inside(*this, Callback::Disconnected);
        if (!open.exchange(false)) return fail("handler %zu: onDisconnected without a connection", index);
        if (rng() % 4 == 0) reply();  // the sender may take it yet, or the tear-down deletes it
        bool byStop = stopping || callbackStops != callbackStopsAtConnect;
        if (!byStop && count > 0) ledger.endedByServer(index, server, count);
        stopIfArmed(Callback::Disconnected);
    }
    void reply() {
        uint32_t filler = 0;
        if (large && nextSeq < 4)
            filler = kLargeReply + uint32_t(rng() % (3 * kLargeReply));
        else if (rng() % 32 == 0)
            filler = uint32_t(1024 + rng() % (15 * 1024));
        else
            filler = uint32_t(rng() % 100);
        ++nextSeq;
        client.sendMessage(new ModelMessage(std::vector<char>(filler, char(index))));
    }
    void stopIfArmed(Callback callback) {
        if (armed != callback) return;
        armed = Callback::None;
        stopFromCallback();
    }
    void stopFromCallback() {
        client.stop();
        startsAtCallbackStop = startsCalled.load();
        ++callbackStops;
    }

    std::atomic<bool> open{false};
    std::atomic<Callback> armed{Callback::None};  // handler 0 stops the client from this callback, once
    Counter connections{0};
    const size_t index;
    IPCMessengerClient& client;
    Ledger& ledger;
    std::mt19937_64 rng;
    bool large = false;  // the client thread's while it runs, the driver's after stop()
    uint64_t count = 0;
    uint64_t server = 0;
    uint32_t ordinal = 0;
    uint32_t nextSeq = 0;
    uint64_t callbackStopsAtConnect = 0;
};

// A stop that outlasts its bound aborts: a hang fails fast, and the seed replays it.
extern "C" void onStopOverrun(int) {
    static const char kSaid[] = "soak: a stop() overran its bound\n";
    [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, kSaid, sizeof kSaid - 1);
    std::abort();
}

long peakRssKb() {
    rusage usage{};
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : 0;
}

// Runs `body` with its own random numbers every 1 to `maxGapMs` ms until `done`.
template <class Body>
std::thread interfere(uint64_t seed, unsigned maxGapMs, std::atomic<bool>& done, Body body) {
    return std::thread([seed, maxGapMs, &done, body]() mutable {
        std::mt19937_64 rng(seed);
        while (!done) {
            body(rng);
            std::this_thread::sleep_for(Millis(1 + rng() % maxGapMs));
        }
    });
}

// A signal for every thread of the process, delivered to each one: every blocking call in the process may
// end with EINTR at any moment.
void signalEveryThread() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) return;
    while (dirent* task = ::readdir(tasks)) {
        long tid = std::atol(task->d_name);
        if (tid > 0) ::syscall(SYS_tgkill, ::getpid(), tid, SIGUSR1);
    }
    ::closedir(tasks);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 4 || (argc > 1 && std::atoll(argv[1]) <= 0)) {
        std::fprintf(stderr, "usage: soak [SECONDS [SEED [STOP_BOUND_MS]]]\n");
        return 2;
    }
    const long long seconds = argc > 1 ? std::atoll(argv[1]) : 60;
    const long long boundMs = argc > 3 ? std::atoll(argv[3]) : 3000;
    const uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : std::random_device{}();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ::signal(SIGALRM, onStopOverrun);
    struct sigaction interrupt {};
    interrupt.sa_handler = [](int) { ++signals; };  // no SA_RESTART: blocked calls end with EINTR
    ::sigaction(SIGUSR1, &interrupt, nullptr);
    std::printf("soak: %lld s, seed %llu, stop bound %lld ms (replay: soak %lld %llu %lld)\n", seconds, ull(seed),
                boundMs, seconds, ull(seed), boundMs);
    Counter attempts{0};  // connection attempts: failed, refused as untrusted, or made
    kesustb::testing::setLogSink([&](STBLogRecord const&, kesustb::testing::LogEntry const& entry) {
        if (entry.file != kLogFileClient) return;
        if (entry.line == 129 || entry.line == 131 || entry.line == 138) ++attempts;
    });

    std::string path = "/tmp/kesu-soak-" + std::to_string(::getpid());
    std::string error;
    std::set<IPCMessageType> allowed{IPC_MSG_UINT_26, IPC_MSG_PLAYER_MEDIA_INFO, IPC_MSG_LAUNCH_URI};
    IPCMessageAllowedMessageList announcement(allowed);
    announcement.serialize();
    // Every fault but at-bound: its 16 MiB frames, in the server and the client at once, would dwarf what
    // the send queue's bound keeps the RSS to.
    std::vector<Fault> faults;
    parseFaults("all", faults, error);
    faults.erase(std::find(faults.begin(), faults.end(), Fault::AtBound));
    EventLoop serverLoop;
    auto core = std::make_unique<ScriptedServer>(serverLoop, path);
    FaultInjector injector(*core, faults, seed);
    core->addObserver(&injector);
    Ledger ledger(*core, announcement.messageStruct.data);
    if (!core->listen(error)) {
        std::fprintf(stderr, "soak: %s\n", error.c_str());
        return 2;
    }
    std::thread loop([&] {
        serverLoop.run();
        core->shutDown();
    });

    std::mt19937_64 schedule(seed ^ 0x50A4ull);
    auto client = std::make_unique<IPCMessengerClient>(path);
    client->setAllowedMessages(allowed);
    client->setSendQueueLimit(kSendQueueLimit);
    client->setDeliveryCallback([](IPCMessage const& message) {
        ++delivered;
        book.outcome(message, MessageBook::Delivered);
    });
    client->setDropCallback([](IPCMessage const& message) {
        ++dropped;
        book.outcome(message, MessageBook::Dropped);
    });
    Handler first(0, *client, ledger, seed);
    Handler second(1, *client, ledger, seed);
    client->addHandler(&first);
    client->addHandler(&second);

    std::atomic<bool> done{false};
    std::vector<std::thread> interferers;
    interferers.push_back(interfere(seed + 2, 20, done, [&client](std::mt19937_64& rng) {
        for (uint64_t n = 1 + rng() % 40; n > 0; --n)
            client->sendMessage(new ModelMessage(std::vector<char>(1 + rng() % (64 * 1024), 'f')));
    }));
    interferers.push_back(interfere(seed + 3, 4, done, [](std::mt19937_64&) { signalEveryThread(); }));
    interferers.push_back(interfere(seed + 5, 5, done, [](std::mt19937_64&) {
        std::lock_guard<std::mutex> lock(book.mutex);
        if (book.liveBytes > kSendQueueLimit + kSubmittingBytes)
            fail("%zu bytes of messages alive: more than the send queue's bound allows", book.liveBytes);
    }));

    // On each thread whose stop() has returned: no handler is in a callback, none counts a connection open,
    // and none hears of anything until the next start().
    auto stopReturned = [&] {
        quiet = true;
        if (inCallback != 0) fail("stop() returned while a handler callback was under way");
        for (Handler* handler : {&first, &second}) {
            if (handler->open)
                fail("stop() returned, and handler %zu was never told that connection %u ended", handler->index,
                     handler->ordinal);
        }
    };
    uint64_t starts = 0;
    // Every stop() that is not a callback's, on the thread(s) given, within the bound.
    auto stopClient = [&](int threads) {
        stopping = true;
        ::alarm(static_cast<unsigned>((boundMs + 999) / 1000));
        if (threads == 0) {
            client->stop();
            stopReturned();
        } else {
            std::vector<std::thread> stoppers;
            for (int i = 0; i < threads; ++i) {
                stoppers.emplace_back([&] {
                    client->stop();
                    stopReturned();
                });
            }
            for (std::thread& stopper : stoppers) stopper.join();
        }
        ::alarm(0);
        for (Handler* handler : {&first, &second}) handler->open = false;  // failed above if it was
        holdDispatch = false;
        inDispatch = false;
        stopping = false;
    };
    bool restartAfterCallbackStop = false;

    stopClient(0);
    auto began = Clock::now();
    long rssAfterFirstRun = 0;
    for (auto deadline = began + std::chrono::seconds(seconds); Clock::now() < deadline;) {
        quiet = false;
        ++startsCalled;
        const uint64_t attemptsBefore = attempts;  // the first attempt may come before start() returns
        client->start();
        ++starts;
        const auto started = Clock::now();
        if (restartAfterCallbackStop &&
            !kesu_test::eventually([&] { return attempts != attemptsBefore; }, Millis(5000)))
            fail("start() after a callback's stop() made no connection attempt in 5 s");
        restartAfterCallbackStop = false;
        // Caught connecting, inside a callback, in the middle of a connection, or after several connections;
        // stopped by the owner, another thread, two threads at once, or a callback (then restarted at once,
        // half the time).
        unsigned roll = static_cast<unsigned>(schedule() % 100);
        if (roll < 15) {
            auto callback = Callback(1 + schedule() % 3);
            uint64_t before = callbackStops;
            first.armed = callback;
            if (kesu_test::eventually([before] { return callbackStops != before; }, Millis(8000))) {
                restartAfterCallbackStop = schedule() % 2 == 0;
                if (restartAfterCallbackStop) continue;
            }
            first.armed = Callback::None;
        } else if (roll < 25) {
            holdDispatch = true;
            kesu_test::eventually([] { return inDispatch.load(); }, Millis(5000));
        } else if (roll < 40) {
            std::this_thread::sleep_for(std::chrono::microseconds(schedule() % 2000));
        } else {
            std::this_thread::sleep_for(Millis(roll < 80 ? 30 + schedule() % 670 : 700 + schedule() % 3300));
        }
        // Every run makes its first attempt at once, whatever the runs before it.
        if (Clock::now() - started >= Millis(2000) && attempts == attemptsBefore)
            fail("start() made no connection attempt in %lld ms",
                 static_cast<long long>(std::chrono::duration_cast<Millis>(Clock::now() - started).count()));
        unsigned how = static_cast<unsigned>(schedule() % 4);
        stopClient(how < 2 ? 0 : int(how - 1));
        if (rssAfterFirstRun == 0) rssAfterFirstRun = peakRssKb();
        if (schedule() % 10 == 0) std::this_thread::sleep_for(Millis(schedule() % 300));
    }

    serverLoop.quit();
    loop.join();
    done = true;
    for (std::thread& interferer : interferers) interferer.join();
    client.reset();  // every message has had its last chance to be deleted
    core.reset();
    kesustb::testing::setLogSink(nullptr);

    if (first.connections > accepted)
        fail("%llu onConnected for %llu connections accepted", ull(first.connections), ull(accepted));
    if (delivered != ledger.framesIn)
        fail("the client wrote %llu frames whole, the server received %llu", ull(delivered), ull(ledger.framesIn));
    if (size_t alive = book.live(); alive != 0) fail("%zu messages never deleted", alive);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The send queue's 1 MiB, frames of up to 1 MiB in the server and the client, and the allocator's slack
    // (the sanitizers' own allocators hold on to much more).
    if (peakRssKb() > rssAfterFirstRun + 32 * 1024)
        fail("peak RSS %ld KB, more than 32 MB above the %ld KB after the first run", peakRssKb(), rssAfterFirstRun);
#endif

    std::printf(
        "soak: seed %llu, %llu starts, %llu connections, %llu ended by the server and checked; frames: %llu "
        "sent whole, %llu written whole by the client, %llu received; %llu messages made, %llu dropped by the "
        "send queue (peak %zu bytes alive); %llu handler exceptions; %llu signals; "
        "peak RSS %ld KB",
        ull(seed), ull(starts), ull(accepted), ull(ledger.checked), ull(ledger.framesOut), ull(delivered),
        ull(ledger.framesIn), ull(book.nextId - 1), ull(dropped), book.peakBytes, ull(thrown), ull(signals),
        peakRssKb());
    for (size_t fault = 0; fault < size_t(Fault::Count); ++fault)
        std::printf("%s %s %llu", fault == 0 ? "\nfaults injected:" : "", faultName(Fault(fault)),
                    ull(ledger.faultsInjected[faultName(Fault(fault))]));
    std::printf("\nfailures: %d\n", failures.load());
    return failures == 0 ? 0 : 1;
}
