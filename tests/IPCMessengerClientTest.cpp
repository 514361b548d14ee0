// The client against the fake server, at an alias of its path that exists once the server "appears".
// The clock stands still: an owed retry wait lasts for ever, so "reconnects at once" is yes or no.
#include "kesu/ipc/IPCMessengerClient.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>

#include <array>
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
using test_bytes::bytes;

constexpr size_t kLarge = 1024 * 1024;  // far beyond what the socket buffers hold

IPCMessageStruct frame(int type, std::vector<char> payload = {}) {
    return {static_cast<IPCMessageType>(type), std::move(payload)};
}

// Records the events of all handlers in one journal ("C0 M1 D0 ...", for their order) and the messages
// as the factory built them. Actions run after the record, outside the lock: they may block or stop.
class Handler final : public IPCMessengerClient::IPCMessengerHandler {
public:
    struct Message {
        IPCMessageStruct frame;
        std::type_index kind;  // the class the factory chose
        std::string text;      // decoded, for an IPCMessageSimpleString
    };
    explicit Handler(char journalTag = 0) : tag(journalTag) {}
    void onConnected() override {
        record('C');
        if (connectedAction) connectedAction();
    }
    void onDisconnected() override {
        record('D');
        if (disconnectedAction) disconnectedAction();
    }
    void onNewMessageReceived(IPCMessage const* message) override {
        auto const* text = dynamic_cast<IPCMessageSimpleString const*>(message);
        record('M', Message{message->messageStruct, typeid(*message), text ? text->text : ""});
        if (messageAction) messageAction(*message);
    }
    std::vector<Message> messages() const {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }
    bool connections(int n) const { return eventually([&] { return connected >= n; }); }
    bool messagesIn(size_t n) const { return eventually([&] { return messages().size() >= n; }); }
    static std::string takeJournal() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(journal, {});
    }

    std::function<void()> connectedAction;
    std::function<void()> disconnectedAction;
    std::function<void(IPCMessage const&)> messageAction;
    std::atomic<int> connected{0}, disconnected{0};
    std::atomic<long> thread{0};  // kernel id of the client thread

private:
    void record(char event, std::optional<Message> message = std::nullopt) {
        std::lock_guard<std::mutex> lock(mutex);
        if (message) received.push_back(*message);
        if (tag != 0) journal += std::string{event, tag, ' '};
        thread = ::syscall(SYS_gettid);
        (event == 'C' ? connected : disconnected) += event == 'M' ? 0 : 1;
    }

    const char tag;
    std::vector<Message> received;  // guarded by mutex
    static inline std::mutex mutex;
    static inline std::string journal;  // guarded by mutex
};

// Interposed on the whole binary. Once armed, the first write to `socket` waits until the socket is
// shut down, then until it is closed (100 ms at most): a tear-down that closes the socket before its
// sender has let go of it shows as a write after the close, before the number can serve anyone else.
namespace held {
std::atomic<int> socket{-1};
std::atomic<bool> waiting{false}, shutDown{false}, closed{false}, writtenAfterClose{false};
// Armed, the next connect waits in the call until stop() has shut its socket down; so does the next
// reading of the server's credentials.
std::atomic<bool> connectArmed{false}, inConnect{false};
std::atomic<bool> credentialsArmed{false}, inCredentials{false};
// Sockets made without close-on-exec: a child spawned at that moment would inherit them.
std::atomic<int> inheritable{0};
template <class F> F* next(char const* name) { return reinterpret_cast<F*>(::dlsym(RTLD_NEXT, name)); }
}  // namespace held
}  // namespace

extern "C" int shutdown(int fd, int how) noexcept {
    held::shutDown = held::shutDown || fd == held::socket;
    return held::next<int(int, int)>("shutdown")(fd, how);
}
extern "C" int close(int fd) {
    held::closed = held::closed || fd == held::socket;
    return held::next<int(int)>("close")(fd);
}
extern "C" int connect(int fd, sockaddr const* address, socklen_t size) {
    if (held::connectArmed.exchange(false)) {
        held::socket = fd, held::inConnect = true;
        eventually([] { return held::shutDown.load(); });
    }
    return held::next<int(int, sockaddr const*, socklen_t)>("connect")(fd, address, size);
}
extern "C" int getsockopt(int fd, int level, int name, void* value, socklen_t* size) noexcept {
    if (name == SO_PEERCRED && held::credentialsArmed.exchange(false)) {
        held::socket = fd;
        held::inCredentials = true;
        eventually([] { return held::shutDown.load(); });
    }
    return held::next<int(int, int, int, void*, socklen_t*)>("getsockopt")(fd, level, name, value, size);
}
extern "C" int socket(int domain, int type, int protocol) noexcept {
    if ((type & SOCK_CLOEXEC) == 0) ++held::inheritable;
    return held::next<int(int, int, int)>("socket")(domain, type, protocol);
}
extern "C" ssize_t send(int fd, void const* data, size_t size, int flags) {
    if (fd == held::socket && !held::waiting.exchange(true)) {
        eventually([] { return held::shutDown.load(); });
        eventually([] { return held::closed.load(); }, std::chrono::milliseconds(100));
        held::writtenAfterClose = held::closed.load();
    }
    return held::next<ssize_t(int, void const*, size_t, int)>("send")(fd, data, size, flags);
}

namespace {

auto openDescriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

// The thread sleeps in recv(). Kernels that name no wait channel show "0"; the system call tells there.
bool sleepsInReceive(long thread) {
    std::string task = "/proc/self/task/" + std::to_string(thread), where;
    long call = -1;
    std::ifstream(task + "/wchan") >> where;
    if (!where.empty() && where != "0") return where.find("unix_stream") != std::string::npos;
    std::ifstream(task + "/syscall") >> call;
    return call == SYS_recvfrom;
}

struct Rig {
    Rig() { serverAppears(); useClient(alias); }
    ~Rig() {
        if (client) client->stop();
        ::unlink(alias.c_str());
        ::unlink(extraPath.c_str());
        EXPECT_EQ(held::inheritable.exchange(0), 0) << "a socket a spawned child would inherit";
    }
    void serverAppears() { ASSERT_EQ(::symlink(server.path().c_str(), alias.c_str()), 0); }
    void useClient(std::string const& p) { client = std::make_unique<IPCMessengerClient>(p); client->addHandler(&h); }
    void send(size_t n) { client->sendMessage(new CountingMessage(IPC_MSG_RAW_12, std::vector<char>(n), destroyed)); }
    void onFirstConnection(std::vector<Step> steps) {
        server.onConnect([=](auto id) { for (Step const& step : steps) id == 1 ? server.enqueue(id, step) : void(); });
    }
    // The server may accept only after the client has told its handlers.
    bool startConnected() { return client->start(), h.connections(1) && server.waitForConnections(1); }
    bool inReceive() const { return eventually([this] { return sleepsInReceive(h.thread); }); }
    int clientSocket() const {
        sockaddr_un peer{};
        for (int fd = 3; fd < 1024; ++fd)
            if (socklen_t size = sizeof peer; ::getpeername(fd, kesu_tools::asSockaddr(peer), &size) == 0 &&
                                              server.path() == peer.sun_path)
                return fd;
        return -1;
    }
    // A socket pair on the lowest free numbers: those the client has let go of, if it has.
    // Intact: still connected, nothing arrived.
    void openBystander() { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, bystander), 0); }
    bool bystanderIntact() const {
        char byte = 0;
        return ::recv(bystander[1], &byte, 1, MSG_DONTWAIT) == -1 && ::send(bystander[0], "b", 1, MSG_NOSIGNAL) == 1 &&
               ::recv(bystander[1], &byte, 1, MSG_DONTWAIT) == 1;
    }

    kesu_test::LogCapture logs;  // the log and the clock outlive the client thread
    kesu_test::TestClock clock{10'000'000'000LL};
    kesu_test::FakeServer server;
    std::string alias = server.path() + ".alias", extraPath = server.path() + ".extra";
    Handler h{'0'};
    std::atomic<int> destroyed{0}, destroyedAfterStop{0};
    std::atomic<bool> flag{false};
    int bystander[2] = {-1, -1};
    std::vector<kesu_tools::ScopedFd> held;      // sockets of the test's own
    std::unique_ptr<IPCMessengerClient> client;  // last: gone before what its thread uses
};

// A server of the trusted user gets the allowed types first on every connection, before what
// onConnected sends; frames from onConnected and other threads arrive whole, each thread's in order.
TEST(IPCMessengerClientTest, EachConnectionAnnouncesTheAllowedTypesFirstAndCarriesWholeFramesFromAnyThread) {
    auto payload = [](int i) { return std::vector<char>(static_cast<size_t>(1 + 997 * i), static_cast<char>(i)); };
    Rig r;
    auto sendAll = [&r, &payload](int source) {
        for (int i = 0; i < 30; ++i) r.client->sendMessage(new IPCMessage(frame(100 + source, payload(i))));
    };
    r.client->setAllowedMessages({IPC_MSG_LAUNCH_URI, IPC_MSG_RAW_7, IPC_MSG_UINT_26});
    r.client->setTrustedServerUid(::getuid());
    r.h.connectedAction = [&] { sendAll(0); };
    r.client->start();
    ASSERT_TRUE(r.server.waitForFrames(1, 1));
    r.server.enqueue(1, Step::close(false));
    ASSERT_TRUE(r.h.connections(2));
    std::thread other(sendAll, 1);
    sendAll(2);
    other.join();
    ASSERT_TRUE(r.server.waitForFrames(2, 91)) << r.logs.dump();
    for (IPCMessageStruct const& first : {r.server.connection(1).frames.at(0), r.server.connection(2).frames.at(0)})
        EXPECT_TRUE(first.type == IPC_MSG_ALLOWED_MESSAGE_LIST &&
                    first.data == bytes({0, 0, 0, 7}, {0, 0, 0, 26}, {0, 0, 0, 54}));
    int next[3] = {};
    auto frames = r.server.connection(2).frames;
    for (size_t i = 1; i < frames.size(); ++i) {
        int source = frames[i].type - 100;
        ASSERT_TRUE(source >= 0 && source < 3) << frames[i].type;
        EXPECT_EQ(frames[i].data, payload(next[source]++)) << "from " << source;
    }
}

// The announcement goes first on every connection, also while other threads submit all the time (the
// server reads each connection's first bytes, then closes it).
TEST(IPCMessengerClientTest, TheAnnouncementIsTheFirstFrameOfEveryConnectionWhateverOtherThreadsSubmit) {
    Rig r;
    r.client->setAllowedMessages({IPC_MSG_RAW_7});
    r.server.onConnect([&r](kesu_test::ConnectionId id) {
        r.server.enqueue(id, Step::setReading(false));
        r.server.enqueue(id, Step::idle(Step::Kind::AwaitClientBytes, kesu_test::kEventTimeout));
        r.server.enqueue(id, Step::close(false));
    });
    std::atomic<bool> done{false};
    auto submit = [&r, &done] {
        while (!done) r.client->sendMessage(new IPCMessage(frame(IPC_MSG_RAW_12)));
    };
    std::thread other(submit);
    std::thread another(submit);
    r.client->start();
    EXPECT_TRUE(r.server.waitForConnections(300));
    done = true;
    other.join();
    another.join();
    r.client->stop();
    for (kesu_test::ConnectionId id = 1; id <= r.server.connectionCount(); ++id) {
        std::vector<IPCMessageStruct> frames = r.server.connection(id).frames;
        if (!frames.empty()) {
            EXPECT_EQ(frames[0].type, IPC_MSG_ALLOWED_MESSAGE_LIST) << "connection " << id;
        }
    }
}

// Frames arrive assembled and decoded by the class the factory picks, whatever their type; every
// handler hears of each event once, in address order, and one that throws harms no other.
TEST(IPCMessengerClientTest, FramesAreDispatchedToEachHandlerInAddressOrderWhateverTheHandlersThrow) {
    struct Row {
        IPCMessageStruct frame;
        std::vector<size_t> pieces;  // each read by the client before the next goes
        std::type_index kind;
        char const* text;
    };
    const Row rows[] = {
        {frame(IPC_MSG_RAW_7, bytes({0xAA})), {}, typeid(IPCMessage), ""},
        {frame(IPC_MSG_LAUNCH_URI, bytes({0, 0, 0, 9}, {'p', 'i', 'e', 'c', 'e', 'w', 'i', 's', 'e'}, {0})),
         {1, 3, 2, 2, 1, 6}, typeid(IPCMessageSimpleString), "piecewise"},
        {frame(IPC_MSG_UINT_26), {}, typeid(IPCMessageUnsignedInt), ""},  // the next frame is not its payload
        {frame(0xFFFFFF, bytes({1, 2, 0xFF})), {}, typeid(IPCMessage), ""},
    };
    Handler h[2] = {Handler('0'), Handler('1')};  // h[0] has the lower address
    h[0].connectedAction = [] { throw std::runtime_error("no tuner"); };
    h[0].messageAction = [](IPCMessage const& m) {
        m.type == IPC_MSG_RAW_7 ? throw std::runtime_error("bad seven") : throw 42;
    };
    Rig r;
    r.client->removeHandler(&r.h);
    for (Handler* handler : {&h[1], &h[0], &h[0]}) r.client->addHandler(handler);
    std::vector<Step> steps;
    for (Row const& row : rows) steps.push_back(Step::frame(row.frame, row.pieces));
    r.onFirstConnection((steps.push_back(Step::close(false)), steps));
    Handler::takeJournal();
    r.client->start();
    ASSERT_TRUE(h[1].connections(2)) << r.logs.dump();
    EXPECT_EQ(Handler::takeJournal(), "C0 C1 M0 M1 M0 M1 M0 M1 M0 M1 D0 D1 C0 C1 ");
    EXPECT_EQ(r.logs.count(240, 1, "Handler failed: no tuner"), 2u) << r.logs.dump();
    EXPECT_EQ(r.logs.count(240, 1, "Handler failed: bad seven"), 1u);
    EXPECT_EQ(r.logs.count(240, 1, "Handler failed: unknown exception"), 3u);
    EXPECT_EQ(r.h.connected, 0) << "removed";
    for (size_t i = 0; i < std::size(rows); ++i) {
        Handler::Message got = h[1].messages().at(i);
        SCOPED_TRACE(rows[i].frame.type);
        EXPECT_TRUE(got.frame.type == rows[i].frame.type && got.frame.data == rows[i].frame.data);
        EXPECT_TRUE(got.kind == rows[i].kind && got.text == rows[i].text) << got.text;
    }
}

// Each ends the connection once: the lines that say why, one onDisconnected,
// nothing dispatched, and the next connection at once.
TEST(IPCMessengerClientTest, ABrokenPeerEndsTheConnectionOnceAndTheClientReconnectsAtOnce) {
    struct Line { int level, line; std::string text; };
    const std::vector<char> cut = bytes({0x6D, 0, 0, 0x36}, {0, 0, 0, 0x14}, {1, 2, 3, 4, 5});
    const Line cutShown{5, 219, "New message received: 54 length 20"}, outOfSync{1, 200, "Out of sync. Terminate connection."};
    const Line closed{3, 227, "Connection closed"}, readError{1, 229, "Read error. Terminate connection"};
    const Step awaitClient = Step::idle(Step::Kind::AwaitClientBytes, kesu_test::kEventTimeout);
    struct Row {
        char const* name;
        size_t clientSends;       // payload the client sends on its first connection; 0: nothing
        std::vector<Step> steps;  // the server's, on the first connection
        std::vector<Line> lines;  // each once, and no other of the receive loop's
    };
    const Row rows[] = {
        {"wrong marker, a whole frame after it", 0,
         {Step::raw(bytes({0x6E, 0, 0, 0x36}, {0, 0, 0, 0}, {0x6D, 0, 0, 0x07}, {0, 0, 0, 0}))}, {outOfSync}},
        {"close in a header", 0, {Step::raw(bytes({0x6D, 0, 0})), Step::close(false)}, {{3, 172, closed.text}}},
        {"close in a payload", 0, {Step::raw(cut), Step::close(false)}, {cutShown, closed}},
        {"length above the bound", 0, {Step::raw(bytes({0x6D, 0, 0, 0x36}, {1, 0, 0, 1}))},
         {{1, 205, "Frame too large: type 54 length 16777217. Terminate connection."}}},
        {"reset in a header, the client's bytes unread", 1,
         {Step::setReading(false), awaitClient, Step::raw(bytes({0x6D})), Step::close(true)}, {{1, 174, readError.text}}},
        {"reset in a payload, the client's bytes unread", 1,
         {Step::setReading(false), awaitClient, Step::raw(cut), Step::close(true)}, {cutShown, readError}},
        {"never reads, then a wrong marker while the client's sender is stuck", kLarge,
         {Step::setReading(false), awaitClient, Step::raw(bytes({0, 0, 0, 0}, {0, 0, 0, 0}))}, {outOfSync}},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        r.h.connectedAction = [&] { row.clientSends != 0 && r.h.connected == 1 ? r.send(row.clientSends) : void(); };
        r.onFirstConnection(row.steps);
        r.client->start();
        ASSERT_TRUE(r.h.connections(2)) << r.logs.dump();
        EXPECT_TRUE(r.h.disconnected == 1 && r.h.messages().empty()) << r.h.disconnected;
        size_t lines = 0;
        for (int line : {172, 174, 200, 205, 219, 227, 229}) lines += r.logs.count(line);
        EXPECT_EQ(lines, row.lines.size()) << r.logs.dump();
        for (Line const& line : row.lines) EXPECT_EQ(r.logs.count(line.line, line.level, line.text), 1u) << line.text;
        EXPECT_EQ(r.logs.count(60), 0u) << "a wait before reconnecting";
        EXPECT_EQ(r.destroyed, row.clientSends != 0 ? 1 : 0);
    }
}

// A failed write ends the connection as a failed read does: the handlers hear of its end, and the client
// connects again at once. A message that the send queue has no room for (the server reads nothing) is told
// to the drop callback and deleted at once, as one is that no sender can take (between connections).
TEST(IPCMessengerClientTest, AFailedWriteEndsTheConnectionAndAMessageNoQueueTakesIsDeletedAtOnce) {
    std::array<std::atomic<int>, 100> destroyed{};  // one for each message of the flood; outlives the client
    Rig r;
    std::vector<size_t> dropped;  // payload sizes, as the drop callback saw them
    r.client->setDropCallback([&dropped](IPCMessage const& m) { dropped.push_back(m.messageStruct.data.size()); });
    r.client->setSendQueueLimit(64 * 1024);
    r.server.onConnect([&r](kesu_test::ConnectionId id) {
        r.server.enqueue(id, id == 1 ? Step::shutdownReading() : Step::setReading(false));
    });
    ASSERT_TRUE(r.startConnected());
    r.send(1);
    ASSERT_TRUE(r.h.connections(2)) << "the failed write left the connection up\n" << r.logs.dump();
    EXPECT_EQ(r.h.disconnected, 1);
    EXPECT_EQ(r.logs.count(354), 1u) << r.logs.dump();
    EXPECT_EQ(r.logs.count(60), 0u) << "a wait before reconnecting";

    for (std::atomic<int>& gone : destroyed) {
        size_t told = dropped.size();
        r.client->sendMessage(new CountingMessage(IPC_MSG_RAW_12, std::vector<char>(16 * 1024), gone));
        if (dropped.size() != told) {
            EXPECT_EQ(gone, 1) << "told of the drop, yet not deleted at once";
        }
    }
    ASSERT_FALSE(dropped.empty()) << "1.6 MB queued for a server that reads nothing";
    EXPECT_EQ(dropped.back(), 16u * 1024);
    EXPECT_GE(r.logs.count(360), 1u) << r.logs.dump();

    ::unlink(r.alias.c_str());
    r.server.enqueue(2, Step::close(false));
    ASSERT_TRUE(r.logs.waitForLine(60)) << r.logs.dump();
    const size_t lines = r.logs.size(), told = dropped.size();
    const int before = r.destroyed;
    r.send(1);
    EXPECT_EQ(r.destroyed, before + 1) << "between connections";
    EXPECT_EQ(r.logs.size(), lines) << r.logs.dump();
    EXPECT_EQ(dropped.size(), told) << "no queue had a say";
}

// Each stop returns, leaks no descriptor and touches none after letting it go (the bystander, opened
// then, takes the lowest free numbers); no connection follows, and the destructor then logs nothing.
TEST(IPCMessengerClientTest, StopReturnsFromEveryStateAndLeavesEveryOtherDescriptorAlone) {
    // From a callback stop() only asks: the socket stays the client's, what is sent later is deleted.
    auto stopInside = [](Rig& r) {
        int own = r.clientSocket();
        for (int i = 0; i < 10; ++i) r.send(1);
        r.client->stop();
        for (int i = 1; i <= 10; ++i) {
            r.client->sendMessage(new CountingMessage(IPC_MSG_RAW_12, {}, r.destroyedAfterStop));
            EXPECT_EQ(r.destroyedAfterStop, i) << "queued after the stop";
        }
        EXPECT_NE(::fcntl(own, F_GETFD), -1) << "the socket was closed under the connection";
        r.openBystander();
        r.flag = true;
    };
    auto failEveryAttempt = [](Rig& r, std::string const& path) {
        r.useClient(path);
        r.client->start();
        ASSERT_TRUE(r.logs.waitForLine(60)) << r.logs.dump();
    };
    struct Row {
        char const* name;
        std::function<void(Rig&)> reach;
        size_t connections;       // the server saw
        int disconnected;         // -1: one or none
        std::vector<int> lines;   // each once
        int destroyed;            // 10: a stop from a callback
        bool byDestructor;
    };
    const Row rows[] = {
        {"connected once the retrier's wait has passed and the server is there",
         [](Rig& r) {
             ::unlink(r.alias.c_str());
             r.client->start();
             ASSERT_TRUE(r.logs.waitForLine(60));
             EXPECT_EQ(r.logs.count(129, 1, "Can not connect to IPC Messagenger server"), 1u);
             r.serverAppears();
             r.clock.advance(1'000'000 - 1);  // one microsecond short: the thread polls, no attempt
             ASSERT_TRUE(r.clock.waitForReads(2) && r.h.connected == 0);
             r.clock.advance(1);
             ASSERT_TRUE(r.h.connections(1) && r.inReceive());
         },
         1, 1, {129, 60, 138, 53, 172}, 0, false},
        {"connecting to a full backlog",  // a blocking connect would wait beyond the reach of stop()
         [&](Rig& r) {
             sockaddr_un address{};
             kesu_tools::makeUnixAddress(r.extraPath, address);
             r.held.emplace_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
             r.held.emplace_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));  // fills a backlog of 0
             ASSERT_EQ(::bind(r.held[0].get(), kesu_tools::asSockaddr(address), sizeof address), 0);
             ASSERT_EQ(::listen(r.held[0].get(), 0), 0);
             ASSERT_EQ(::connect(r.held[1].get(), kesu_tools::asSockaddr(address), sizeof address), 0);
             failEveryAttempt(r, r.extraPath);
         },
         0, 0, {129, 60}, 0, false},
        {"failing every attempt with a path that does not fit, not even to the part that would",
         [&](Rig& r) {
             r.extraPath.resize(sizeof(sockaddr_un::sun_path) - 1, 'p');  // the longest path that fits
             ASSERT_EQ(::symlink(r.server.path().c_str(), r.extraPath.c_str()), 0);
             failEveryAttempt(r, r.extraPath + "p");
         },
         0, 0, {129, 60}, 0, false},
        {"having refused a server of another user than the trusted one: no byte, no onConnected, a retry",
         [](Rig& r) {
             const uid_t us = ::getuid();
             r.client->setTrustedServerUid(us + 1);
             r.client->setAllowedMessages({IPC_MSG_RAW_7});
             r.client->start();
             ASSERT_TRUE(r.logs.waitForLine(60) && r.server.waitForClosed(1)) << r.logs.dump();
             EXPECT_EQ(r.logs.count(131, 1, "Server runs as user " + std::to_string(us) + ", not as the trusted user " +
                                                std::to_string(us + 1) + ". Not trusted."), 1u);
             EXPECT_TRUE(r.server.connection(1).bytes.empty() && r.h.connected == 0);
         },
         1, 0, {131, 60}, 0, false},
        {"blocked in receive, the sender about to write",
         [](Rig& r) {
             ASSERT_TRUE(r.startConnected() && r.inReceive());
             held::socket = r.clientSocket();
             r.send(1);
             ASSERT_TRUE(eventually([] { return held::waiting.load(); }));
         },
         1, 1, {172, 354}, 1, false},
        {"inside a connect that succeeds once stop() has begun: no handler hears of it",
         [](Rig& r) {
             r.h.connectedAction = [] { ADD_FAILURE() << "onConnected after stop()"; };
             held::connectArmed = true;
             r.client->start();
             ASSERT_TRUE(eventually([] { return held::inConnect.load(); }));
         },
         1, 0, {}, 0, false},
        {"inside a handler callback, which ends before stop() returns",
         [](Rig& r) {
             r.h.messageAction = [&r](IPCMessage const&) {
                 EXPECT_TRUE(r.server.waitForClosed(1)) << "the stop left the connection open";
                 EXPECT_FALSE(r.flag) << "stop() returned first";
             };
             r.onFirstConnection({Step::frame(frame(IPC_MSG_RAW_7))});
             ASSERT_TRUE(r.startConnected() && r.h.messagesIn(1));
         },
         1, -1, {}, 0, false},
        {"from onConnected", [&](Rig& r) { r.h.connectedAction = [&] { stopInside(r); }; r.client->start(); },
         1, 1, {}, 10, false},
        {"from onNewMessageReceived, then the destructor, which waits for the callback",
         [&](Rig& r) {
             r.h.messageAction = [&](IPCMessage const&) {
                 stopInside(r);
                 // A destructor that did not wait for this thread would now destroy what it uses.
                 EXPECT_TRUE(r.logs.waitForLine(52)) << "the destructor never came";
                 std::this_thread::sleep_for(std::chrono::milliseconds(20));
             };
             r.onFirstConnection({Step::frame(frame(IPC_MSG_RAW_7))});
             r.client->start();
         },
         1, -1, {52}, 10, true},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        auto r = std::make_unique<Rig>();
        auto descriptors = openDescriptors();
        row.reach(*r);
        ASSERT_TRUE(row.destroyed != 10 || eventually([&r] { return r->flag.load(); }));
        if (r->bystander[0] == -1) r->openBystander();
        if (row.byDestructor) r->client.reset();
        r->client ? r->client->stop() : void();
        r->flag = true;
        for (int line : row.lines) EXPECT_EQ(r->logs.count(line), 1u) << line << "\n" << r->logs.dump();
        size_t lines = r->logs.size();
        r->client.reset();
        EXPECT_EQ(r->logs.size(), lines) << r->logs.dump();
        EXPECT_TRUE(r->bystanderIntact());
        EXPECT_TRUE(r->server.waitForConnections(row.connections));
        EXPECT_FALSE(r->server.hasPendingClient()) << "an attempt after the stop";
        EXPECT_EQ(r->server.connectionCount(), row.connections);
        EXPECT_TRUE(row.disconnected < 0 ? r->h.disconnected <= 1 : r->h.disconnected == row.disconnected);
        EXPECT_EQ(r->destroyed, row.destroyed);
        EXPECT_TRUE(row.connections == 0 || r->server.waitForClosed(1));
        EXPECT_FALSE(held::writtenAfterClose) << "the sender wrote to the socket after its close";
        held::socket = -1, held::waiting = held::shutDown = held::closed = held::writtenAfterClose = false;
        held::inConnect = false;
        for (int fd : r->bystander) ::close(fd);
        r->held.clear();
        EXPECT_EQ(openDescriptors(), descriptors) << "a descriptor leaked";
    }
}

// Five frames in one write: a stop from a callback finds the rest of them waiting in the socket.
std::vector<char> fiveFrames() {
    std::vector<char> out;
    for (char i = 0; i < 5; ++i) {
        std::vector<char> one = kesu_tools::frameBytes(frame(IPC_MSG_RAW_7, {i}));
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

// However a stop comes, once it has returned no handler hears of anything but the end of a connection it was
// told of (every onConnected has its onDisconnected), and start() runs the client again.
TEST(IPCMessengerClientTest, AfterEveryKindOfStopNoHandlerHearsMoreAndStartRunsTheClientAgain) {
    // Both stop while a callback runs; the callback waits until both have called stop(), then a while for one
    // to return, which it must not do before the callback has returned.
    std::atomic<int> stopping{0};
    std::atomic<bool> inCallback{false};
    std::atomic<bool> returnedEarly{false};
    auto twoThreadsStop = [&](Rig& r) {
        r.h.messageAction = [&](IPCMessage const&) {
            if (r.h.connected > 1) return;
            inCallback = true;
            eventually([&stopping] { return stopping == 2; });
            eventually([&returnedEarly] { return returnedEarly.load(); }, std::chrono::milliseconds(100));
            inCallback = false;
        };
        r.client->start();
        ASSERT_TRUE(eventually([&inCallback] { return inCallback.load(); }));
        auto stopper = [&] {
            ++stopping;
            r.client->stop();
            returnedEarly = returnedEarly || inCallback;
        };
        std::thread first(stopper);
        std::thread second(stopper);
        first.join();
        second.join();
        EXPECT_FALSE(returnedEarly) << "a stop() returned while the client thread was in a callback";
    };
    struct Row {
        char const* name;
        std::function<void(Rig&)> stop;  // starts the client; returns once a stop is over; acts on its first connection
        char const* journal;
    };
    const Row rows[] = {
        {"from onConnected, the frames waiting",
         [](Rig& r) {
             r.h.connectedAction = [&r] {
                 if (r.h.connected > 1) return;
                 int waiting = 0;
                 eventually([&] { return ::ioctl(r.clientSocket(), FIONREAD, &waiting) == 0 && waiting == 45; });
                 r.client->stop();
             };
             r.client->start();
             ASSERT_TRUE(eventually([&r] { return r.h.disconnected == 1; }));
         },
         "C0 D0 "},
        {"from onNewMessageReceived, at the first of the frames",
         [](Rig& r) {
             r.h.messageAction = [&r](IPCMessage const&) {
                 if (r.h.connected == 1) r.client->stop();
             };
             r.client->start();
             ASSERT_TRUE(eventually([&r] { return r.h.disconnected == 1; }));
         },
         "C0 M0 D0 "},
        {"from onDisconnected, the server having closed",
         [](Rig& r) {
             r.h.disconnectedAction = [&r] {
                 if (r.h.connected == 1) r.client->stop();
             };
             r.onFirstConnection({Step::raw(fiveFrames()), Step::close(false)});
             r.client->start();
             ASSERT_TRUE(eventually([&r] { return r.h.disconnected == 1; }));
         },
         "C0 M0 M0 M0 M0 M0 D0 "},
        {"from two threads at once", twoThreadsStop, "C0 M0 D0 "},
        {"from the owner while the client checks the server's credentials",
         [](Rig& r) {
             r.client->setTrustedServerUid(::getuid());
             held::credentialsArmed = true;
             r.client->start();
             ASSERT_TRUE(eventually([] { return held::inCredentials.load(); }));
             r.client->stop();
         },
         ""},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        r.server.onConnect([&r](kesu_test::ConnectionId id) { r.server.enqueue(id, Step::raw(fiveFrames())); });
        Handler::takeJournal();
        row.stop(r);
        EXPECT_EQ(Handler::takeJournal(), row.journal) << r.logs.dump();
        const int runs = r.h.connected;
        r.client->start();
        EXPECT_TRUE(r.h.connections(runs + 1)) << "start() after the stop did not run the client";
        r.client->stop();
        EXPECT_EQ(r.h.connected, r.h.disconnected);
        held::socket = -1;
        held::shutDown = false;
        held::inCredentials = false;
    }
}

// A signal whose handler was installed without SA_RESTART ends the client thread's blocked receive with
// EINTR: the connection goes on.
TEST(IPCMessengerClientTest, ASignalDuringAReceiveCostsNoConnection) {
    static std::atomic<int> interruptions{0};
    struct sigaction interrupt {}, previous{};
    interrupt.sa_handler = [](int) { ++interruptions; };
    ASSERT_EQ(::sigaction(SIGUSR1, &interrupt, &previous), 0);
    Rig r;
    ASSERT_TRUE(r.startConnected() && r.inReceive());
    ASSERT_EQ(::syscall(SYS_tgkill, ::getpid(), r.h.thread.load(), SIGUSR1), 0);
    ASSERT_TRUE(eventually([] { return interruptions == 1; }));
    r.server.enqueue(1, Step::frame(frame(IPC_MSG_RAW_7)));
    EXPECT_TRUE(r.h.messagesIn(1));
    EXPECT_EQ(r.h.disconnected, 0) << r.logs.dump();
    ::sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
