// The sender thread on a real socket connected to the fake server, which cuts
// what arrives into frames and tells what was left over.
#include "kesu/ipc/IPCOutMessageSender.h"

#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <pthread.h>
#include <sys/ioctl.h>

#include <csignal>

#include "KesuStbTesting.h"
#include "PayloadBytes.h"
#include "fakes/CountingMessage.h"
#include "fakes/DeathTestStyle.h"
#include "fakes/Eventually.h"
#include "fakes/FakeServer.h"
#include "fakes/LogCapture.h"
#include "kesu/ipc/IPCValueMessages.h"

namespace {

using kesu_test::CountingMessage;
using kesu_test::eventually;
using kesu_test::Step;
using test_bytes::bytes;

constexpr size_t kLarge = 1024 * 1024;  // far beyond what the socket buffers hold
constexpr int kSendBuffer = 4096;

std::vector<char> pattern(size_t size) {
    std::vector<char> out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    return out;
}

// Records the thread that serialises it, and whether its sender still said it
// was sending when it was deleted.
class Probe : public CountingMessage {
public:
    Probe(std::vector<char> payload, std::atomic<int>& destroyed, IPCOutMessageSender const* sender)
        : CountingMessage(IPC_MSG_RAW_13, std::move(payload), destroyed), owner(sender) {}
    ~Probe() override { senderWasSending = owner->isSending(); }
    void serialize() override { writer = pthread_self(); }
    static inline std::atomic<pthread_t> writer{};
    static inline std::atomic<bool> senderWasSending{false};

private:
    IPCOutMessageSender const* owner;
};

struct Rig {
    Rig() {
        ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
        server.waitForConnections(1);
    }
    // More in flight than a header and the send buffer: a payload's write has
    // begun and, with nobody reading, stays blocked.
    bool payloadUnderway() const {
        int queued = 0;
        return eventually([&] { return ::ioctl(fd.get(), SIOCOUTQ, &queued) == 0 && queued > kSendBuffer; });
    }
    // Once the sender is gone and its end closed.
    kesu_tools::ConnectionSummary summary() {
        sender.reset();
        fd.reset();
        EXPECT_TRUE(server.waitForClosed(1));
        return server.connection(1).summary;
    }

    kesu_test::LogCapture logs;  // first in, last out: it outlives every thread of the test
    kesu_test::FakeServer server;
    int connectError = 0;
    kesu_tools::ScopedFd fd = kesu_tools::connectUnix(server.path(), connectError);
    std::atomic<int> destroyed{0};
    std::unique_ptr<IPCOutMessageSender> sender = std::make_unique<IPCOutMessageSender>(fd.get());  // not started
};

TEST(OutMessageSenderTest, WritesWholeFramesInQueueOrderAndAnIdleSenderGoesAtOnce) {
    Rig r;
    r.sender->start(nullptr);
    const std::vector<IPCMessageStruct> expected = {
        {IPC_MSG_LAUNCH_URI, bytes({0, 0, 0, 5}, {'f', 'i', 'r', 's', 't'}, {0})},
        {IPC_MSG_RAW_12, bytes({1, 2, 3})},
        {IPC_MSG_ALLOWED_MESSAGE_LIST, bytes({0, 0, 0, 0x07}, {0, 0, 0, 0x1A})},
        {IPC_MSG_RAW_14, {}}};  // the bare header
    r.sender->enqueue(new IPCMessageSimpleString(IPC_MSG_LAUNCH_URI, "first"));
    r.sender->enqueue(new CountingMessage(IPC_MSG_RAW_12, expected[1].data, r.destroyed));
    r.sender->enqueue(new IPCMessageAllowedMessageList({IPC_MSG_RAW_7, IPC_MSG_UINT_26}));
    r.sender->enqueue(new CountingMessage(IPC_MSG_RAW_14, {}, r.destroyed));
    ASSERT_TRUE(r.server.waitForFrames(1, expected.size()));
    auto frames = r.server.connection(1).frames;
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(frames[i].type == expected[i].type && frames[i].data == expected[i].data) << "frame " << i;
    EXPECT_TRUE(r.sender->isSending());
    r.sender->requestStop();  // idle: it must wake to go, before it is destroyed
    EXPECT_TRUE(eventually([&] { return !r.sender->isSending(); }));
    r.sender.reset();
    EXPECT_EQ(r.destroyed, 2);
    EXPECT_EQ(r.logs.size(), 0u) << r.logs.dump();
    EXPECT_EQ(r.summary().trailingBytes, 0u);
}

// The write fails (or never happens): one log line at most, the message being
// written is deleted before the sender says it has stopped sending, and what
// is still queued goes, unwritten, with the sender.
TEST(OutMessageSenderTest, AFailedWriteEndsTheSenderAndNothingIsWrittenAfterIt) {
    auto peerGoes = [](Rig& r) { r.server.enqueue(1, Step::close(false)); };
    struct Row {
        char const* name;
        std::vector<size_t> payloads;   // queued in this order; the first is a Probe
        std::function<void(Rig&)> cut;  // once a large first payload is underway, else before the start
        int line;                       // of the one log line; 0: the sender never starts
    };
    const Row rows[] = {
        {"peer gone before the header", {1, 1, 1}, peerGoes, 354},
        {"peer gone during a payload", {kLarge, 1}, peerGoes, 370},
        {"own end shut down during a payload, as the client frees a stuck sender", {kLarge, 1, 0},
         [](Rig& r) { ::shutdown(r.fd.get(), SHUT_RDWR); }, 370},
        {"never started", {1, 1, 1}, nullptr, 0},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        bool large = row.payloads[0] == kLarge;
        r.server.enqueue(1, Step::setReading(!large));
        if (row.line != 0 && !large) row.cut(r);
        ASSERT_TRUE(large || row.line == 0 || r.server.waitForClosed(1));
        Probe::senderWasSending = false;
        r.sender->enqueue(new Probe(pattern(row.payloads[0]), r.destroyed, r.sender.get()));
        for (size_t i = 1; i < row.payloads.size(); ++i)
            r.sender->enqueue(new CountingMessage(IPC_MSG_RAW_12, pattern(row.payloads[i]), r.destroyed));
        if (row.line != 0) {
            r.sender->start(nullptr);
            if (large) {
                ASSERT_TRUE(r.payloadUnderway());
                row.cut(r);
            }
            ASSERT_TRUE(eventually([&] { return !r.sender->isSending(); }));
            EXPECT_EQ(r.destroyed, 1) << "the message being written goes at once, the others stay queued";
        }
        r.sender.reset();
        EXPECT_TRUE(Probe::senderWasSending) << "deleted only after the sender said it had stopped";
        EXPECT_EQ(r.destroyed, static_cast<int>(row.payloads.size()));
        EXPECT_EQ(r.logs.size(), row.line != 0 ? 1u : 0u) << r.logs.dump();
        EXPECT_EQ(r.logs.count(1, row.line, "Out connection error"), row.line != 0 ? 1u : 0u);
        EXPECT_EQ(r.summary().framesReceived, 0u);
    }
}

TEST(OutMessageSenderTest, ConcurrentSubmittersLoseNothingAndNeverInterleave) {
    auto payload = [](int i) { return std::vector<char>(static_cast<size_t>(1 + i % 700), static_cast<char>(i)); };
    Rig r;
    r.sender->start(nullptr);
    std::atomic<bool> go{false};  // all at once, for as much overlap as there can be
    std::vector<std::thread> submitters;
    for (int t = 0; t < 4; ++t)
        submitters.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < 1000; ++i)
                r.sender->enqueue(new CountingMessage(static_cast<IPCMessageType>(100 + t), payload(i), r.destroyed));
        });
    go = true;
    for (std::thread& submitter : submitters) submitter.join();
    ASSERT_TRUE(r.server.waitForFrames(1, 4 * 1000)) << r.server.connection(1).frames.size() << " frames";
    int next[4] = {};
    for (IPCMessageStruct const& frame : r.server.connection(1).frames) {
        int t = frame.type - 100;
        ASSERT_TRUE(t >= 0 && t < 4) << frame.type;
        EXPECT_EQ(frame.data, payload(next[t]++)) << "from " << t;
    }
}

std::atomic<int> interruptions{0};

// A signal once part of the payload is in makes send() return a short count;
// the sender must go on from there, neither resending nor skipping bytes.
TEST(OutMessageSenderTest, AShortWriteIsContinuedWhereItStopped) {
    struct sigaction interrupt {};
    interrupt.sa_handler = [](int) { ++interruptions; };
    interrupt.sa_flags = SA_RESTART;  // only a partial transfer may end the call early
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &interrupt, &previous), 0);
    Rig r;
    r.server.enqueue(1, Step::setReading(false));
    r.sender->start(nullptr);
    std::vector<char> payload = pattern(kLarge);
    r.sender->enqueue(new Probe(payload, r.destroyed, r.sender.get()));
    ASSERT_TRUE(r.payloadUnderway());
    ASSERT_EQ(::pthread_kill(Probe::writer, SIGUSR1), 0);
    ASSERT_TRUE(eventually([] { return interruptions == 1; }));
    r.server.enqueue(1, Step::setReading(true));
    ASSERT_TRUE(r.server.waitForFrames(1, 1));
    EXPECT_TRUE(r.server.connection(1).frames[0].data == payload) << "payload differs after the short write";
    EXPECT_TRUE(r.sender->isSending());
    EXPECT_EQ(r.logs.size(), 0u) << r.logs.dump();
    r.sender.reset();
    ::sigaction(SIGUSR1, &previous, nullptr);
}

volatile sig_atomic_t sigpipes = 0;

// In a child process, whose SIGPIPE disposition can be what an application
// has: the default (which would end it) or a handler of its own (which would run).
TEST(OutMessageSenderDeathTest, AWriteToAGonePeerNeitherRaisesSigpipeNorChangesItsDisposition) {
    GTEST_FLAG_SET(death_test_style, kesu_test::kDeathTestStyle);
    void (*counting)(int) = [](int) { sigpipes = sigpipes + 1; };
    for (void (*disposition)(int) : {SIG_DFL, counting}) {
        SCOPED_TRACE(disposition == SIG_DFL ? "default disposition" : "the application's handler");
        EXPECT_EXIT(
            {
                std::signal(SIGPIPE, disposition);
                kesustb::testing::setLogSink([](STBLogRecord const&, kesustb::testing::LogEntry const&) {});
                int fds[2];
                if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0 || ::close(fds[1]) != 0) std::_Exit(2);
                {
                    IPCOutMessageSender sender(fds[0]);
                    sender.start(nullptr);
                    sender.enqueue(new IPCMessageSimpleString(IPC_MSG_LAUNCH_URI, "x"));
                    if (!eventually([&] { return !sender.isSending(); })) std::_Exit(3);
                }
                struct sigaction now {};
                ::sigaction(SIGPIPE, nullptr, &now);
                std::_Exit(now.sa_handler == disposition && sigpipes == 0 ? 0 : 4);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

}  // namespace
