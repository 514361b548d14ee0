// The messenger client against the fake server. The platform clock stands
// still: an owed wait lasts for ever, so "reconnects at once" is a yes-or-no
// question, not a measurement.
#include "kesu/ipc/IPCMessengerClient.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "PayloadBytes.h"
#include "fakes/CountingMessage.h"
#include "fakes/Eventually.h"
#include "fakes/FakeServer.h"
#include "fakes/LogCapture.h"
#include "fakes/RecordingHandler.h"
#include "fakes/TestClock.h"

namespace {

using kesu_test::ConnectionId;
using kesu_test::eventually;
using kesu_test::RecordingHandler;
using kesu_test::Step;
using test_bytes::bytes;

constexpr size_t kLarge = 1024 * 1024;  // far beyond what the socket buffers hold
constexpr size_t kNothing = SIZE_MAX;
const Step kAwaitClient = Step::idle(Step::Kind::AwaitClientBytes, kesu_test::kEventTimeout);

IPCMessageStruct frame(int type, std::vector<char> payload = {}) {
    return {static_cast<IPCMessageType>(type), std::move(payload)};
}

size_t openDescriptors() {
    size_t count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dir != nullptr && ::readdir(dir) != nullptr) ++count;
    return dir != nullptr && ::closedir(dir) == 0 ? count : 0;
}

// The client thread sleeps in recv(): a stop now interrupts the receive
// itself. Kernels that name no wait channel show "0"; the call tells there.
bool sleepsInReceive(long thread) {
    std::string task = "/proc/self/task/" + std::to_string(thread), where;
    long call = -1;
    std::ifstream(task + "/wchan") >> where;
    if (!where.empty() && where != "0") return where.find("unix_stream") != std::string::npos;
    std::ifstream(task + "/syscall") >> call;
    return call == SYS_recvfrom;
}

// One client with handlers a and b, and one fake server. The client's path
// is an alias of the server's, there only once serverAppears().
struct Rig {
    explicit Rig(bool serverThere = true) {
        if (serverThere) serverAppears();
        useClient(alias);
    }
    ~Rig() {
        stop();
        for (std::string const& file : {alias, extraPath}) ::unlink(file.c_str());
    }
    void serverAppears() { ASSERT_EQ(::symlink(server.path().c_str(), alias.c_str()), 0); }
    void useClient(std::string const& path) {
        client = std::make_unique<IPCMessengerClient>(path);
        client->addHandler(&a);
        client->addHandler(&b);
    }
    void stop() {
        if (client) client->stop();
    }
    void send(size_t size) {
        client->sendMessage(new kesu_test::CountingMessage(IPC_MSG_RAW_12, std::vector<char>(size, 'q'), destroyed));
    }
    void onFirstConnection(std::vector<Step> steps) {
        server.onConnect([this, steps](ConnectionId id) {
            for (Step const& step : steps)
                if (id == 1) server.enqueue(id, step);
        });
    }
    // The server may accept only after the client has told its handlers.
    bool startConnected() { return client->start(), a.waitForConnected(1) && server.waitForConnections(1); }
    bool inReceive() const { return eventually([this] { return sleepsInReceive(a.state().thread); }); }
    int clientSocket() const {
        sockaddr_un peer{};
        for (int fd = 3; fd < 1024; ++fd)
            if (socklen_t size = sizeof peer; ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0 &&
                                              server.path() == peer.sun_path)
                return fd;
        return -1;
    }
    // Far more in flight than a header: the sender is in a payload's write,
    // which a server that does not read holds up.
    bool senderStuck() const {
        int queued = 0;
        return eventually([&, fd = clientSocket()] { return ::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 65536; });
    }
    // A socket pair on the lowest free descriptor numbers: those the client
    // has let go of, if it has. Afterwards: still connected, nothing arrived.
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
    RecordingHandler a, b;
    std::atomic<int> destroyed{0};
    std::atomic<bool> flag{false};
    int bystander[2] = {-1, -1};
    std::vector<kesu_tools::ScopedFd> held;      // sockets of the test's own
    std::unique_ptr<IPCMessengerClient> client;  // last: gone before what its thread uses
};

// The allowed types go first on every connection, before what onConnected
// sends; frames from onConnected and other threads arrive whole, each
// thread's in order.
TEST(IPCMessengerClientTest, EachConnectionAnnouncesTheAllowedTypesFirstAndCarriesWholeFramesFromAnyThread) {
    auto payload = [](int source, int i) {
        std::vector<char> out(static_cast<size_t>(1 + 997 * i), static_cast<char>(source));
        out[0] = static_cast<char>(i);
        return out;
    };
    for (bool announce : {false, true}) {
        SCOPED_TRACE(announce ? "three types allowed" : "none allowed");
        Rig r;
        auto sendAll = [&r, &payload](int source) {
            for (int i = 0; i < 30; ++i) r.client->sendMessage(new IPCMessage(frame(100 + source, payload(source, i))));
        };
        if (announce) r.client->setAllowedMessages({IPC_MSG_LAUNCH_URI, IPC_MSG_RAW_7, IPC_MSG_UINT_26});
        std::atomic<int> batches{0};
        r.a.connectedAction = [&] { sendAll(0), ++batches; };
        r.client->start();
        ASSERT_TRUE(r.server.waitForFrames(1, 1));
        r.server.enqueue(1, Step::close(false));
        ASSERT_TRUE(eventually([&] { return batches == 2; }));
        std::thread other(sendAll, 1);
        sendAll(2);
        other.join();
        ASSERT_TRUE(r.server.waitForFrames(2, announce ? 91 : 90)) << r.logs.dump();
        for (ConnectionId id : {ConnectionId{1}, ConnectionId{2}}) {
            IPCMessageStruct first = r.server.connection(id).frames.at(0);
            EXPECT_EQ(first.type, announce ? IPC_MSG_ALLOWED_MESSAGE_LIST : 100);
            EXPECT_EQ(first.data, announce ? bytes({0, 0, 0, 7}, {0, 0, 0, 26}, {0, 0, 0, 54}) : payload(0, 0));
        }
        auto frames = r.server.connection(2).frames;
        int next[3] = {};
        for (auto f = frames.begin() + (announce ? 1 : 0); f != frames.end(); ++f) {
            int source = f->type - 100;
            ASSERT_TRUE(source >= 0 && source < 3) << f->type;
            EXPECT_EQ(f->data, payload(source, next[source]++)) << "from " << source;
        }
    }
}

TEST(IPCMessengerClientTest, FramesAreAssembledDecodedAndDispatchedWhateverTheirType) {
    struct Row {
        IPCMessageStruct frame;
        std::vector<size_t> pieces;  // each read by the client before the next goes
        std::type_index kind;
        char const* text;
    };
    const Row rows[] = {
        {frame(IPC_MSG_LAUNCH_URI, bytes({0, 0, 0, 9}, {'p', 'i', 'e', 'c', 'e', 'w', 'i', 's', 'e'}, {0})),
         {1, 3, 2, 2, 1, 6}, typeid(IPCMessageSimpleString), "piecewise"},
        {frame(IPC_MSG_UINT_26), {}, typeid(IPCMessageUnsignedInt), ""},  // the next frame is not its payload
        {frame(IPC_MSG_RAW_7, bytes({0xAA})), {}, typeid(IPCMessage), ""},
        {frame(1, bytes({1, 2, 1})), {}, typeid(IPCMessage), ""},
        {frame(100, bytes({1, 2, 100})), {}, typeid(IPCMessage), ""},
        {frame(0xFFFFFF, bytes({1, 2, 0xFF})), {}, typeid(IPCMessage), ""},
    };
    Rig r;
    ASSERT_TRUE(r.startConnected());
    for (Row const& row : rows) r.server.enqueue(1, Step::frame(row.frame, row.pieces));
    ASSERT_TRUE(r.a.waitForMessages(std::size(rows))) << r.logs.dump();
    for (size_t i = 0; i < std::size(rows); ++i) {
        IPCMessageStruct const& sent = rows[i].frame;
        RecordingHandler::Message got = r.a.state().messages[i];
        SCOPED_TRACE(sent.type);
        EXPECT_EQ(got.type, sent.type);
        EXPECT_EQ(got.payload, sent.data);
        EXPECT_EQ(got.kind, rows[i].kind);
        EXPECT_EQ(got.text, rows[i].text);
    }
    EXPECT_EQ(r.a.state().disconnected, 0);
}

TEST(IPCMessengerClientTest, HandlersHearInAddressOrderOnceEachAndAThrowingOneHarmsNoOther) {
    RecordingHandler h[2] = {RecordingHandler('0'), RecordingHandler('1')};  // h[0] has the lower address
    h[0].connectedAction = [] { throw std::runtime_error("no tuner"); };
    h[0].messageAction = [](IPCMessage const& message) {
        if (message.type == IPC_MSG_RAW_7) throw std::runtime_error("bad seven");
        throw 42;
    };
    Rig r;
    r.client->removeHandler(&r.b);
    for (RecordingHandler* handler : {&h[1], &h[0], &h[0]}) r.client->addHandler(handler);
    r.onFirstConnection({Step::frame(frame(IPC_MSG_RAW_7)), Step::frame(frame(IPC_MSG_RAW_12)), Step::close(false)});
    RecordingHandler::takeJournal();
    r.client->start();
    ASSERT_TRUE(h[1].waitForConnected(2)) << r.logs.dump();
    EXPECT_EQ(RecordingHandler::takeJournal(), "C0 C1 M0 M1 M0 M1 D0 D1 C0 C1 ");
    EXPECT_EQ(r.logs.count(1, 240, "Handler failed: no tuner"), 2u) << r.logs.dump();
    EXPECT_EQ(r.logs.count(1, 240, "Handler failed: bad seven"), 1u);
    EXPECT_EQ(r.logs.count(1, 240, "Handler failed: unknown exception"), 1u);
    EXPECT_EQ(r.b.state().connected, 0) << "removed";
}

// Each ends the connection once: the lines that say why, one onDisconnected
// per handler, nothing dispatched, and the next connection at once.
TEST(IPCMessengerClientTest, ABrokenPeerEndsTheConnectionOnceAndTheClientReconnectsAtOnce) {
    struct Line {
        int level, line;
        std::string text;
    };
    const std::vector<char> cut = bytes({0x6D, 0, 0, 0x36}, {0, 0, 0, 0x14}, {1, 2, 3, 4, 5});
    const Line cutShown{5, 219, "New message received: 54 length 20"};
    const Line outOfSync{1, 200, "Out of sync. Terminate connection."};
    const Line closed{3, 227, "Connection closed"}, readError{1, 229, "Read error. Terminate connection"};
    struct Row {
        char const* name;
        size_t clientSends;       // payload the client sends on its first connection, in one write if empty
        std::vector<Step> steps;  // the server's, on the first connection
        std::vector<Line> lines;  // each once, and no other of the receive loop's
    };
    const Row rows[] = {
        {"wrong marker, a whole frame after it", kNothing,
         {Step::raw(bytes({0x6E, 0, 0, 0x36}, {0, 0, 0, 0}, {0x6D, 0, 0, 0x07}, {0, 0, 0, 0}))}, {outOfSync}},
        {"close in a header", kNothing, {Step::raw(bytes({0x6D, 0, 0})), Step::close(false)}, {{3, 172, closed.text}}},
        {"close in a payload", kNothing, {Step::raw(cut), Step::close(false)}, {cutShown, closed}},
        {"length above the bound", kNothing, {Step::raw(bytes({0x6D, 0, 0, 0x36}, {1, 0, 0, 1}))},
         {{1, 205, "Frame too large: type 54 length 16777217. Terminate connection."}}},
        {"length of exactly the bound, cut short", kNothing,
         {Step::raw(bytes({0x6D, 0, 0, 0x36}, {1, 0, 0, 0}, {1})), Step::close(false)},
         {{5, 219, "New message received: 54 length 16777216"}, closed}},
        {"reset in a header, the client's bytes unread", 0,
         {Step::setReading(false), kAwaitClient, Step::raw(bytes({0x6D})), Step::close(true)},
         {{1, 174, readError.text}}},
        {"reset in a payload, the client's bytes unread", 0,
         {Step::setReading(false), kAwaitClient, Step::raw(cut), Step::close(true)}, {cutShown, readError}},
        {"never reads, then a wrong marker while the client's sender is stuck", kLarge,
         {Step::setReading(false), kAwaitClient, Step::raw(bytes({0, 0, 0, 0}, {0, 0, 0, 0}))}, {outOfSync}},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        r.a.connectedAction = [&] {
            if (row.clientSends != kNothing && r.a.state().connected == 1) r.send(row.clientSends);
        };
        r.onFirstConnection(row.steps);
        r.client->start();
        ASSERT_TRUE(r.b.waitForConnected(2)) << r.logs.dump();
        for (RecordingHandler::State const& s : {r.a.state(), r.b.state()})
            EXPECT_TRUE(s.disconnected == 1 && s.messages.empty()) << s.disconnected << " ends told";
        size_t lines = 0;
        for (int line : {172, 174, 200, 205, 219, 227, 229}) lines += r.logs.count(line);
        EXPECT_EQ(lines, row.lines.size()) << r.logs.dump();
        for (Line const& line : row.lines) EXPECT_EQ(r.logs.count(line.level, line.line, line.text), 1u) << line.text;
        EXPECT_EQ(r.logs.count(60), 0u) << "a wait before reconnecting";
        EXPECT_EQ(r.destroyed, row.clientSends != kNothing ? 1 : 0);
    }
}

TEST(IPCMessengerClientTest, RetriesArePacedByTheRetrierUntilTheServerAppears) {
    Rig r(false);
    r.client->start();
    ASSERT_TRUE(r.logs.waitForLine(60));
    EXPECT_EQ(r.logs.size(), 2u) << r.logs.dump();
    EXPECT_EQ(r.logs.count(1, 129, "Can not connect to IPC Messagenger server"), 1u);
    EXPECT_EQ(r.logs.count(2, 60, "ipc_connection - failed (total 1 times), wait 1.00 sec before next retry"), 1u);
    r.clock.advance(1'000'000 - 1);  // one microsecond short: the thread polls, no attempt
    ASSERT_TRUE(r.clock.waitForReads(r.clock.reads() + 2, kesu_test::kEventTimeout));
    EXPECT_EQ(r.logs.count(129), 1u) << r.logs.dump();
    r.clock.advance(1);
    ASSERT_TRUE(r.logs.waitForLine(60, kesu_test::kEventTimeout, 2));
    EXPECT_EQ(r.logs.count(2, 60, "ipc_connection - failed (total 2 times), wait 1.10 sec before next retry"), 1u);
    r.serverAppears();
    r.clock.advance(1'101'000);
    ASSERT_TRUE(r.a.waitForConnected(1)) << r.logs.dump();
    EXPECT_EQ(r.logs.count(3, 138, "Connected to IPC server"), 1u);
    EXPECT_EQ(r.logs.count(4, 53, "ipc_connection - ok"), 1u);
    EXPECT_EQ(r.logs.count(129), 2u);
}

TEST(IPCMessengerClientTest, WithoutAWorkingSenderAMessageIsDeletedAtOnceAndSilently) {
    const std::pair<char const*, std::function<void(Rig&)>> rows[] = {
        {"before start", [](Rig&) {}},
        {"between connections",
         [](Rig& r) {
             ASSERT_TRUE(r.startConnected());
             ::unlink(r.alias.c_str());
             r.server.enqueue(1, Step::close(false));
             ASSERT_TRUE(r.logs.waitForLine(60)) << r.logs.dump();
         }},
        {"after the sender failed",
         [](Rig& r) {
             // The frame after the shutdown tells the client its writes fail from now on.
             r.onFirstConnection({Step::shutdownReading(), Step::frame(frame(IPC_MSG_RAW_7))});
             ASSERT_TRUE(r.startConnected() && r.a.waitForMessages(1));
             r.send(1);
             ASSERT_TRUE(r.logs.waitForLine(354)) << r.logs.dump();
             // The sender clears its flag after deleting the failed message;
             // until then a message may be queued, to go with the sender.
             ASSERT_TRUE(eventually([&r] {
                 int before = r.destroyed;
                 r.send(0);
                 return r.destroyed == before + 1;
             }));
         }},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.first);
        Rig r;
        row.second(r);
        int before = r.destroyed;
        size_t lines = r.logs.size();
        r.send(1);
        EXPECT_EQ(r.destroyed, before + 1);
        EXPECT_EQ(r.logs.size(), lines) << r.logs.dump();
    }
}

// Each stop returns, leaks no descriptor and touches none after letting it go
// (the bystander, opened then, takes the lowest free numbers); no connection
// follows it, and destroying the client afterwards logs nothing.
TEST(IPCMessengerClientTest, StopReturnsFromEveryStateAndLeavesEveryOtherDescriptorAlone) {
    // From a callback stop() only asks: the connection's socket stays the
    // client's, what is sent afterwards is deleted, nothing reaches the bystander.
    auto stopInside = [](Rig& r) {
        int own = r.clientSocket();
        for (int i = 0; i < 10; ++i) r.send(1);
        r.client->stop();
        EXPECT_NE(::fcntl(own, F_GETFD), -1) << "the socket was closed under the connection";
        r.openBystander();
        for (int i = 0; i < 10; ++i) r.send(1);
        r.flag = true;
    };
    auto stopped = [](Rig& r) { ASSERT_TRUE(eventually([&r] { return r.flag.load(); })); };
    struct Row {
        char const* name;
        std::function<void(Rig&)> reach;
        size_t connections;  // the server saw
        int disconnected;    // per handler; -1: one or none
        std::vector<int> lines;
        int destroyed;
        bool byDestructor;
    };
    const Row rows[] = {
        {"never started", [](Rig&) {}, 0, 0, {}, 0, false},
        {"waiting to retry",
         [](Rig& r) {
             ::unlink(r.alias.c_str());
             r.client->start();
             ASSERT_TRUE(r.logs.waitForLine(60));
             ASSERT_TRUE(r.clock.waitForReads(r.clock.reads() + 2, kesu_test::kEventTimeout));  // polling the retrier
         },
         0, 0, {129, 60}, 0, false},
        {"connecting to a full backlog",  // a blocking connect would wait beyond the reach of stop()
         [](Rig& r) {
             sockaddr_un address{};
             kesu_tools::makeUnixAddress(r.extraPath, address);
             r.held.emplace_back(::socket(AF_UNIX, SOCK_STREAM, 0));
             r.held.emplace_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0));  // fills a backlog of 0
             ASSERT_EQ(::bind(r.held[0].get(), kesu_tools::asSockaddr(address), sizeof address), 0);
             ASSERT_EQ(::listen(r.held[0].get(), 0), 0);
             ASSERT_EQ(::connect(r.held[1].get(), kesu_tools::asSockaddr(address), sizeof address), 0);
             r.useClient(r.extraPath);
             r.client->start();
             ASSERT_TRUE(r.logs.waitForLine(60)) << r.logs.dump();
         },
         0, 0, {129, 60}, 0, false},
        {"failing every attempt with a path that does not fit, not even to the part that would",
         [](Rig& r) {
             r.extraPath.resize(sizeof(sockaddr_un::sun_path) - 1, 'p');  // the longest path that fits
             ASSERT_EQ(::symlink(r.server.path().c_str(), r.extraPath.c_str()), 0);
             r.useClient(r.extraPath + "p");
             r.client->start();
             ASSERT_TRUE(r.logs.waitForLine(60)) << r.logs.dump();
         },
         0, 0, {129, 60}, 0, false},
        {"blocked in receive", [](Rig& r) { ASSERT_TRUE(r.startConnected() && r.inReceive()); }, 1, 1, {172}, 0, false},
        {"inside a handler callback, which ends before stop() returns",
         [](Rig& r) {
             r.a.messageAction = [&r](IPCMessage const&) {
                 EXPECT_TRUE(r.server.waitForClosed(1)) << "the stop left the connection open";
                 EXPECT_FALSE(r.flag) << "stop() returned first";
             };
             r.onFirstConnection({Step::frame(frame(IPC_MSG_RAW_7))});
             ASSERT_TRUE(r.startConnected() && r.a.waitForMessages(1));
         },
         1, -1, {}, 0, false},
        {"with a sender stuck writing to a server that never reads",
         [](Rig& r) {
             r.onFirstConnection({Step::setReading(false)});
             r.a.connectedAction = [&r] {
                 for (int i = 0; i < 3; ++i) r.send(kLarge);
             };
             ASSERT_TRUE(r.startConnected() && r.senderStuck() && r.inReceive());
         },
         1, 1, {172, 370}, 3, false},
        {"from onConnected",
         [&](Rig& r) {
             r.a.connectedAction = [&] { stopInside(r); };
             r.client->start();
             stopped(r);
         },
         1, 1, {172}, 20, false},
        {"from onNewMessageReceived, then the destructor, which waits for the callback",
         [&](Rig& r) {
             r.a.messageAction = [&](IPCMessage const&) {
                 stopInside(r);
                 // A destructor that did not wait for this thread would now
                 // destroy what the thread uses once it returns.
                 EXPECT_TRUE(r.logs.waitForLine(52)) << "the destructor never came";
                 std::this_thread::sleep_for(std::chrono::milliseconds(20));
             };
             r.onFirstConnection({Step::frame(frame(IPC_MSG_RAW_7))});
             r.client->start();
             stopped(r);
         },
         1, -1, {52}, 20, true},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        auto r = std::make_unique<Rig>();
        size_t descriptors = openDescriptors();
        row.reach(*r);
        if (r->bystander[0] == -1) r->openBystander();
        if (row.byDestructor) r->client.reset();
        r->stop();
        r->flag = true;
        for (int line : row.lines) EXPECT_EQ(r->logs.count(line), 1u) << line << "\n" << r->logs.dump();
        size_t lines = r->logs.size();
        r->client.reset();
        EXPECT_EQ(r->logs.size(), lines) << r->logs.dump();
        EXPECT_TRUE(r->bystanderIntact());
        EXPECT_TRUE(r->server.waitForConnections(row.connections));
        EXPECT_FALSE(r->server.hasPendingClient()) << "an attempt after the stop";
        EXPECT_EQ(r->server.connectionCount(), row.connections);
        int disconnected = r->a.state().disconnected;
        EXPECT_EQ(disconnected, row.disconnected < 0 ? std::min(disconnected, 1) : row.disconnected);
        EXPECT_EQ(r->destroyed, row.destroyed);
        ASSERT_TRUE(r->server.waitFor([](auto const& all) {
            return std::all_of(all.begin(), all.end(), [](auto const& entry) { return entry.second.closed; });
        }));
        for (int fd : r->bystander) ::close(fd);
        r->held.clear();
        EXPECT_EQ(openDescriptors(), descriptors) << "a descriptor leaked";
    }
}

// With a trusted user ID, a server running under another user gets a
// connection that is closed at once: no frame, no onConnected, a failed
// attempt for the retrier, the ID found in the log.
TEST(IPCMessengerClientTest, OnlyAServerOfTheTrustedUserGetsTheConnection) {
    const uid_t us = ::getuid();
    for (uid_t trusted : {us, us + 1}) {
        SCOPED_TRACE(trusted);
        Rig r;
        r.client->setTrustedServerUid(trusted);
        r.a.connectedAction = [&r] { r.client->sendMessage(new IPCMessage(IPC_MSG_RAW_7)); };
        r.client->start();
        if (trusted == us) {
            EXPECT_TRUE(r.server.waitForFrames(1, 1));
            continue;
        }
        ASSERT_TRUE(r.logs.waitForLine(60, kesu_test::kEventTimeout)) << r.logs.dump();
        EXPECT_TRUE(r.server.waitForClosed(1));
        std::string found = "Server runs as user " + std::to_string(us) + ", not as the trusted user " +
                            std::to_string(trusted) + ". Not trusted.";
        EXPECT_EQ(r.logs.count(1, 131, found), 1u) << r.logs.dump();
        EXPECT_EQ(r.server.connection(1).frames.size(), 0u);
        EXPECT_EQ(r.a.state().connected, 0);
    }
}

}  // namespace
