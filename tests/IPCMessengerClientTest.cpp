// The messenger client against a real server socket at a temporary path.
//
// Tests that depend on when the client may try again freeze the platform
// clock: with time standing still any owed wait lasts for ever, so "at once"
// becomes a yes-or-no question instead of a measurement.
#include "ipc/IPCMessengerClient.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeindex>
#include <utility>
#include <vector>

#include "PayloadBytes.h"
#include "fakes/CountingMessage.h"
#include "fakes/Eventually.h"
#include "fakes/LogCapture.h"
#include "fakes/RecordingHandler.h"
#include "fakes/TestClock.h"
#include "fakes/TestServer.h"
#include "fakes/Watchdog.h"
#include "ipc/IPCValueMessages.h"

namespace {

using kesu_test::CountingMessage;
using kesu_test::eventually;
using kesu_test::kEventTimeout;
using kesu_test::LogCapture;
using kesu_test::ReadOutcome;
using kesu_test::RecordingHandler;
using kesu_test::TestClock;
using kesu_test::TestConnection;
using kesu_test::TestServer;
using kesu_test::Watchdog;
using test_bytes::bytes;
using test_bytes::hex;
using Event = RecordingHandler::Event;

constexpr long long kFrozenAtUs = 10'000'000'000LL;
constexpr size_t kLargePayloadBytes = 1024 * 1024;

// Source lines of the client's log entries.
constexpr int kLineClosing = 52;
constexpr int kLineRetrierOk = 53;
constexpr int kLineRetrierFailed = 60;
constexpr int kLineCannotConnect = 129;
constexpr int kLineConnected = 138;
constexpr int kLineClosedInHeader = 172;
constexpr int kLineReadErrorInHeader = 174;
constexpr int kLineOutOfSync = 200;
constexpr int kLineTooLarge = 205;
constexpr int kLineNewMessage = 219;
constexpr int kLineClosedInPayload = 227;
constexpr int kLineReadErrorInPayload = 229;
constexpr int kLineHandlerFailed = 240;
constexpr int kLineHeaderWriteFailed = 354;
constexpr int kLinePayloadWriteFailed = 370;

// A gate a handler waits at until the test opens it.
class Gate {
public:
    void open() {
        {
            std::lock_guard<std::mutex> lock(gateMutex);
            opened = true;
        }
        gateCond.notify_all();
    }
    bool waitOpen(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(gateMutex);
        return gateCond.wait_for(lock, timeout, [this] { return opened; });
    }

private:
    std::mutex gateMutex;
    std::condition_variable gateCond;
    bool opened = false;
};

// The client thread sleeps in a receive on its socket: a stop from now on
// interrupts that receive, not a callback or the set-up.
// Kernels that do not name wait channels show "0"; the system call the
// thread sleeps in (recv is recvfrom to the kernel) tells the same there.
bool blockedInReceive(long thread) {
    std::string task = "/proc/self/task/" + std::to_string(thread);
    std::ifstream wchan(task + "/wchan");
    std::string where;
    std::getline(wchan, where);
    if (where != "0" && !where.empty())
        return where.find("unix_stream_read") != std::string::npos ||
               where.find("unix_stream_data_wait") != std::string::npos;
    std::ifstream syscall(task + "/syscall");
    long number = -1;
    syscall >> number;
    return number == SYS_recvfrom;
}

// Some thread of this process sleeps in a receive on a Unix socket: with a
// step-by-step server, only the client thread can.
bool someThreadBlockedInReceive() {
    bool found = false;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.' && blockedInReceive(std::atol(entry->d_name))) found = true;
        ::closedir(dir);
    }
    return found;
}

bool clientThreadReceives(RecordingHandler const& handler) {
    long thread = handler.snapshot().callingThread;
    return thread != 0 && eventually([thread] { return blockedInReceive(thread); }, kEventTimeout);
}

size_t openDescriptorCount() {
    size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
        ::closedir(dir);
    }
    return count;
}

class IPCMessengerClientTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (client) stopClient();
    }

    void freezeClock() { clock = std::make_unique<TestClock>(kFrozenAtUs); }

    void stopClient() {
        Watchdog watchdog(kEventTimeout, "IPCMessengerClient::stop()");
        client->stop();
    }

    // Starts the client and returns the server's side of its first connection,
    // once every registered handler has heard of it.
    std::unique_ptr<TestConnection> startAndAccept() {
        client->start();
        auto connection = server.accept(kEventTimeout);
        EXPECT_NE(connection, nullptr) << logs.dump();
        EXPECT_TRUE(handler.waitForConnected(1, kEventTimeout));
        return connection;
    }

    size_t retryLines() const { return logs.count(kLineCannotConnect) + logs.count(kLineRetrierFailed); }

    // Declared in the order that lets each outlive what uses it: the log
    // capture and the clock outlive the client thread, the handlers the client.
    LogCapture logs;
    std::unique_ptr<TestClock> clock;
    TestServer server;
    RecordingHandler handler;
    std::atomic<int> destroyed{0};
    std::unique_ptr<IPCMessengerClient> client = std::make_unique<IPCMessengerClient>(server.path());
};

// --- Life cycle -------------------------------------------------------------

TEST_F(IPCMessengerClientTest, StopBeforeStartMakesNoSocketAndReturns) {
    client->addHandler(&handler);
    stopClient();
    EXPECT_FALSE(server.hasPendingConnection());
    EXPECT_EQ(logs.size(), 0u) << logs.dump();
    EXPECT_TRUE(handler.snapshot().events.empty());
}

TEST_F(IPCMessengerClientTest, DestroyingAStoppedClientLogsNothing) {
    client->addHandler(&handler);
    auto connection = startAndAccept();
    stopClient();
    client->removeHandler(&handler);
    size_t linesBefore = logs.size();
    client.reset();
    EXPECT_EQ(logs.size(), linesBefore) << logs.dump();
    EXPECT_EQ(logs.count(kLineClosing), 0u);
}

TEST_F(IPCMessengerClientTest, APathThatDoesNotFitMakesEveryAttemptFail) {
    freezeClock();
    client = std::make_unique<IPCMessengerClient>(std::string(200, 'p'));
    client->addHandler(&handler);
    client->start();
    ASSERT_TRUE(logs.waitForLine(kLineRetrierFailed, kEventTimeout)) << logs.dump();
    EXPECT_EQ(logs.count(1, kLineCannotConnect, "Can not connect to IPC Messagenger server"), 1u);
    EXPECT_EQ(handler.snapshot().connected, 0);
}

// --- Connecting ---------------------------------------------------------------

TEST_F(IPCMessengerClientTest, ConnectsAtOnceAndTellsTheHandlerOnce) {
    freezeClock();
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);

    auto entries = logs.entries();
    ASSERT_GE(entries.size(), 2u) << logs.dump();
    EXPECT_EQ(entries[0].level, 3);
    EXPECT_EQ(entries[0].line, kLineConnected);
    EXPECT_EQ(entries[0].file, "src/ipc/IPCMessengerClient.h");
    EXPECT_EQ(entries[0].text, "Connected to IPC server");
    EXPECT_EQ(entries[1].level, 4);
    EXPECT_EQ(entries[1].line, kLineRetrierOk);
    EXPECT_EQ(entries[1].text, "ipc_connection - ok");
    EXPECT_EQ(retryLines(), 0u);

    // A frame after the set-up shows the client is past it, told once.
    ASSERT_TRUE(connection->writeFrame(IPC_MSG_RAW_7, {}));
    ASSERT_TRUE(handler.waitForMessages(1, kEventTimeout));
    EXPECT_EQ(handler.snapshot().connected, 1);
    EXPECT_EQ(handler.snapshot().disconnected, 0);
}

TEST_F(IPCMessengerClientTest, MessagesSentFromOnConnectedAndFromOtherThreadsReachTheServerWhole) {
    std::mutex deliveredMutex;
    std::vector<IPCMessageType> delivered;
    client->setDeliveryCallback([&](IPCMessage const& message) {
        std::lock_guard<std::mutex> lock(deliveredMutex);
        delivered.push_back(message.messageStruct.type);
    });
    handler.connectedAction = [this] { client->sendMessage(new IPCMessageSimpleString(IPC_MSG_LAUNCH_URI, "tv://1")); };
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);

    IPCMessageStruct frame;
    ASSERT_EQ(connection->readFrame(frame, kEventTimeout), ReadOutcome::Frame);
    EXPECT_EQ(frame.type, IPC_MSG_LAUNCH_URI);
    EXPECT_EQ(hex(frame.data), hex(bytes({0x00, 0x00, 0x00, 0x06}, {'t', 'v', ':', '/', '/', '1'}, {0x00})));

    client->sendMessage(new IPCMessageUnsignedInt(IPC_MSG_UINT_26, 0x01020304));
    ASSERT_EQ(connection->readFrame(frame, kEventTimeout), ReadOutcome::Frame);
    EXPECT_EQ(frame.type, IPC_MSG_UINT_26);
    EXPECT_EQ(hex(frame.data), hex(bytes({0x01, 0x02, 0x03, 0x04})));

    ASSERT_TRUE(eventually(
        [&] {
            std::lock_guard<std::mutex> lock(deliveredMutex);
            return delivered.size() == 2;
        },
        kEventTimeout));
    stopClient();  // the callback refers to this test's locals
    EXPECT_EQ(delivered, (std::vector<IPCMessageType>{IPC_MSG_LAUNCH_URI, IPC_MSG_UINT_26}));
}

TEST_F(IPCMessengerClientTest, AllowedTypesAreAnnouncedBeforeOnConnectedOnEveryConnection) {
    freezeClock();
    client->setAllowedMessages({IPC_MSG_LAUNCH_URI, IPC_MSG_RAW_7, IPC_MSG_UINT_26});
    handler.connectedAction = [this] { client->sendMessage(new IPCMessageSimpleString(IPC_MSG_LAUNCH_URI, "x")); };
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("connection " + std::to_string(round + 1));
        IPCMessageStruct frame;
        ASSERT_EQ(connection->readFrame(frame, kEventTimeout), ReadOutcome::Frame);
        EXPECT_EQ(frame.type, IPC_MSG_ALLOWED_MESSAGE_LIST);
        EXPECT_EQ(hex(frame.data), hex(bytes({0x00, 0x00, 0x00, 0x07}, {0x00, 0x00, 0x00, 0x1A},
                                             {0x00, 0x00, 0x00, 0x36})));
        ASSERT_EQ(connection->readFrame(frame, kEventTimeout), ReadOutcome::Frame);
        EXPECT_EQ(frame.type, IPC_MSG_LAUNCH_URI);
        // The next connection announces the same set again.
        connection->close();
        connection = server.accept(kEventTimeout);
        ASSERT_NE(connection, nullptr) << logs.dump();
    }
}

TEST_F(IPCMessengerClientTest, NothingIsAnnouncedWhileTheAllowedSetIsEmpty) {
    handler.connectedAction = [this] { client->sendMessage(new IPCMessageSimpleString(IPC_MSG_LAUNCH_URI, "x")); };
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);
    IPCMessageStruct frame;
    ASSERT_EQ(connection->readFrame(frame, kEventTimeout), ReadOutcome::Frame);
    EXPECT_EQ(frame.type, IPC_MSG_LAUNCH_URI);
}

// --- Receiving ----------------------------------------------------------------

TEST_F(IPCMessengerClientTest, FramesArrivingInPiecesAreAssembledFirst) {
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);

    std::vector<char> text = bytes({0x00, 0x00, 0x00, 0x09}, {'p', 'i', 'e', 'c', 'e', 'w', 'i', 's', 'e'}, {0x00});
    // Header in four pieces, payload in three, each read by the client before the next is sent.
    ASSERT_TRUE(connection->writeInPieces(kesu_test::frameBytes(IPC_MSG_LAUNCH_URI, text), {1, 3, 2, 2, 1, 6},
                                          kEventTimeout));
    ASSERT_TRUE(handler.waitForMessages(1, kEventTimeout));
    EXPECT_EQ(handler.snapshot().messages.size(), 1u);

    // Two frames in one write are two messages.
    std::vector<char> both = kesu_test::frameBytes(IPC_MSG_RAW_7, bytes({0x07}));
    std::vector<char> second = kesu_test::frameBytes(IPC_MSG_RAW_12, bytes({0x0C, 0x0C}));
    both.insert(both.end(), second.begin(), second.end());
    ASSERT_TRUE(connection->writeRaw(both));
    ASSERT_TRUE(handler.waitForMessages(3, kEventTimeout));

    auto messages = handler.snapshot().messages;
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].type, IPC_MSG_LAUNCH_URI);
    EXPECT_EQ(messages[0].messageClass, std::type_index(typeid(IPCMessageSimpleString)));
    EXPECT_EQ(messages[0].text, "piecewise");
    EXPECT_EQ(hex(messages[0].payload), hex(text));
    EXPECT_EQ(messages[1].type, IPC_MSG_RAW_7);
    EXPECT_EQ(hex(messages[1].payload), hex(bytes({0x07})));
    EXPECT_EQ(messages[2].type, IPC_MSG_RAW_12);
    EXPECT_EQ(hex(messages[2].payload), hex(bytes({0x0C, 0x0C})));
    EXPECT_EQ(handler.snapshot().disconnected, 0);
}

TEST_F(IPCMessengerClientTest, ZeroLengthFrameIsDispatchedWithAnEmptyPayload) {
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(connection->writeRaw(bytes({0x6D, 0x00, 0x00, 0x1A}, {0x00, 0x00, 0x00, 0x00})));
    ASSERT_TRUE(connection->writeFrame(IPC_MSG_RAW_7, bytes({0xAA})));  // not taken for the empty one's payload
    ASSERT_TRUE(handler.waitForMessages(2, kEventTimeout));

    auto messages = handler.snapshot().messages;
    EXPECT_EQ(messages[0].type, IPC_MSG_UINT_26);
    EXPECT_EQ(messages[0].messageClass, std::type_index(typeid(IPCMessageUnsignedInt)));
    EXPECT_TRUE(messages[0].payload.empty());
    EXPECT_EQ(messages[1].type, IPC_MSG_RAW_7);
    EXPECT_EQ(hex(messages[1].payload), hex(bytes({0xAA})));
    EXPECT_EQ(logs.count(5, kLineNewMessage, "New message received: 26 length 0"), 1u) << logs.dump();
    EXPECT_EQ(logs.count(5, kLineNewMessage, "New message received: 7 length 1"), 1u) << logs.dump();
}

TEST_F(IPCMessengerClientTest, TypesWithoutAClassArriveAsPlainMessagesWithTheirPayload) {
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);
    const std::vector<uint32_t> types = {1, 7, 100, 0xFFFFFF};
    for (uint32_t type : types) ASSERT_TRUE(connection->writeFrame(type, bytes({0x01, 0x02}, {static_cast<uint8_t>(type)})));
    ASSERT_TRUE(handler.waitForMessages(types.size(), kEventTimeout));

    auto messages = handler.snapshot().messages;
    for (size_t i = 0; i < types.size(); ++i) {
        SCOPED_TRACE("type " + std::to_string(types[i]));
        EXPECT_EQ(static_cast<uint32_t>(messages[i].type), types[i]);
        EXPECT_EQ(messages[i].messageClass, std::type_index(typeid(IPCMessage)));
        EXPECT_EQ(hex(messages[i].payload), hex(bytes({0x01, 0x02}, {static_cast<uint8_t>(types[i])})));
    }
    EXPECT_EQ(handler.snapshot().disconnected, 0);
}

TEST_F(IPCMessengerClientTest, WrongMarkerDropsTheConnectionAndReconnectsAtOnce) {
    freezeClock();
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);
    // A well-formed frame follows the broken header: the client must not hunt for it.
    std::vector<char> stream = bytes({0x6E, 0x00, 0x00, 0x36}, {0x00, 0x00, 0x00, 0x00});
    std::vector<char> good = kesu_test::frameBytes(IPC_MSG_RAW_7, {});
    stream.insert(stream.end(), good.begin(), good.end());
    ASSERT_TRUE(connection->writeRaw(stream));

    ASSERT_TRUE(logs.waitForLine(kLineOutOfSync, kEventTimeout));
    EXPECT_EQ(logs.count(1, kLineOutOfSync, "Out of sync. Terminate connection."), 1u);
    std::vector<char> rest;
    EXPECT_TRUE(connection->readUntilClosed(rest, kEventTimeout)) << "the client closes its socket";
    auto second = server.accept(kEventTimeout);
    ASSERT_NE(second, nullptr) << "no reconnect with time standing still\n" << logs.dump();
    ASSERT_TRUE(handler.waitForConnected(2, kEventTimeout));

    auto state = handler.snapshot();
    EXPECT_EQ(state.events, (std::vector<Event>{Event::Connected, Event::Disconnected, Event::Connected}));
    EXPECT_TRUE(state.messages.empty());
    EXPECT_EQ(retryLines(), 0u) << logs.dump();
    EXPECT_EQ(logs.count(kLineNewMessage), 0u);
}

TEST_F(IPCMessengerClientTest, PayloadCutShortIsDiscardedAndTheClientReconnects) {
    freezeClock();
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(connection->writeRaw(bytes({0x6D, 0x00, 0x00, 0x36}, {0x00, 0x00, 0x00, 0x14}, {1, 2, 3, 4, 5})));
    ASSERT_TRUE(connection->waitUntilPeerHasRead(kEventTimeout));
    connection->close();

    ASSERT_TRUE(handler.waitForDisconnected(1, kEventTimeout));
    EXPECT_EQ(logs.count(3, kLineClosedInPayload, "Connection closed"), 1u) << logs.dump();
    EXPECT_EQ(logs.count(kLineClosedInHeader), 0u);
    auto second = server.accept(kEventTimeout);
    ASSERT_NE(second, nullptr) << logs.dump();
    ASSERT_TRUE(handler.waitForConnected(2, kEventTimeout));
    EXPECT_TRUE(handler.snapshot().messages.empty());
    EXPECT_EQ(handler.snapshot().disconnected, 1);
    EXPECT_EQ(retryLines(), 0u) << logs.dump();
}

TEST_F(IPCMessengerClientTest, AnnouncedLengthAboveTheBoundDropsTheConnection) {
    freezeClock();
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);
    ASSERT_EQ(ipc_frame::kMaxPayloadBytes, 16u * 1024 * 1024);
    ASSERT_TRUE(connection->writeRaw(bytes({0x6D, 0x00, 0x00, 0x36}, {0x01, 0x00, 0x00, 0x01})));

    ASSERT_TRUE(handler.waitForDisconnected(1, kEventTimeout));
    auto entries = logs.entries();
    size_t tooLarge = 0;
    for (auto const& entry : entries) {
        if (entry.line != kLineTooLarge) continue;
        ++tooLarge;
        EXPECT_EQ(entry.level, 1);
        EXPECT_NE(entry.text.find("16777217"), std::string::npos) << entry.text;
    }
    EXPECT_EQ(tooLarge, 1u) << logs.dump();
    EXPECT_EQ(logs.count(kLineNewMessage), 0u);
    auto second = server.accept(kEventTimeout);
    ASSERT_NE(second, nullptr) << logs.dump();
    ASSERT_TRUE(handler.waitForConnected(2, kEventTimeout));
    EXPECT_TRUE(handler.snapshot().messages.empty());
    EXPECT_EQ(handler.snapshot().disconnected, 1);
}

TEST_F(IPCMessengerClientTest, PayloadOfExactlyTheBoundIsReceived) {
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);
    std::vector<char> payload(ipc_frame::kMaxPayloadBytes, 'b');
    payload.front() = 'a';
    payload.back() = 'z';
    ASSERT_TRUE(connection->writeFrame(IPC_MSG_RAW_7, payload));
    ASSERT_TRUE(handler.waitForMessages(1, 2 * kEventTimeout));
    auto message = handler.snapshot().messages.at(0);
    EXPECT_EQ(message.payload.size(), payload.size());
    EXPECT_TRUE(message.payload == payload);
    EXPECT_EQ(handler.snapshot().disconnected, 0);
}

// --- Handlers -----------------------------------------------------------------

TEST_F(IPCMessengerClientTest, HandlersAreCalledInAscendingAddressOrder) {
    RecordingHandler pair[2];  // pair[0] has the lower address
    std::mutex journalMutex;
    std::vector<std::string> journal;
    for (int id = 0; id < 2; ++id) {
        auto note = [&journalMutex, &journal, id](char const* what) {
            std::lock_guard<std::mutex> lock(journalMutex);
            journal.push_back(what + std::to_string(id));
        };
        pair[id].connectedAction = [note] { note("C"); };
        pair[id].messageAction = [note](IPCMessage const&) { note("M"); };
        pair[id].disconnectedAction = [note] { note("D"); };
    }
    client->addHandler(&pair[1]);
    client->addHandler(&pair[0]);
    client->start();
    auto connection = server.accept(kEventTimeout);
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(pair[1].waitForConnected(1, kEventTimeout));
    ASSERT_TRUE(connection->writeFrame(IPC_MSG_RAW_7, {}));
    ASSERT_TRUE(connection->writeFrame(IPC_MSG_RAW_12, {}));
    ASSERT_TRUE(pair[1].waitForMessages(2, kEventTimeout));
    ASSERT_TRUE(clientThreadReceives(pair[1]));
    stopClient();

    std::lock_guard<std::mutex> lock(journalMutex);
    EXPECT_EQ(journal, (std::vector<std::string>{"C0", "C1", "M0", "M1", "M0", "M1", "D0", "D1"}));
}

TEST_F(IPCMessengerClientTest, AHandlerRegisteredTwiceIsCalledOnce) {
    client->addHandler(&handler);
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(connection->writeFrame(IPC_MSG_RAW_7, {}));
    ASSERT_TRUE(handler.waitForMessages(1, kEventTimeout));
    ASSERT_TRUE(clientThreadReceives(handler));
    stopClient();
    EXPECT_EQ(handler.snapshot().events, (std::vector<Event>{Event::Connected, Event::Message, Event::Disconnected}));
}

TEST_F(IPCMessengerClientTest, RemovingHandlersLeavesOnlyTheRegisteredOnesCalled) {
    RecordingHandler neverAdded;
    RecordingHandler removed;
    client->addHandler(&handler);
    client->addHandler(&removed);
    client->removeHandler(&removed);
    client->removeHandler(&neverAdded);  // harmless
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(connection->writeFrame(IPC_MSG_RAW_7, {}));
    ASSERT_TRUE(handler.waitForMessages(1, kEventTimeout));
    ASSERT_TRUE(clientThreadReceives(handler));
    stopClient();
    EXPECT_EQ(handler.snapshot().events, (std::vector<Event>{Event::Connected, Event::Message, Event::Disconnected}));
    EXPECT_TRUE(removed.snapshot().events.empty());
    EXPECT_TRUE(neverAdded.snapshot().events.empty());
}

TEST_F(IPCMessengerClientTest, WithoutHandlersFramesAreStillReadAndDropped) {
    client->start();
    auto connection = server.accept(kEventTimeout);
    ASSERT_NE(connection, nullptr);
    for (uint32_t type : {7u, 54u, 40u})
        ASSERT_TRUE(connection->writeFrame(type, bytes({0x00, 0x00, 0x00, 0x01}, {'a'}, {0x00})));
    ASSERT_TRUE(connection->waitUntilPeerHasRead(kEventTimeout));
    ASSERT_TRUE(logs.waitForLine(kLineNewMessage, kEventTimeout, 3));
    // The third frame is logged before it is dispatched; back in a receive,
    // the client is done with it.
    ASSERT_TRUE(eventually([] { return someThreadBlockedInReceive(); }, kEventTimeout));

    // Nothing of them is kept for a handler that comes later.
    client->addHandler(&handler);
    ASSERT_TRUE(connection->writeFrame(IPC_MSG_RAW_12, {}));
    ASSERT_TRUE(handler.waitForMessages(1, kEventTimeout));
    stopClient();
    auto state = handler.snapshot();
    ASSERT_EQ(state.messages.size(), 1u);
    EXPECT_EQ(state.messages[0].type, IPC_MSG_RAW_12);
}

TEST_F(IPCMessengerClientTest, AThrowingHandlerIsLoggedAndTheOthersStillHearOfEverything) {
    RecordingHandler pair[2];
    pair[0].connectedAction = [] { throw std::runtime_error("no tuner"); };
    pair[0].messageAction = [](IPCMessage const& message) {
        if (message.type == IPC_MSG_RAW_7) throw std::runtime_error("bad seven");
        throw 42;
    };
    client->addHandler(&pair[0]);
    client->addHandler(&pair[1]);
    client->start();
    auto connection = server.accept(kEventTimeout);
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(pair[1].waitForConnected(1, kEventTimeout));
    ASSERT_TRUE(connection->writeFrame(IPC_MSG_RAW_7, {}));
    ASSERT_TRUE(connection->writeFrame(IPC_MSG_RAW_12, {}));
    ASSERT_TRUE(pair[1].waitForMessages(2, kEventTimeout));

    EXPECT_EQ(logs.count(1, kLineHandlerFailed, "Handler failed: no tuner"), 1u) << logs.dump();
    EXPECT_EQ(logs.count(1, kLineHandlerFailed, "Handler failed: bad seven"), 1u) << logs.dump();
    EXPECT_EQ(logs.count(1, kLineHandlerFailed, "Handler failed: unknown exception"), 1u) << logs.dump();
    // The connection goes on.
    ASSERT_TRUE(connection->writeFrame(IPC_MSG_RAW_13, {}));
    ASSERT_TRUE(pair[1].waitForMessages(3, kEventTimeout));
    EXPECT_EQ(pair[0].snapshot().messages.size(), 3u);
    EXPECT_EQ(pair[1].snapshot().disconnected, 0);
    EXPECT_FALSE(server.hasPendingConnection());
    stopClient();  // before the handlers go
}

// --- Submitting without a sender --------------------------------------------

TEST_F(IPCMessengerClientTest, SendMessageBeforeStartDeletesTheMessageSilently) {
    client->sendMessage(new CountingMessage(IPC_MSG_RAW_12, bytes({0x01}), destroyed));
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(logs.size(), 0u) << logs.dump();
}

TEST_F(IPCMessengerClientTest, SendMessageBetweenConnectionsDeletesTheMessageSilently) {
    freezeClock();
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);
    server.stopListening();  // the socket file stays, with no one listening
    connection->close();
    // With time standing still the client stays between connections after its
    // one failed attempt.
    ASSERT_TRUE(logs.waitForLine(kLineRetrierFailed, kEventTimeout)) << logs.dump();
    EXPECT_EQ(logs.count(1, kLineCannotConnect, "Can not connect to IPC Messagenger server"), 1u);

    size_t linesBefore = logs.size();
    client->sendMessage(new CountingMessage(IPC_MSG_RAW_12, bytes({0x01}), destroyed));
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(logs.size(), linesBefore) << logs.dump();
}

TEST_F(IPCMessengerClientTest, SendMessageAfterTheSenderFailedDeletesTheMessageSilently) {
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);
    connection->shutdownReading();  // the client's writes fail, its reads still wait

    client->sendMessage(new CountingMessage(IPC_MSG_RAW_12, bytes({0x01}), destroyed));
    ASSERT_TRUE(logs.waitForLine(kLineHeaderWriteFailed, kEventTimeout)) << logs.dump();
    ASSERT_TRUE(eventually([this] { return destroyed.load() == 1; }, kEventTimeout));
    // The sender sets its flag after deleting the message; give it that instant.
    size_t linesBefore = logs.size();
    std::atomic<int> probes{0};
    ASSERT_TRUE(eventually(
        [&] {
            int before = probes.load();
            client->sendMessage(new CountingMessage(IPC_MSG_RAW_12, {}, probes));
            return probes.load() == before + 1;
        },
        kEventTimeout));
    client->sendMessage(new CountingMessage(IPC_MSG_RAW_12, bytes({0x02}), destroyed));
    EXPECT_EQ(destroyed.load(), 2) << "deleted by sendMessage itself";
    EXPECT_EQ(logs.size(), linesBefore) << logs.dump();

    // Receiving goes on over the same connection.
    ASSERT_TRUE(connection->writeFrame(IPC_MSG_RAW_7, {}));
    ASSERT_TRUE(handler.waitForMessages(1, kEventTimeout));
    EXPECT_EQ(handler.snapshot().disconnected, 0);
    stopClient();  // a probe may still be queued in the ended sender
}

// --- Stopping -----------------------------------------------------------------

TEST_F(IPCMessengerClientTest, StopWhileWaitingToRetryReturnsWithoutAnotherAttempt) {
    freezeClock();
    server.stopListening();
    server.removePath();
    client->addHandler(&handler);
    client->start();
    ASSERT_TRUE(logs.waitForLine(kLineRetrierFailed, kEventTimeout));
    EXPECT_EQ(logs.count(2, kLineRetrierFailed,
                         "ipc_connection - failed (total 1 times), wait 1.00 sec before next retry"), 1u);
    // The thread polls the retrier: it is waiting now, and with time standing still it waits for ever.
    unsigned long long reads = clock->reads();
    ASSERT_TRUE(clock->waitForReads(reads + 2, kEventTimeout));

    stopClient();
    EXPECT_EQ(logs.count(kLineCannotConnect), 1u) << logs.dump();
    EXPECT_TRUE(handler.snapshot().events.empty());
}

// A connect to a server whose backlog is full would wait for the server
// beyond the reach of stop(); it counts as a failed attempt instead.
TEST_F(IPCMessengerClientTest, AServerWithAFullBacklogIsAFailedAttemptAndStopStillReturns) {
    freezeClock();
    server.stopListening();
    server.listen(0);
    kesu_test::ScopedFd first = server.connectAsAnotherClient();
    ASSERT_TRUE(first.valid());
    ASSERT_FALSE(server.connectAsAnotherClient().valid()) << "the backlog should be full now";

    client->addHandler(&handler);
    client->start();
    ASSERT_TRUE(logs.waitForLine(kLineRetrierFailed, kEventTimeout)) << logs.dump();
    EXPECT_EQ(logs.count(1, kLineCannotConnect, "Can not connect to IPC Messagenger server"), 1u);
    stopClient();
    EXPECT_TRUE(handler.snapshot().events.empty());
}

TEST_F(IPCMessengerClientTest, StopWhileBlockedInReceiveEndsTheConnectionOnce) {
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(clientThreadReceives(handler));
    stopClient();

    EXPECT_EQ(logs.count(3, kLineClosedInHeader, "Connection closed"), 1u) << logs.dump();
    EXPECT_EQ(handler.snapshot().events, (std::vector<Event>{Event::Connected, Event::Disconnected}));
    std::vector<char> rest;
    EXPECT_TRUE(connection->readUntilClosed(rest, kEventTimeout));
    EXPECT_TRUE(rest.empty());
    EXPECT_FALSE(server.hasPendingConnection()) << "no attempt after the stop";
    EXPECT_EQ(logs.count(kLineReadErrorInHeader) + logs.count(kLineReadErrorInPayload), 0u);
}

TEST_F(IPCMessengerClientTest, StopDuringDispatchWaitsForTheHandlerThenEnds) {
    Gate gate;
    std::atomic<bool> gateTimedOut{false};
    handler.messageAction = [&](IPCMessage const&) {
        if (!gate.waitOpen(kEventTimeout)) gateTimedOut.store(true);
    };
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(connection->writeFrame(IPC_MSG_RAW_7, {}));
    ASSERT_TRUE(handler.waitForMessages(1, kEventTimeout));  // now inside the callback

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        client->stop();
        stopped.store(true);
    });
    // The stop shuts the connection down at once, while the handler still runs.
    std::vector<char> rest;
    bool closed = connection->readUntilClosed(rest, kEventTimeout);
    bool stoppedEarly = stopped.load();
    gate.open();
    {
        Watchdog watchdog(kEventTimeout, "stop() after the handler returned");
        stopper.join();
    }
    EXPECT_TRUE(closed);
    EXPECT_FALSE(stoppedEarly) << "stop() returned while the client thread was still in a callback";
    EXPECT_FALSE(gateTimedOut.load());
    // Nothing is dispatched after the stop. Whether the handlers hear of the
    // end depends on whether the loop's next receive or its running check
    // comes first after the callback; either way once at most.
    auto events = handler.snapshot().events;
    ASSERT_GE(events.size(), 2u);
    ASSERT_LE(events.size(), 3u);
    EXPECT_EQ(events[0], Event::Connected);
    EXPECT_EQ(events[1], Event::Message);
    if (events.size() == 3) {
        EXPECT_EQ(events[2], Event::Disconnected);
    }
    EXPECT_FALSE(server.hasPendingConnection());
    EXPECT_EQ(logs.count(kLineReadErrorInHeader), 0u) << logs.dump();
}

TEST_F(IPCMessengerClientTest, StopWithMessagesQueuedToAServerThatNeverReads) {
    std::atomic<int> deliveries{0};
    client->setDeliveryCallback([&](IPCMessage const&) { deliveries.fetch_add(1); });
    handler.connectedAction = [this] {
        for (int i = 0; i < 3; ++i)
            client->sendMessage(new CountingMessage(IPC_MSG_RAW_12, std::vector<char>(kLargePayloadBytes, 'q'), destroyed));
    };
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);
    // The first payload is on its way and cannot get through.
    ASSERT_TRUE(connection->waitForBytesWaiting(ipc_frame::kHeaderBytes + 1, kEventTimeout));
    ASSERT_TRUE(clientThreadReceives(handler));

    stopClient();
    EXPECT_EQ(destroyed.load(), 3);
    EXPECT_EQ(deliveries.load(), 0);
    EXPECT_EQ(logs.count(1, kLinePayloadWriteFailed, "Out connection error"), 1u) << logs.dump();
    EXPECT_EQ(handler.snapshot().disconnected, 1);
    std::vector<char> received;
    EXPECT_TRUE(connection->readUntilClosed(received, kEventTimeout));
    EXPECT_TRUE(kesu_test::parseFrames(received).frames.empty());
}

// The receive side ends the connection (here a broken frame) while the sender
// is stuck writing to a server that does not read: the tear-down must free the
// sender, or the client thread would wait for it for ever.
TEST_F(IPCMessengerClientTest, AConnectionEndedWhileTheSenderIsStuckStillEnds) {
    freezeClock();
    handler.connectedAction = [this] {
        if (handler.snapshot().connected == 1)
            client->sendMessage(new CountingMessage(IPC_MSG_RAW_12, std::vector<char>(kLargePayloadBytes, 'q'), destroyed));
    };
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(connection->waitForBytesWaiting(ipc_frame::kHeaderBytes + 1, kEventTimeout));
    ASSERT_TRUE(connection->writeRaw(bytes({0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x00})));

    auto second = server.accept(kEventTimeout);
    ASSERT_NE(second, nullptr) << logs.dump();
    ASSERT_TRUE(handler.waitForConnected(2, kEventTimeout));
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(logs.count(1, kLinePayloadWriteFailed, "Out connection error"), 1u) << logs.dump();
    EXPECT_EQ(handler.snapshot().disconnected, 1);
}

// Restarting and stopping at every moment of the connection's life: the stop
// falls before the socket exists, during the connect, in the set-up, and in
// the receive. Meanwhile another thread keeps opening and using descriptors
// of its own: a descriptor closed twice, or used after its release, would
// hit one of them.
TEST_F(IPCMessengerClientTest, StartStopLoopNeverHangsLeaksOrTouchesForeignDescriptors) {
    constexpr int kRounds = 200;
    server.serveInBackground(TestServer::Behaviour::ReadUntilClosed);
    client->addHandler(&handler);
    size_t descriptorsBefore = openDescriptorCount();

    std::atomic<bool> churning{true};
    std::atomic<int> anomalies{0};
    std::thread churn([&] {
        // Keeps a ring of pipes, always taking the lowest free numbers (those
        // the client has just let go of) and checking every pipe it holds.
        constexpr size_t kRing = 16;
        std::vector<std::pair<int, int>> ring;
        auto works = [](std::pair<int, int> const& p) {
            char out = 'x';
            char in = 0;
            pollfd readable{p.first, POLLIN, 0};
            return ::write(p.second, &out, 1) == 1 && ::poll(&readable, 1, 0) == 1 && ::read(p.first, &in, 1) == 1 &&
                   in == 'x';
        };
        for (size_t next = 0; churning.load(); next = (next + 1) % kRing) {
            int p[2];
            if (::pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) continue;
            if (ring.size() < kRing) {
                ring.emplace_back(p[0], p[1]);
            } else {
                if (::close(ring[next].first) != 0 || ::close(ring[next].second) != 0) anomalies.fetch_add(1);
                ring[next] = {p[0], p[1]};
            }
            for (auto const& held : ring)
                if (!works(held)) anomalies.fetch_add(1);
        }
        for (auto const& held : ring) {
            if (!works(held)) anomalies.fetch_add(1);
            ::close(held.first);
            ::close(held.second);
        }
    });

    for (int round = 0; round < kRounds; ++round) {
        int connectedBefore = handler.snapshot().connected;
        client->start();
        if (round % 3 == 1) {
            ASSERT_TRUE(handler.waitForConnected(connectedBefore + 1, kEventTimeout)) << "round " << round;
        } else if (round % 3 == 2) {
            std::this_thread::yield();
        }
        stopClient();
        auto state = handler.snapshot();
        // A stop may fall between onConnected and the first receive, which
        // then ends without onDisconnected; never the other way round.
        ASSERT_LE(state.disconnected, state.connected) << "round " << round;
        ASSERT_LE(state.connected - connectedBefore, 1) << "round " << round;
    }
    churning.store(false);
    churn.join();

    auto records = server.stopServing();
    EXPECT_EQ(anomalies.load(), 0);
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
    for (auto const& record : records) EXPECT_TRUE(record.endedByPeer);
    EXPECT_EQ(logs.count(kLineRetrierFailed), 0u) << logs.dump();
}

TEST_F(IPCMessengerClientTest, ConnectionLossIsFollowedByAnImmediateReconnect) {
    freezeClock();
    client->addHandler(&handler);
    auto connection = startAndAccept();
    ASSERT_NE(connection, nullptr);
    connection->close();

    ASSERT_TRUE(handler.waitForDisconnected(1, kEventTimeout));
    EXPECT_EQ(logs.count(3, kLineClosedInHeader, "Connection closed"), 1u) << logs.dump();
    auto second = server.accept(kEventTimeout);
    ASSERT_NE(second, nullptr) << "no reconnect with time standing still\n" << logs.dump();
    ASSERT_TRUE(handler.waitForConnected(2, kEventTimeout));
    EXPECT_EQ(logs.count(4, kLineRetrierOk, "ipc_connection - ok"), 2u);
    EXPECT_EQ(retryLines(), 0u) << logs.dump();

    // The new connection works both ways.
    ASSERT_TRUE(second->writeFrame(IPC_MSG_RAW_7, {}));
    ASSERT_TRUE(handler.waitForMessages(1, kEventTimeout));
    client->sendMessage(new CountingMessage(IPC_MSG_RAW_12, bytes({0x05}), destroyed));
    IPCMessageStruct frame;
    ASSERT_EQ(second->readFrame(frame, kEventTimeout), ReadOutcome::Frame);
    EXPECT_EQ(frame.type, IPC_MSG_RAW_12);
}

// --- Pacing -------------------------------------------------------------------

TEST_F(IPCMessengerClientTest, RetriesWaitForTheRetrierThenConnectOnceTheServerIsThere) {
    freezeClock();
    server.stopListening();
    server.removePath();
    client->addHandler(&handler);
    client->start();
    ASSERT_TRUE(logs.waitForLine(kLineRetrierFailed, kEventTimeout));
    auto entries = logs.entries();
    ASSERT_EQ(entries.size(), 2u) << logs.dump();
    EXPECT_EQ(entries[0].text, "Can not connect to IPC Messagenger server");
    EXPECT_EQ(entries[0].level, 1);
    EXPECT_EQ(entries[1].text, "ipc_connection - failed (total 1 times), wait 1.00 sec before next retry");

    // One microsecond short of the wait: the thread keeps polling, no attempt.
    clock->advance(1'000'000 - 1);
    unsigned long long reads = clock->reads();
    ASSERT_TRUE(clock->waitForReads(reads + 2, kEventTimeout));
    EXPECT_EQ(logs.count(kLineCannotConnect), 1u) << logs.dump();

    clock->advance(1);
    ASSERT_TRUE(logs.waitForLine(kLineRetrierFailed, kEventTimeout, 2));
    EXPECT_EQ(logs.count(2, kLineRetrierFailed,
                         "ipc_connection - failed (total 2 times), wait 1.10 sec before next retry"), 1u)
        << logs.dump();

    server.listen();
    clock->advance(1'101'000);
    auto connection = server.accept(kEventTimeout);
    ASSERT_NE(connection, nullptr) << logs.dump();
    ASSERT_TRUE(handler.waitForConnected(1, kEventTimeout));
    EXPECT_EQ(logs.count(3, kLineConnected, "Connected to IPC server"), 1u);
    EXPECT_EQ(logs.count(4, kLineRetrierOk, "ipc_connection - ok"), 1u);
    EXPECT_EQ(logs.count(kLineCannotConnect), 2u);
}

}  // namespace

// --- stop() from inside a callback ------------------------------------------

// The descriptor of this process's socket connected to `path`, or -1.
int connectedTo(std::string const& path) {
    for (int fd = 3; fd < 1024; ++fd) {
        sockaddr_un peer{};
        socklen_t size = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0 && path == peer.sun_path) return fd;
    }
    return -1;
}

// A callback that stops the client, then opens a socket of its own (which
// takes the lowest free descriptor number, the client's if it had closed
// its socket), and submits more messages: none of them may reach that
// socket, the callback returns, and the owner's stop() joins the thread.
TEST_F(IPCMessengerClientTest, StopFromACallbackOnlyAsksAndNeverFreesTheSocketUnderTheConnection) {
    for (bool fromMessage : {false, true}) {
        SCOPED_TRACE(fromMessage ? "from onNewMessageReceived" : "from onConnected");
        size_t descriptorsBefore = openDescriptorCount();
        RecordingHandler stopper;
        int pair[2] = {-1, -1};
        std::atomic<bool> returned{false};
        auto stopInside = [&] {
            int ownSocket = connectedTo(server.path());
            for (int i = 0; i < 10; ++i) client->sendMessage(new IPCMessage(IPC_MSG_RAW_7));
            client->stop();
            EXPECT_NE(::fcntl(ownSocket, F_GETFD), -1) << "the socket was closed under the connection";
            EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
            for (int i = 0; i < 10; ++i) client->sendMessage(new IPCMessage(IPC_MSG_RAW_7));
            returned.store(true);
        };
        if (fromMessage)
            stopper.messageAction = [&](IPCMessage const&) { stopInside(); };
        else
            stopper.connectedAction = stopInside;
        client->addHandler(&stopper);
        client->start();
        auto connection = server.accept(kEventTimeout);
        ASSERT_NE(connection, nullptr);
        if (fromMessage) {
            ASSERT_TRUE(connection->writeFrame(IPC_MSG_RAW_7, {}));
        }
        ASSERT_TRUE(eventually([&] { return returned.load(); }, kEventTimeout));
        client->removeHandler(&stopper);
        {
            Watchdog watchdog(kEventTimeout, "the owner's stop() or destructor after a stop from a callback");
            if (fromMessage) client.reset();  // the destructor joins the thread
            else stopClient();
        }

        char buffer[64];
        EXPECT_EQ(::recv(pair[1], buffer, sizeof buffer, MSG_DONTWAIT), -1) << "frames reached a foreign socket";
        ::close(pair[0]);
        ::close(pair[1]);
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore + 1) << "the server's side of the connection, and no more";
        connection.reset();
        client = std::make_unique<IPCMessengerClient>(server.path());
    }
}
