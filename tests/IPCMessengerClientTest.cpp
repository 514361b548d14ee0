// The client against the fake server, at an alias of its path that exists once the server "appears".
// The clock stands still: an owed retry wait lasts for ever, so "reconnects at once" is yes or no.
#include "kesu/ipc/IPCMessengerClient.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <typeindex>

#include "PayloadBytes.h"
#include "fakes/CountingMessage.h"
#include "fakes/FakeServer.h"
#include "fakes/LogCapture.h"
#include "fakes/TestClock.h"

namespace {

using kesu_test::CountingMessage;
using kesu_test::eventually;
using kesu_test::Step;
using test_bytes::unhex;

constexpr size_t kLarge = 1024 * 1024;  // far beyond what the socket buffers hold

IPCMessageStruct frame(int type, std::vector<char> payload = {}) {
    return {static_cast<IPCMessageType>(type), std::move(payload)};
}

// Records the events of all handlers in one journal ("C0 M1 D0 ...", for their order) and the messages
// as the factory built them. The action runs after the record, outside the lock, with the event's letter:
// it may throw, block or stop.
class RecordingHandler final : public IPCMessengerClient::IPCMessengerHandler {
public:
    struct Message {
        IPCMessageStruct frame;
        std::type_index kind;  // the class the factory chose
        std::string text;      // decoded, for an IPCMessageSimpleString
    };
    explicit RecordingHandler(char journalTag) : tag(journalTag) {}
    void onConnected() override {
        record('C');
        ++connected;
        if (action) action('C');
    }
    void onDisconnected() override {
        record('D');
        ++disconnected;
        if (action) action('D');
    }
    void onNewMessageReceived(IPCMessage const* message) override {
        auto const* text = dynamic_cast<IPCMessageSimpleString const*>(message);
        std::string decoded = text != nullptr ? text->text : "";
        record('M', Message{message->messageStruct, typeid(*message), decoded});
        if (action) action('M');
    }
    std::vector<Message> messages() const {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }
    bool connections(int count) const {
        return eventually([&] { return connected >= count; });
    }
    static std::string takeJournal() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(journal, {});
    }

    std::function<void(char event)> action;
    std::atomic<int> connected{0};
    std::atomic<int> disconnected{0};
    std::atomic<long> thread{0};  // kernel id of the client thread

private:
    void record(char event, std::optional<Message> message = std::nullopt) {
        std::lock_guard<std::mutex> lock(mutex);
        if (message) received.push_back(*message);
        journal += std::string{event, tag, ' '};
        thread = ::syscall(SYS_gettid);
    }

    const char tag;
    std::vector<Message> received;  // guarded by mutex
    static inline std::mutex mutex;
    static inline std::string journal;  // guarded by mutex
};

// Seams into system calls that nothing else reaches, interposed on the whole binary and reset by every Rig.
struct Seams {
    std::atomic<int> socket{-1};        // the socket that connected last: the client's
    std::atomic<bool> shutDown{false};  // `socket` was shut down
    std::atomic<bool> closed{false};    // `socket` was closed
    // Armed, the first write to `socket` waits until it is shut down, then until it is closed (100 ms at
    // most): a tear-down that closes the socket before its sender has let go of it shows as a write after
    // the close, before the number can serve anyone else.
    std::atomic<bool> holdFirstWrite{false};
    std::atomic<bool> writeHeld{false};
    std::atomic<bool> writtenAfterClose{false};
    // Armed, the next reading of the server's credentials waits until stop() has shut its socket down.
    std::atomic<bool> holdCredentials{false};
    std::atomic<bool> holding{false};
    std::atomic<int> inheritable{0};  // sockets made without close-on-exec, which a spawned child inherits

    void reset() {
        socket = -1;
        for (std::atomic<bool>* flag :
             {&shutDown, &closed, &holdFirstWrite, &writeHeld, &writtenAfterClose, &holdCredentials, &holding})
            *flag = false;
        inheritable = 0;
    }
    template <class Function>
    static Function* next(char const* name) {
        return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
    }
} seams;

}  // namespace

extern "C" int shutdown(int fd, int how) noexcept {
    if (fd == seams.socket) seams.shutDown = true;
    return Seams::next<int(int, int)>("shutdown")(fd, how);
}
extern "C" int close(int fd) {
    if (fd == seams.socket) seams.closed = true;
    return Seams::next<int(int)>("close")(fd);
}
extern "C" int connect(int fd, sockaddr const* address, socklen_t size) {
    seams.socket = fd;
    return Seams::next<int(int, sockaddr const*, socklen_t)>("connect")(fd, address, size);
}
extern "C" int getsockopt(int fd, int level, int name, void* value, socklen_t* size) noexcept {
    if (name == SO_PEERCRED && seams.holdCredentials.exchange(false)) {
        seams.holding = true;
        eventually([] { return seams.shutDown.load(); });
    }
    return Seams::next<int(int, int, int, void*, socklen_t*)>("getsockopt")(fd, level, name, value, size);
}
extern "C" int socket(int domain, int type, int protocol) noexcept {
    if ((type & SOCK_CLOEXEC) == 0) ++seams.inheritable;
    return Seams::next<int(int, int, int)>("socket")(domain, type, protocol);
}
extern "C" ssize_t send(int fd, void const* data, size_t size, int flags) {
    if (seams.holdFirstWrite && fd == seams.socket && !seams.writeHeld.exchange(true)) {
        eventually([] { return seams.shutDown.load(); });
        eventually([] { return seams.closed.load(); }, std::chrono::milliseconds(100));
        seams.writtenAfterClose = seams.closed.load();
    }
    return Seams::next<ssize_t(int, void const*, size_t, int)>("send")(fd, data, size, flags);
}

namespace {

long openDescriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

// The thread sleeps in recv(). Kernels that name no wait channel show "0"; the system call tells there.
bool sleepsInReceive(long thread) {
    const std::string task = "/proc/self/task/" + std::to_string(thread);
    std::string channel;
    std::ifstream(task + "/wchan") >> channel;
    if (!channel.empty() && channel != "0") return channel.find("unix_stream") != std::string::npos;
    long call = -1;
    std::ifstream(task + "/syscall") >> call;
    return call == SYS_recvfrom;
}

struct Rig {
    Rig() {
        seams.reset();
        serverAppears();
        useClient(alias);
    }
    ~Rig() {
        if (client) client->stop();
        ::unlink(alias.c_str());
        ::unlink(extraPath.c_str());
        EXPECT_EQ(seams.inheritable, 0) << "a socket that a child spawned meanwhile would inherit";
    }
    void serverAppears() { ASSERT_EQ(::symlink(server.path().c_str(), alias.c_str()), 0); }
    void useClient(std::string const& path) {
        client = std::make_unique<IPCMessengerClient>(path);
        client->addHandler(&handler);
    }
    void send(size_t payloadBytes) {
        client->sendMessage(new CountingMessage(IPC_MSG_RAW_12, std::vector<char>(payloadBytes), destroyed));
    }
    void onFirstConnection(std::vector<Step> steps) {
        server.onConnect([this, steps](kesu_test::ConnectionId id) {
            if (id != 1) return;
            for (Step const& step : steps) server.enqueue(id, step);
        });
    }
    // The server may accept only after the client has told its handlers.
    bool startConnected() {
        client->start();
        return handler.connections(1) && server.waitForConnections(1);
    }
    bool inReceive() const {
        return eventually([this] { return sleepsInReceive(handler.thread); });
    }
    size_t attempts() const { return logs.count(129) + logs.count(131) + logs.count(138); }
    // After a stop from anywhere, start() runs the client again. Once the owner's stop() has returned,
    // nothing leaked, every onConnected had its onDisconnected, and the destructor logs nothing.
    void expectRestartAndCleanStop(long descriptorsBefore) {
        const size_t attemptsBefore = attempts();
        client->start();
        EXPECT_TRUE(eventually([&] { return attempts() > attemptsBefore; })) << "start() made no attempt";
        client->stop();
        EXPECT_EQ(handler.connected, handler.disconnected);
        EXPECT_FALSE(seams.writtenAfterClose) << "the sender wrote to the socket after its close";
        // The server closes its end of the last connection on its own thread, a moment after the client.
        const long expected = descriptorsBefore + long(ownSockets.size());
        EXPECT_TRUE(eventually([&] { return openDescriptors() == expected; }))
            << "a descriptor leaked: " << openDescriptors() << " open, " << expected << " expected";
        const size_t lines = logs.size();
        client.reset();
        EXPECT_EQ(logs.size(), lines) << logs.lines();
    }

    kesu_test::LogCapture logs;  // the log and the clock outlive the client thread
    kesu_test::TestClock clock{10'000'000'000LL};
    kesu_test::FakeServer server;
    std::string alias = server.path() + ".alias";
    std::string extraPath = server.path() + ".extra";
    RecordingHandler handler{'0'};
    std::atomic<int> destroyed{0};
    std::vector<kesu_tools::ScopedFd> ownSockets;  // the test's, opened after the descriptors were counted
    std::unique_ptr<IPCMessengerClient> client;    // last: gone before what its thread uses
};

// The server gets the allowed types first on every connection, also while other threads
// submit all the time (the server reads each connection's first bytes, then closes it).
TEST(IPCMessengerClientTest, TheAnnouncementIsTheFirstFrameOfEveryConnectionWhateverOtherThreadsSubmit) {
    Rig rig;
    rig.client->setAllowedMessages({IPC_MSG_LAUNCH_URI, IPC_MSG_RAW_7, IPC_MSG_UINT_26});
    rig.server.onConnect([&rig](kesu_test::ConnectionId id) {
        rig.server.enqueue(id, Step::setReading(false));
        rig.server.enqueue(id, Step::idle(Step::Kind::AwaitClientBytes, kesu_test::kEventTimeout));
        rig.server.enqueue(id, Step::close(false));
    });
    std::atomic<bool> done{false};
    auto submit = [&rig, &done] {
        while (!done) rig.client->sendMessage(new IPCMessage(frame(IPC_MSG_RAW_12)));
    };
    std::thread other(submit);
    std::thread another(submit);
    rig.client->start();
    EXPECT_TRUE(rig.server.waitForConnections(300));
    done = true;
    other.join();
    another.join();
    rig.client->stop();
    for (kesu_test::ConnectionId id = 1; id <= rig.server.connectionCount(); ++id) {
        std::vector<IPCMessageStruct> frames = rig.server.connection(id).frames;
        if (frames.empty()) continue;
        EXPECT_EQ(frames[0].type, IPC_MSG_ALLOWED_MESSAGE_LIST) << "connection " << id;
        EXPECT_EQ(frames[0].data, unhex("00000007 0000001A 00000036")) << "connection " << id;
    }
}

// Frames arrive assembled and decoded by the class the factory picks; every handler hears of each event
// once, in address order, and one that throws harms no other.
TEST(IPCMessengerClientTest, FramesAreDispatchedToEachHandlerInAddressOrderWhateverTheHandlersThrow) {
    const IPCMessageStruct raw = frame(IPC_MSG_RAW_7, unhex("AA"));
    const IPCMessageStruct uri = frame(IPC_MSG_LAUNCH_URI, unhex("00000006 706965636573 00"));  // "pieces"
    RecordingHandler handlers[2] = {RecordingHandler('0'), RecordingHandler('1')};  // [0] has the lower address
    RecordingHandler& throwing = handlers[0];
    RecordingHandler& told = handlers[1];
    throwing.action = [](char event) {
        if (event == 'C') throw std::runtime_error("no tuner");
        if (event == 'M') throw 42;
    };
    Rig rig;
    rig.client->removeHandler(&rig.handler);
    for (RecordingHandler* handler : {&told, &throwing, &throwing}) rig.client->addHandler(handler);
    // The second frame in pieces, each read by the client before the next goes.
    rig.onFirstConnection({Step::frame(raw), Step::frame(uri, {1, 3, 2, 2, 1}), Step::close(false)});
    RecordingHandler::takeJournal();
    rig.client->start();
    ASSERT_TRUE(told.connections(2)) << rig.logs.lines();
    EXPECT_EQ(RecordingHandler::takeJournal(), "C0 C1 M0 M1 M0 M1 D0 D1 C0 C1 ");
    EXPECT_EQ(rig.logs.count(240, 1, "Handler failed: no tuner"), 2u) << rig.logs.lines();
    EXPECT_EQ(rig.logs.count(240, 1, "Handler failed: unknown exception"), 2u);
    EXPECT_EQ(rig.handler.connected, 0) << "removed";
    std::vector<RecordingHandler::Message> got = told.messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].frame.data, raw.data);
    EXPECT_EQ(got[0].kind, typeid(IPCMessage));
    EXPECT_EQ(got[1].frame.data, uri.data);
    EXPECT_EQ(got[1].kind, typeid(IPCMessageSimpleString));
    EXPECT_EQ(got[1].text, "pieces");
}

// A peer that breaks the stream (the frame reader's tests tell each way) ends the connection once: one
// onDisconnected, nothing dispatched, what the client had queued deleted, and the next connection at once.
TEST(IPCMessengerClientTest, ABrokenPeerEndsTheConnectionOnceAndTheClientReconnectsAtOnce) {
    const Step awaitClient = Step::idle(Step::Kind::AwaitClientBytes, kesu_test::kEventTimeout);
    struct Row {
        char const* name;
        size_t clientSends = 0;   // payload the client sends on its first connection; 0: nothing
        std::vector<Step> steps;  // the server's, on the first connection
    };
    const Row rows[] = {
        {.name = "wrong marker, a whole frame after it",
         .steps = {Step::raw(unhex("6E000036 00000000 6D000007 00000000"))}},
        {.name = "never reads, then a wrong marker while the client's sender is stuck",
         .clientSends = kLarge,
         .steps = {Step::setReading(false), awaitClient, Step::raw(unhex("00000000 00000000"))}},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig;
        rig.handler.action = [&](char event) {
            if (event == 'C' && row.clientSends != 0 && rig.handler.connected == 1) rig.send(row.clientSends);
        };
        rig.onFirstConnection(row.steps);
        rig.client->start();
        ASSERT_TRUE(rig.handler.connections(2)) << rig.logs.lines();
        EXPECT_EQ(rig.handler.disconnected, 1);
        EXPECT_TRUE(rig.handler.messages().empty());
        EXPECT_EQ(rig.logs.count(200), 1u) << rig.logs.lines();
        EXPECT_EQ(rig.logs.count(60), 0u) << "a wait before reconnecting";
        EXPECT_EQ(rig.destroyed, row.clientSends != 0 ? 1 : 0);
    }
}

// A failed write ends the connection as a failed read does: the handlers hear of its end, and the client
// connects again. A message that the send queue has no room for (the server reads nothing) is told to the
// drop callback; one that no sender can take (before the first connection) is not.
TEST(IPCMessengerClientTest, AFailedWriteEndsTheConnectionAndTheDropCallbackHearsOfAFullQueueOnly) {
    Rig rig;
    int dropped = 0;
    rig.client->setDropCallback([&dropped](IPCMessage const&) { ++dropped; });
    rig.client->setSendQueueLimit(64 * 1024);
    rig.server.onConnect([&rig](kesu_test::ConnectionId id) {
        rig.server.enqueue(id, id == 1 ? Step::shutdownReadingForTesting() : Step::setReading(false));
    });
    rig.send(1);
    EXPECT_EQ(rig.destroyed, 1) << "no sender yet";
    ASSERT_TRUE(rig.startConnected());
    rig.send(1);
    ASSERT_TRUE(rig.handler.connections(2)) << "the failed write left the connection up\n" << rig.logs.lines();
    EXPECT_EQ(rig.handler.disconnected, 1);
    EXPECT_EQ(dropped, 0);
    for (int i = 0; i < 100; ++i) rig.send(16 * 1024);
    EXPECT_GT(dropped, 0) << "1.6 MB queued for a server that reads nothing";
}

// A signal whose handler was installed without SA_RESTART ends the client thread's blocked receive with
// EINTR: the connection goes on.
TEST(IPCMessengerClientTest, ASignalDuringAReceiveCostsNoConnection) {
    static std::atomic<int> interruptions{0};
    struct sigaction interrupt {};
    struct sigaction previous {};
    interrupt.sa_handler = [](int) { ++interruptions; };
    ASSERT_EQ(::sigaction(SIGUSR1, &interrupt, &previous), 0);
    Rig rig;
    ASSERT_TRUE(rig.startConnected());
    ASSERT_TRUE(rig.inReceive());
    ASSERT_EQ(::syscall(SYS_tgkill, ::getpid(), rig.handler.thread.load(), SIGUSR1), 0);
    ASSERT_TRUE(eventually([] { return interruptions == 1; }));
    rig.server.enqueue(1, Step::frame(frame(IPC_MSG_RAW_7)));
    EXPECT_TRUE(eventually([&rig] { return !rig.handler.messages().empty(); }));
    EXPECT_EQ(rig.handler.disconnected, 0) << rig.logs.lines();
    ::sigaction(SIGUSR1, &previous, nullptr);
}

// Attempts that fail, each stopped while the client waits to retry: a server whose backlog is full (a
// blocking connect would wait beyond the reach of stop()), a path that does not fit an address (not even
// its part that would is tried), and a server of another user than the trusted one (not a byte, no
// onConnected).
TEST(IPCMessengerClientTest, AFailedAttemptIsLoggedAndPacedAndStopEndsTheWait) {
    const std::string us = std::to_string(::getuid());
    const std::string other = std::to_string(::getuid() + 1);
    struct Row {
        char const* name;
        std::function<void(Rig&)> arrange;
        size_t connections;  // the server saw
        int failureLine;
        std::string failure;
    };
    const Row rows[] = {
        {.name = "a full backlog",
         .arrange =
             [](Rig& rig) {
                 sockaddr_un address{};
                 kesu_tools::makeUnixAddress(rig.extraPath, address);
                 rig.ownSockets.emplace_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
                 // Its connection fills a backlog of 0.
                 rig.ownSockets.emplace_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
                 int listener = rig.ownSockets[0].get();
                 ASSERT_EQ(::bind(listener, kesu_tools::asSockaddr(address), sizeof address), 0);
                 ASSERT_EQ(::listen(listener, 0), 0);
                 ASSERT_EQ(::connect(rig.ownSockets[1].get(), kesu_tools::asSockaddr(address), sizeof address), 0);
                 rig.useClient(rig.extraPath);
             },
         .connections = 0,
         .failureLine = 129,
         .failure = "Can not connect to IPC Messagenger server"},
        {.name = "a path one byte longer than an address holds",
         .arrange =
             [](Rig& rig) {
                 rig.extraPath.resize(sizeof(sockaddr_un::sun_path) - 1, 'p');  // the longest path that fits
                 ASSERT_EQ(::symlink(rig.server.path().c_str(), rig.extraPath.c_str()), 0);
                 rig.useClient(rig.extraPath + "p");
             },
         .connections = 0,
         .failureLine = 129,
         .failure = "Can not connect to IPC Messagenger server"},
        {.name = "a server of another user",
         .arrange =
             [](Rig& rig) {
                 rig.client->setTrustedServerUid(::getuid() + 1);
                 rig.client->setAllowedMessages({IPC_MSG_RAW_7});
             },
         .connections = 1,
         .failureLine = 131,
         .failure = "Server runs as user " + us + ", not as the trusted user " + other + ". Not trusted."},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig;
        const long descriptors = openDescriptors();
        row.arrange(rig);
        rig.client->start();
        ASSERT_TRUE(rig.logs.waitForLine(60)) << rig.logs.lines();
        EXPECT_EQ(rig.logs.count(row.failureLine, 1, row.failure), 1u) << rig.logs.lines();
        EXPECT_EQ(rig.handler.connected, 0);
        if (row.connections != 0) {
            ASSERT_TRUE(rig.server.waitForClosed(1));
            EXPECT_TRUE(rig.server.connection(1).frames.empty());
        }
        rig.client->stop();
        rig.expectRestartAndCleanStop(descriptors);
    }
}

// The owner stops the client while it receives and its sender is about to write: the socket is shut down
// at once and closed only once the sender has let go of it.
TEST(IPCMessengerClientTest, AStopWhileTheSenderWritesClosesTheSocketOnlyOnceTheSenderHasLetGo) {
    Rig rig;
    const long descriptors = openDescriptors();
    ASSERT_TRUE(rig.startConnected());
    ASSERT_TRUE(rig.inReceive());
    seams.holdFirstWrite = true;
    rig.send(1);
    ASSERT_TRUE(eventually([] { return seams.writeHeld.load(); }));
    rig.client->stop();
    EXPECT_EQ(rig.destroyed, 1);
    rig.expectRestartAndCleanStop(descriptors);
}

// From a callback, stop() only asks, but at once: from then on no handler hears of anything but the end of
// the connection, not even of the frames waiting in the socket; the socket stays the client's until the
// callback has returned, and what the callback sends afterwards is deleted at once. The server writes five
// frames at once, then closes.
TEST(IPCMessengerClientTest, AStopFromACallbackEndsDispatchAtOnceAndStartRunsTheClientAgain) {
    struct Row {
        char const* name;
        char stopIn;  // the event whose callback stops
        char const* journal;
    };
    const Row rows[] = {
        {.name = "from onConnected, the frames waiting", .stopIn = 'C', .journal = "C0 D0 "},
        {.name = "from onNewMessageReceived, at the first of the frames", .stopIn = 'M', .journal = "C0 M0 D0 "},
        {.name = "from onDisconnected, the server having closed", .stopIn = 'D', .journal = "C0 M0 M0 M0 M0 M0 D0 "},
    };
    std::vector<char> fiveFrames;  // in one write, so that they wait in the socket
    for (char i = 0; i < 5; ++i) {
        std::vector<char> one = kesu_tools::frameBytes(frame(IPC_MSG_RAW_7, {i}));
        fiveFrames.insert(fiveFrames.end(), one.begin(), one.end());
    }
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig;
        const long descriptors = openDescriptors();
        rig.onFirstConnection({Step::raw(fiveFrames), Step::close(false)});
        rig.handler.action = [&rig, &row](char event) {
            if (rig.handler.connected > 1) return;
            const int own = seams.socket;
            int waiting = 0;
            if (event == 'C') eventually([&] { return ::ioctl(own, FIONREAD, &waiting) == 0 && waiting == 45; });
            if (event != row.stopIn) return;
            rig.client->stop();
            const int before = rig.destroyed;
            rig.send(1);
            EXPECT_EQ(rig.destroyed, before + 1) << "queued after the stop";
            EXPECT_NE(::fcntl(own, F_GETFD), -1) << "the socket was closed under the connection";
        };
        RecordingHandler::takeJournal();
        rig.client->start();
        ASSERT_TRUE(eventually([&rig] { return rig.handler.disconnected == 1; }));
        EXPECT_EQ(RecordingHandler::takeJournal(), row.journal) << rig.logs.lines();
        rig.expectRestartAndCleanStop(descriptors);
    }
}

// A stop that lands while the client checks the server's credentials: no handler hears of the connection.
TEST(IPCMessengerClientTest, AStopWhileTheClientChecksTheServerIsAnnouncedToNoHandler) {
    Rig rig;
    const long descriptors = openDescriptors();
    rig.client->setTrustedServerUid(::getuid());
    seams.holdCredentials = true;
    RecordingHandler::takeJournal();
    rig.client->start();
    ASSERT_TRUE(eventually([] { return seams.holding.load(); }));
    rig.client->stop();
    EXPECT_EQ(RecordingHandler::takeJournal(), "");
    rig.expectRestartAndCleanStop(descriptors);
}

// The destructor after a stop from a callback waits for the client thread, which still uses what the
// destructor destroys.
TEST(IPCMessengerClientTest, TheDestructorWaitsForTheClientThreadAfterAStopFromACallback) {
    Rig rig;
    std::atomic<bool> stopAsked{false};
    std::atomic<bool> callbackReturned{false};
    rig.handler.action = [&](char event) {
        if (event != 'M') return;
        rig.client->stop();
        stopAsked = true;  // from here the test thread may reset rig.client
        EXPECT_TRUE(rig.logs.waitForLine(52)) << "the destructor never came";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        callbackReturned = true;
    };
    rig.onFirstConnection({Step::frame(frame(IPC_MSG_RAW_7))});
    rig.client->start();
    ASSERT_TRUE(eventually([&] { return stopAsked.load(); }));
    rig.client.reset();
    EXPECT_TRUE(callbackReturned);
    EXPECT_EQ(rig.logs.count(52, 4, "Closing connection"), 1u) << rig.logs.lines();
}

}  // namespace
