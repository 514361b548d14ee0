// The sender thread on a real socket connected to the fake server, which cuts
// what arrives into frames and tells what was left over.
#include "kesu/ipc/IPCOutMessageSender.h"

#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <pthread.h>
#include <sys/ioctl.h>

#include <csignal>
#include <numeric>

#include "KesuStbTesting.h"
#include "fakes/CountingMessage.h"
#include "fakes/FakeServer.h"
#include "fakes/LogCapture.h"

namespace {

using kesu_test::CountingMessage;
using kesu_test::eventually;
using kesu_test::Step;

constexpr size_t kLarge = 1024 * 1024;  // far beyond what the socket buffers hold
constexpr int kSendBuffer = 4096;

std::vector<char> pattern(size_t size) {
    std::vector<char> out(size);
    std::iota(out.begin(), out.end(), '\3');  // a byte resent or skipped shows
    return out;
}

// Records the thread that serialises it, and whether its sender still said it
// was sending when it was deleted.
struct Probe : CountingMessage {
    Probe(std::vector<char> payload, std::atomic<int>& destroyed, IPCOutMessageSender const* sender)
        : CountingMessage(IPC_MSG_RAW_13, std::move(payload), destroyed), owner(sender) {}
    ~Probe() override { senderWasSending = owner->isSending(); }
    void serialize() override { writer = pthread_self(); }
    IPCOutMessageSender const* owner;
    static inline std::atomic<pthread_t> writer{};
    static inline std::atomic<bool> senderWasSending{false};
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

std::atomic<int> interruptions{0};
volatile sig_atomic_t sigpipes = 0;

// A write fails: one log line, the message being written is deleted before the
// sender says it has stopped sending, what is still queued goes, unwritten,
// with the sender, and an application's SIGPIPE handler neither runs nor is
// replaced. A signal during a payload's write makes send() return a short
// count: the sender goes on from there, neither resending nor skipping bytes.
TEST(OutMessageSenderTest, AFailedWriteEndsTheSenderAndAnInterruptedOneGoesOn) {
    auto peerGoes = [](Rig& r) { r.server.enqueue(1, Step::close(false)); };
    struct Row {
        char const* name;
        size_t first;                   // the payload being written
        std::function<void(Rig&)> cut;  // before the start if `first` is small, else once its payload is underway
        int line;                       // of the one log line; 0: the frames arrive whole
    };
    const Row rows[] = {
        {"peer gone before the header", 1, peerGoes, 354},
        {"peer gone during a payload", kLarge, peerGoes, 370},
        {"own end shut down during a payload, as the client frees a stuck sender", kLarge,
         [](Rig& r) { ::shutdown(r.fd.get(), SHUT_RDWR); }, 370},
        {"a signal during a payload", kLarge,
         [](Rig& r) {
             ASSERT_EQ(::pthread_kill(Probe::writer, SIGUSR1), 0);
             ASSERT_TRUE(eventually([] { return interruptions == 1; }));
             r.server.enqueue(1, Step::setReading(true));
         },
         0},
    };
    struct sigaction interrupt {}, previous{};
    interrupt.sa_handler = [](int) { ++interruptions; };
    interrupt.sa_flags = SA_RESTART;  // only a partial transfer may end the call early
    ASSERT_EQ(::sigaction(SIGUSR1, &interrupt, &previous), 0);
    void (*counting)(int) = [](int) { sigpipes = sigpipes + 1; };
    void (*application)(int) = std::signal(SIGPIPE, counting);
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        bool large = row.first == kLarge;
        r.server.enqueue(1, Step::setReading(!large));
        if (!large) row.cut(r);
        ASSERT_TRUE(large || r.server.waitForClosed(1));
        Probe::senderWasSending = false;
        r.sender->enqueue(new Probe(pattern(row.first), r.destroyed, r.sender.get()));
        r.sender->enqueue(new CountingMessage(IPC_MSG_RAW_12, {}, r.destroyed));
        r.sender->enqueue(new CountingMessage(IPC_MSG_RAW_12, pattern(1), r.destroyed));
        r.sender->start(nullptr);
        if (large) {
            ASSERT_TRUE(r.payloadUnderway());
            row.cut(r);
        }
        if (row.line == 0) {
            ASSERT_TRUE(r.server.waitForFrames(1, 3));  // in queue order, the bare header in the middle
            auto frames = r.server.connection(1).frames;
            EXPECT_TRUE(frames[0].data == pattern(kLarge)) << "differs after the short write";
            EXPECT_TRUE(frames[1].type == IPC_MSG_RAW_12 && frames[1].data.empty() && frames[2].data == pattern(1));
        } else {
            ASSERT_TRUE(eventually([&] { return !r.sender->isSending(); }));
            EXPECT_EQ(r.destroyed, 1) << "the message being written goes at once, the others stay queued";
            EXPECT_TRUE(Probe::senderWasSending) << "deleted only after the sender said it had stopped";
        }
        r.sender.reset();
        EXPECT_EQ(r.destroyed, 3);
        EXPECT_EQ(r.logs.size(), row.line != 0 ? 1u : 0u) << r.logs.dump();
        EXPECT_EQ(r.logs.count(row.line, 1, "Out connection error"), row.line != 0 ? 1u : 0u);
        EXPECT_EQ(r.summary().framesReceived, row.line != 0 ? 0u : 3u);
    }
    EXPECT_EQ(std::signal(SIGPIPE, application), counting);
    EXPECT_EQ(sigpipes, 0);
    ::sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
