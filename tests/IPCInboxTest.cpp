// The inbox against the fake server. The test's thread plays the application's event loop.
#include "kesu/ipc/IPCInbox.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <fstream>
#include <thread>

#include "fakes/FakeServer.h"
#include "fakes/LogCapture.h"

namespace {
std::atomic<bool> descriptorsExhausted{false};  // armed, the next eventfd() fails as a full table makes it
}  // namespace

extern "C" int eventfd(unsigned int count, int flags) noexcept {
    if (descriptorsExhausted.exchange(false)) {
        errno = EMFILE;
        return -1;
    }
    return reinterpret_cast<int (*)(unsigned int, int)>(::dlsym(RTLD_NEXT, "eventfd"))(count, flags);
}

namespace {

using kesu_test::eventually;
using kesu_test::Step;

constexpr size_t kPayloadBytes = 16 * 1024;
constexpr size_t kHeldFrames = 4;  // the bound of the backpressure case, in frames

bool readable(int fd) {
    pollfd ready{fd, POLLIN, 0};
    return ::poll(&ready, 1, 0) == 1;
}

// How many times the descriptor was raised since it was last cleared, from the kernel's view of it.
unsigned long long timesRaised(int fd) {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
    std::string key;
    while (info >> key && key != "eventfd-count:") {
    }
    unsigned long long count = ~0ULL;
    info >> std::hex >> count;
    return count;
}

// Journals what it hears ("C M7 D ") and keeps every message: they are its own.
class Application final : public IPCInboxHandler {
public:
    void onConnected() override { journal += "C "; }
    void onDisconnected() override { journal += "D "; }
    void onMessage(std::unique_ptr<IPCMessage> message) override {
        journal += "M" + std::to_string(message->type) + " ";
        kept.push_back(std::move(message));
        if (action) action(*kept.back());
    }

    std::string journal;
    std::vector<std::unique_ptr<IPCMessage>> kept;
    std::function<void(IPCMessage const&)> action;
};

// A handler of the client beside the inbox: counts the messages the client thread has taken from the socket.
struct ReadCounter final : IPCMessengerClient::IPCMessengerHandler {
    void onNewMessageReceived(IPCMessage const*) override {
        ++messages;
        if (action) action();
    }
    std::atomic<size_t> messages{0};
    std::function<void()> action;
};

struct Rig {
    explicit Rig(size_t limitBytes = IPCInbox::kDefaultLimitBytes) : inbox(client, limitBytes) {
        client.addHandler(&counter);
    }
    ~Rig() { client.stop(); }
    // The event loop: dispatches whenever the descriptor is readable, until `done` holds.
    bool loopUntil(std::function<bool()> const& done) {
        return eventually([&] {
            if (readable(inbox.fd())) handled += inbox.dispatch(app);
            return done();
        });
    }
    bool connect() {
        client.start();
        return loopUntil([this] { return app.journal == "C "; });
    }
    // Frame i carries i in every byte, so the order shows in each message.
    void send(size_t frames, size_t payloadBytes) {
        for (size_t i = 0; i < frames; ++i)
            server.enqueue(1, Step::frame({IPC_MSG_RAW_7, std::vector<char>(payloadBytes, static_cast<char>(i))}));
    }

    kesu_test::LogCapture logs;
    kesu_test::FakeServer server;
    IPCMessengerClient client{server.path()};
    IPCInbox inbox;
    ReadCounter counter;
    Application app;
    size_t handled = 0;
};

// Frames that arrive while nobody dispatches raise the descriptor once; only the dispatch that empties it clears it.
TEST(IPCInboxTest, TheDescriptorIsRaisedOncePerBurstAndIsReadableExactlyWhileEventsWait) {
    Rig rig;
    ASSERT_TRUE(rig.connect());
    for (size_t round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        rig.send(20, 1);
        ASSERT_TRUE(eventually([&] { return rig.counter.messages == 20 * round && readable(rig.inbox.fd()); }));
        EXPECT_EQ(timesRaised(rig.inbox.fd()), 1u);
        EXPECT_EQ(rig.inbox.dispatch(rig.app, 5), 5u);
        EXPECT_TRUE(readable(rig.inbox.fd()));
        ASSERT_TRUE(rig.loopUntil([&] { return rig.app.kept.size() == 20 * round; }));
        EXPECT_FALSE(readable(rig.inbox.fd()));
    }
}

// With no lock held in a callback, every operation works there, and every event still comes once, in order.
TEST(IPCInboxTest, TheApplicationMayCallEveryClientOperationFromItsCallbacks) {
    Rig rig;
    rig.app.action = [&](IPCMessage const& message) {
        if (message.messageStruct.data.at(0) == 0) {
            rig.client.sendMessage(std::make_unique<IPCMessage>(IPC_MSG_RAW_12));
            rig.client.sendMessage(new IPCMessage(IPC_MSG_RAW_13));
            rig.client.removeHandler(&rig.counter);
            rig.client.addHandler(&rig.counter);
            rig.handled += rig.inbox.dispatch(rig.app);
        }
        if (message.messageStruct.data.at(0) == 2) {
            EXPECT_TRUE(rig.server.waitForFrames(1, 2)) << "the replies, before the stop drops what is queued";
            rig.client.stop();
            rig.client.start();
        }
    };
    ASSERT_TRUE(rig.connect());
    rig.send(3, 1);
    std::string const expected = "C M7 M7 M7 D C ";
    ASSERT_TRUE(rig.loopUntil([&] { return rig.app.journal.size() >= expected.size(); })) << rig.app.journal;
    EXPECT_EQ(rig.app.journal, expected);
    EXPECT_EQ(rig.handled, 6u);
    EXPECT_EQ(rig.server.connection(1).frames.at(0).type, IPC_MSG_RAW_12);
    EXPECT_EQ(rig.server.connection(1).frames.at(1).type, IPC_MSG_RAW_13);
}

// A stop that a handler of the client asks ends dispatch for the inbox too: the message under way and those
// after it never reach the application, the end of the connection does.
TEST(IPCInboxTest, AStopAskedByAHandlerOfTheClientEndsDispatchForTheInboxToo) {
    Rig rig;
    rig.counter.action = [&rig] { rig.client.stop(); };
    ASSERT_TRUE(rig.connect());
    rig.send(3, 1);
    ASSERT_TRUE(rig.loopUntil([&] { return rig.app.journal.size() >= 4; }));
    rig.client.stop();
    EXPECT_EQ(rig.app.journal, "C D ");
}

// At its bound the inbox holds the client thread, with one more message and no lock the callbacks need, so the
// server's frames wait in the socket. Full again, a stop returns at once, the message in hand goes, and one
// dispatch delivers the rest in order, ending with the end of the connection.
TEST(IPCInboxTest, AFullInboxHoldsTheServerBackAndAStopStillReturnsAtOnce) {
    ReadCounter other;  // comes and goes with the drain; outlives the client
    Rig rig(kHeldFrames * (kPayloadBytes + ipc_frame::kHeaderBytes + IPCInbox::kMessageOverheadBytes));
    ASSERT_TRUE(rig.connect());
    rig.send(64, kPayloadBytes);
    ASSERT_TRUE(eventually([&] { return rig.counter.messages == kHeldFrames + 1; }));
    rig.app.action = [&](IPCMessage const&) { rig.client.addHandler(&other); };
    ASSERT_TRUE(rig.loopUntil([&] { return rig.app.kept.size() >= 32; }));
    rig.client.removeHandler(&other);
    const size_t drained = rig.app.kept.size();
    ASSERT_TRUE(eventually([&] { return rig.counter.messages == drained + kHeldFrames + 1; }));
    std::atomic<bool> stopped{false};
    std::thread owner([&] {
        rig.client.stop();
        stopped = true;
    });
    EXPECT_TRUE(eventually([&] { return stopped.load(); }));
    rig.inbox.dispatch(rig.app);  // after the stop, or to free a client thread that missed it
    owner.join();
    EXPECT_EQ(rig.app.journal.substr(rig.app.journal.size() - 14), "M7 M7 M7 M7 D ");
    EXPECT_EQ(rig.inbox.dispatch(rig.app), 0u) << "after the end";
    ASSERT_EQ(rig.app.kept.size(), drained + kHeldFrames);
    for (size_t i = 0; i < rig.app.kept.size(); ++i) {
        EXPECT_EQ(rig.app.kept[i]->messageStruct.data.at(0), static_cast<char>(i));
    }
}

// Out of descriptors: a level-1 line and no descriptor, which valid() tells.
TEST(IPCInboxTest, AnInboxWithoutADescriptorSaysSo) {
    kesu_test::LogCapture logs;
    IPCMessengerClient client("/nonexistent/kesu-inbox-test");
    descriptorsExhausted = true;
    IPCInbox inbox(client);
    EXPECT_FALSE(inbox.valid());
    EXPECT_EQ(logs.count(401, 1, "Can't make the inbox's descriptor: Too many open files"), 1u) << logs.lines();
}

}  // namespace
