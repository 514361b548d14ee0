// The sender thread over a real socketpair: the test holds the other end and
// reads what arrives byte for byte.
#include "ipc/IPCOutMessageSender.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KesuStbTesting.h"
#include "PayloadBytes.h"
#include "fakes/CountingMessage.h"
#include "fakes/DeathTestStyle.h"
#include "fakes/Eventually.h"
#include "fakes/LogCapture.h"
#include "fakes/TestServer.h"
#include "fakes/Watchdog.h"
#include "ipc/IPCValueMessages.h"

namespace {

using kesu_test::CountingMessage;
using kesu_test::eventually;
using kesu_test::kEventTimeout;
using kesu_test::LogCapture;
using kesu_test::ScopedFd;
using kesu_test::TestConnection;
using kesu_test::Watchdog;
using test_bytes::bytes;
using test_bytes::hex;

constexpr int kLineHeaderFailed = 354;
constexpr int kLinePayloadFailed = 370;
constexpr size_t kLargePayloadBytes = 1024 * 1024;  // far beyond any socket buffer of the pair

std::vector<char> pattern(size_t size) {
    std::vector<char> out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    return out;
}

class OutMessageSenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        senderEnd.reset(fds[0]);
        peer = std::make_unique<TestConnection>(ScopedFd(fds[1]));
        onWritten = [this](IPCMessage const& message) {
            std::lock_guard<std::mutex> lock(deliveredMutex);
            delivered.push_back(message.messageStruct.type);
        };
    }

    void TearDown() override { sender.reset(); }

    void startSender() {
        sender = std::make_unique<IPCOutMessageSender>(senderEnd.get(), &onWritten);
        sender->start(nullptr);
    }

    // What the peer end received in all, once the sender is gone and its end closed.
    std::vector<char> everythingReceived() {
        sender.reset();
        senderEnd.reset();
        std::vector<char> received;
        EXPECT_TRUE(peer->readUntilClosed(received, kEventTimeout));
        return received;
    }

    std::vector<IPCMessageType> deliveries() {
        std::lock_guard<std::mutex> lock(deliveredMutex);
        return delivered;
    }

    bool senderEnds() {
        return eventually([this] { return !sender->isSending(); }, kEventTimeout);
    }

    void makeSendBufferSmall() {
        int size = 4096;
        ASSERT_EQ(::setsockopt(senderEnd.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
    }

    LogCapture logs;  // first in, last out: it outlives every thread of the test
    ScopedFd senderEnd;
    std::unique_ptr<TestConnection> peer;
    std::atomic<int> destroyed{0};
    std::mutex deliveredMutex;
    std::vector<IPCMessageType> delivered;  // guarded by deliveredMutex
    IPCDeliveryCallback onWritten;
    std::unique_ptr<IPCOutMessageSender> sender;  // last: gone before what its thread uses
};

TEST_F(OutMessageSenderTest, QueuedMessagesBecomeWholeFramesInQueueOrder) {
    startSender();
    sender->enqueue(new IPCMessageSimpleString(IPC_MSG_LAUNCH_URI, "first"));
    sender->enqueue(new CountingMessage(IPC_MSG_RAW_12, bytes({0x01, 0x02, 0x03}), destroyed));
    sender->enqueue(new IPCMessageAllowedMessageList({IPC_MSG_RAW_7, IPC_MSG_UINT_26}));
    ASSERT_TRUE(eventually([this] { return deliveries().size() == 3; }, kEventTimeout));

    std::vector<char> expected = bytes({0x6D, 0x00, 0x00, 0x36}, {0x00, 0x00, 0x00, 0x0A},  // type 54, 10 bytes
                                       {0x00, 0x00, 0x00, 0x05}, {'f', 'i', 'r', 's', 't'}, {0x00},
                                       {0x6D, 0x00, 0x00, 0x0C}, {0x00, 0x00, 0x00, 0x03},  // type 12, 3 bytes
                                       {0x01, 0x02, 0x03},
                                       {0x6D, 0x00, 0x00, 0x01}, {0x00, 0x00, 0x00, 0x08},  // type 1, 8 bytes
                                       {0x00, 0x00, 0x00, 0x07}, {0x00, 0x00, 0x00, 0x1A});
    EXPECT_EQ(hex(everythingReceived()), hex(expected));
    EXPECT_EQ(deliveries(), (std::vector<IPCMessageType>{IPC_MSG_LAUNCH_URI, IPC_MSG_RAW_12,
                                                         IPC_MSG_ALLOWED_MESSAGE_LIST}));
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(logs.size(), 0u) << logs.dump();
}

TEST_F(OutMessageSenderTest, EmptyPayloadIsWrittenAsTheBareHeader) {
    startSender();
    sender->enqueue(new CountingMessage(IPC_MSG_RAW_12, {}, destroyed));
    ASSERT_TRUE(eventually([this] { return deliveries().size() == 1; }, kEventTimeout));
    EXPECT_EQ(hex(everythingReceived()), hex(bytes({0x6D, 0x00, 0x00, 0x0C}, {0x00, 0x00, 0x00, 0x00})));
    EXPECT_EQ(destroyed.load(), 1);
}

// Serialises into a large payload and tells the test which thread writes it.
class LargeMessage : public IPCMessage {
public:
    explicit LargeMessage(std::vector<char> payload) : IPCMessage(IPC_MSG_RAW_13), content(std::move(payload)) {}
    void serialize() override {
        messageStruct.data = content;
        writer.store(pthread_self());
        serialized.store(true);
    }
    std::vector<char> content;
    static std::atomic<pthread_t> writer;
    static std::atomic<bool> serialized;
};
std::atomic<pthread_t> LargeMessage::writer{};
std::atomic<bool> LargeMessage::serialized{false};

std::atomic<int> interruptions{0};
void countInterruption(int) { interruptions.fetch_add(1); }

// A signal that arrives once part of the payload is in makes send() return a
// short count; the sender must go on from there, not resend or skip bytes.
TEST_F(OutMessageSenderTest, ShortWriteIsContinuedWhereItStopped) {
    struct sigaction interrupt {};
    interrupt.sa_handler = &countInterruption;
    sigemptyset(&interrupt.sa_mask);
    interrupt.sa_flags = SA_RESTART;  // only a partial transfer may end the call early
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &interrupt, &previous), 0);
    interruptions.store(0);
    LargeMessage::serialized.store(false);

    makeSendBufferSmall();
    startSender();
    std::vector<char> payload = pattern(kLargePayloadBytes);
    sender->enqueue(new LargeMessage(payload));
    // More than the header waiting: the payload's send() has moved bytes and
    // cannot finish while nobody reads.
    ASSERT_TRUE(peer->waitForBytesWaiting(ipc_frame::kHeaderBytes + 1, kEventTimeout));
    ASSERT_TRUE(LargeMessage::serialized.load());
    ASSERT_EQ(::pthread_kill(LargeMessage::writer.load(), SIGUSR1), 0);
    ASSERT_TRUE(eventually([] { return interruptions.load() == 1; }, kEventTimeout));

    IPCMessageStruct frame;
    ASSERT_EQ(peer->readFrame(frame, kEventTimeout), kesu_test::ReadOutcome::Frame);
    EXPECT_EQ(frame.type, IPC_MSG_RAW_13);
    EXPECT_TRUE(frame.data == payload) << "payload differs after the short write";
    ASSERT_TRUE(eventually([this] { return deliveries().size() == 1; }, kEventTimeout));
    EXPECT_TRUE(sender->isSending());
    EXPECT_EQ(logs.size(), 0u) << logs.dump();
    sender.reset();
    ::sigaction(SIGUSR1, &previous, nullptr);
}

TEST_F(OutMessageSenderTest, HeaderWriteToAGonePeerEndsTheThreadWithOneLogLine) {
    peer->close();
    startSender();
    for (int i = 0; i < 3; ++i) sender->enqueue(new CountingMessage(IPC_MSG_RAW_12, bytes({0x01}), destroyed));
    ASSERT_TRUE(senderEnds());

    EXPECT_EQ(destroyed.load(), 1) << "the message being written is deleted at once, the others stay queued";
    ASSERT_EQ(logs.size(), 1u) << logs.dump();
    auto entry = logs.entries()[0];
    EXPECT_EQ(entry.level, 1);
    EXPECT_EQ(entry.line, kLineHeaderFailed);
    EXPECT_EQ(entry.file, "src/ipc/IPCMessengerClient.h");
    EXPECT_EQ(entry.text, "Out connection error");

    sender.reset();
    EXPECT_EQ(destroyed.load(), 3);
    EXPECT_TRUE(deliveries().empty());
    EXPECT_EQ(logs.size(), 1u) << logs.dump();
}

TEST_F(OutMessageSenderTest, PayloadWriteToAPeerThatWentMidFrameFailsOnce) {
    makeSendBufferSmall();
    startSender();
    sender->enqueue(new CountingMessage(IPC_MSG_RAW_12, pattern(kLargePayloadBytes), destroyed));
    ASSERT_TRUE(peer->waitForBytesWaiting(ipc_frame::kHeaderBytes + 1, kEventTimeout));
    peer->close();
    ASSERT_TRUE(senderEnds());

    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(logs.count(1, kLinePayloadFailed, "Out connection error"), 1u) << logs.dump();
    EXPECT_EQ(logs.size(), 1u) << logs.dump();
    EXPECT_TRUE(deliveries().empty());
}

// The client takes a connection down by shutting its socket down before it
// destroys the sender; a sender stuck in a write to a peer that never reads
// must come out of it then, and what is still queued is never written.
TEST_F(OutMessageSenderTest, ShutdownReleasesAWriteBlockedOnAPeerThatNeverReads) {
    makeSendBufferSmall();
    startSender();
    sender->enqueue(new CountingMessage(IPC_MSG_RAW_12, pattern(kLargePayloadBytes), destroyed));
    sender->enqueue(new CountingMessage(IPC_MSG_RAW_14, bytes({0x0E}), destroyed));
    sender->enqueue(new CountingMessage(IPC_MSG_RAW_16, {}, destroyed));
    ASSERT_TRUE(peer->waitForBytesWaiting(ipc_frame::kHeaderBytes + 1, kEventTimeout));

    ::shutdown(senderEnd.get(), SHUT_RDWR);
    ASSERT_TRUE(senderEnds());
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(logs.count(1, kLinePayloadFailed, "Out connection error"), 1u) << logs.dump();

    std::vector<char> received = everythingReceived();
    EXPECT_EQ(destroyed.load(), 3);
    kesu_test::ParsedStream parsed = kesu_test::parseFrames(received);
    EXPECT_TRUE(parsed.frames.empty());
    EXPECT_GT(parsed.trailingBytes, ipc_frame::kHeaderBytes);
    EXPECT_LT(received.size(), ipc_frame::kHeaderBytes + kLargePayloadBytes);
    EXPECT_TRUE(deliveries().empty());
}

TEST_F(OutMessageSenderTest, DestroyingASenderWithQueuedMessagesDeletesThemUnwritten) {
    // Never started: whatever is queued can only leave through the destructor.
    sender = std::make_unique<IPCOutMessageSender>(senderEnd.get(), &onWritten);
    for (int i = 0; i < 3; ++i) sender->enqueue(new CountingMessage(IPC_MSG_RAW_12, bytes({0x01}), destroyed));
    EXPECT_TRUE(sender->isSending());
    EXPECT_EQ(destroyed.load(), 0);

    EXPECT_TRUE(everythingReceived().empty());
    EXPECT_EQ(destroyed.load(), 3);
    EXPECT_TRUE(deliveries().empty());
    EXPECT_EQ(logs.size(), 0u) << logs.dump();
}

TEST_F(OutMessageSenderTest, DestroyingAnIdleSenderReturns) {
    startSender();
    sender->enqueue(new CountingMessage(IPC_MSG_RAW_12, {}, destroyed));
    ASSERT_TRUE(eventually([this] { return deliveries().size() == 1; }, kEventTimeout));
    {
        Watchdog watchdog(kEventTimeout, "destroying an idle sender");
        sender.reset();
    }
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(everythingReceived().size(), ipc_frame::kHeaderBytes);
}

TEST_F(OutMessageSenderTest, RequestStopEndsAnIdleThreadBeforeTheSenderIsDestroyed) {
    startSender();
    sender->requestStop();
    EXPECT_TRUE(senderEnds());
    EXPECT_TRUE(everythingReceived().empty());
    EXPECT_EQ(logs.size(), 0u) << logs.dump();
}

TEST_F(OutMessageSenderTest, ConcurrentSubmittersNeverInterleaveFrames) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 200;
    startSender();
    std::vector<std::thread> submitters;
    for (int t = 0; t < kThreads; ++t) {
        submitters.emplace_back([this, t] {
            for (int i = 0; i < kPerThread; ++i) {
                // Sizes vary so that frames straddle the reads on the other end.
                std::vector<char> payload(static_cast<size_t>(1 + (i * 37) % 700), static_cast<char>(t));
                payload[0] = static_cast<char>(i);
                sender->enqueue(new CountingMessage(static_cast<IPCMessageType>(100 + t), std::move(payload), destroyed));
            }
        });
    }
    // Read alongside: all the frames together overflow the socket's buffer.
    std::vector<char> received;
    bool ended = false;
    std::thread reader([&] { ended = peer->readUntilClosed(received, 2 * kEventTimeout); });
    for (auto& submitter : submitters) submitter.join();
    bool allDelivered = eventually([this] { return deliveries().size() == kThreads * kPerThread; }, kEventTimeout);
    sender.reset();
    senderEnd.reset();
    reader.join();
    ASSERT_TRUE(allDelivered);
    ASSERT_TRUE(ended);
    kesu_test::ParsedStream parsed = kesu_test::parseFrames(received);

    EXPECT_FALSE(parsed.outOfSync);
    EXPECT_EQ(parsed.trailingBytes, 0u);
    ASSERT_EQ(parsed.frames.size(), static_cast<size_t>(kThreads * kPerThread));
    int next[kThreads] = {};
    for (IPCMessageStruct const& frame : parsed.frames) {
        int t = static_cast<int>(frame.type) - 100;
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        int i = next[t]++;
        ASSERT_EQ(frame.data.size(), static_cast<size_t>(1 + (i * 37) % 700)) << "thread " << t << " message " << i;
        EXPECT_EQ(frame.data[0], static_cast<char>(i));
    }
    EXPECT_EQ(destroyed.load(), kThreads * kPerThread);
}

// Death tests run in a child process, where the signal disposition can be put
// back to the default that an application without a handler has.
TEST(OutMessageSenderDeathTest, AWriteToAGonePeerKillsAnUnprotectedProcess) {
    GTEST_FLAG_SET(death_test_style, kesu_test::kDeathTestStyle);
    EXPECT_EXIT(
        {
            std::signal(SIGPIPE, SIG_DFL);
            int fds[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::_Exit(2);
            ::close(fds[1]);
            ssize_t ignored = ::write(fds[0], "x", 1);
            (void)ignored;
            std::_Exit(0);
        },
        ::testing::KilledBySignal(SIGPIPE), "");
}

TEST(OutMessageSenderDeathTest, SenderWriteToAGonePeerNeitherRaisesSigpipeNorChangesItsDisposition) {
    GTEST_FLAG_SET(death_test_style, kesu_test::kDeathTestStyle);
    EXPECT_EXIT(
        {
            std::signal(SIGPIPE, SIG_DFL);
            kesustb::testing::setLogSink([](STBLogRecord const&, kesustb::testing::LogEntry const&) {});
            int fds[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::_Exit(2);
            ::close(fds[1]);
            {
                IPCOutMessageSender sender(fds[0]);
                sender.start(nullptr);
                sender.enqueue(new IPCMessageSimpleString(IPC_MSG_LAUNCH_URI, "x"));
                if (!eventually([&] { return !sender.isSending(); }, kEventTimeout)) std::_Exit(3);
            }
            struct sigaction now {};
            ::sigaction(SIGPIPE, nullptr, &now);
            std::_Exit(now.sa_handler == SIG_DFL ? 0 : 4);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
