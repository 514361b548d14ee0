// The sender thread on a real socket connected to the fake server, which cuts what arrives into frames.
#include "kesu/ipc/IPCOutMessageSender.h"

#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>

#include <csignal>
#include <fstream>
#include <numeric>

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

// Records whether its sender still said it was sending when it was deleted.
struct Probe : CountingMessage {
    Probe(std::vector<char> payload, std::atomic<int>& destroyed, IPCOutMessageSender const* sender)
        : CountingMessage(IPC_MSG_RAW_13, std::move(payload), destroyed), owner(sender) {}
    ~Probe() override { senderWasSending = owner->isSending(); }
    IPCOutMessageSender const* owner;
    static inline std::atomic<bool> senderWasSending{false};
};

std::unique_ptr<IPCMessage> message(std::vector<char> payload, std::atomic<int>& destroyed) {
    return std::make_unique<CountingMessage>(IPC_MSG_RAW_12, std::move(payload), destroyed);
}

struct Rig {
    explicit Rig(size_t queueLimitBytes = IPCOutMessageSender::kDefaultQueueLimitBytes)
        : sender(std::make_unique<IPCOutMessageSender>(fd.get(), &onWritten, queueLimitBytes)) {
        ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
        server.waitForConnections(1);
    }
    void enqueue(std::unique_ptr<IPCMessage> message) { ASSERT_EQ(sender->enqueue(std::move(message)), nullptr); }
    // More in flight than a header and the send buffer: a payload's write has
    // begun and, with nobody reading, stays blocked.
    bool payloadUnderway() const {
        int queued = 0;
        return eventually([&] { return ::ioctl(fd.get(), SIOCOUTQ, &queued) == 0 && queued > kSendBuffer; });
    }

    kesu_test::LogCapture logs;  // first in, last out: it outlives every thread of the test
    kesu_test::FakeServer server;
    int connectError = 0;
    kesu_tools::ScopedFd fd = kesu_tools::connectUnix(server.path(), connectError);
    std::atomic<int> destroyed{0};
    std::atomic<long> writer{0};  // kernel id of the thread that wrote a frame whole
    IPCDeliveryCallback onWritten = [this](IPCMessage const&) { writer = ::syscall(SYS_gettid); };
    std::unique_ptr<IPCOutMessageSender> sender;  // not started
};

std::atomic<int> interruptions{0};
volatile sig_atomic_t sigpipes = 0;

// A signal whose handler was installed without SA_RESTART ends a blocked send() early: with the bytes that
// went, or with EINTR when none did. Two such signals, each once the thread sleeps in its write again, give
// both; the sender goes on from where it was, and the frames arrive whole, in order.
TEST(OutMessageSenderTest, SignalsDuringABlockedWriteLoseNothing) {
    struct sigaction interrupt {
    }, previous{};
    interrupt.sa_handler = [](int) { ++interruptions; };
    ASSERT_EQ(::sigaction(SIGUSR1, &interrupt, &previous), 0);
    Rig rig;
    rig.server.enqueue(1, Step::setReading(false));
    rig.enqueue(message(pattern(1), rig.destroyed));
    rig.enqueue(message(pattern(kLarge), rig.destroyed));
    rig.enqueue(message({}, rig.destroyed));
    rig.sender->start(nullptr);
    ASSERT_TRUE(rig.payloadUnderway());
    const std::string state = "/proc/self/task/" + std::to_string(rig.writer.load()) + "/stat";
    auto sleeping = [&state] {
        std::string pid, name, letter;
        std::ifstream(state) >> pid >> name >> letter;
        return letter == "S";
    };
    for (int signal = 1; signal <= 2; ++signal) {
        ASSERT_TRUE(eventually(sleeping));
        ASSERT_EQ(::syscall(SYS_tgkill, ::getpid(), rig.writer.load(), SIGUSR1), 0);
        ASSERT_TRUE(eventually([signal] { return interruptions == signal; }));
    }
    rig.server.enqueue(1, Step::setReading(true));
    ASSERT_TRUE(rig.server.waitForFrames(1, 3)) << rig.logs.lines();
    auto frames = rig.server.connection(1).frames;
    EXPECT_EQ(frames[1].data, pattern(kLarge));
    EXPECT_TRUE(frames[2].data.empty());
    EXPECT_EQ(rig.logs.size(), 0u) << rig.logs.lines();
    ::sigaction(SIGUSR1, &previous, nullptr);
}

// What a peer that reads nothing can make the process hold: the frames queued, and the one being written,
// up to the bound. A message beyond it is handed back at once; one line says that a stall began, one how
// many messages it cost once the queue has drained; after that the queue takes messages again.
TEST(OutMessageSenderTest, TheQueueHoldsWhatItsBoundAllowsAndCountsTheRestOncePerStall) {
    const size_t frame = ipc_frame::kHeaderBytes + 100;
    Rig rig(3 * frame);
    for (int i = 0; i < 3; ++i) rig.enqueue(message(std::vector<char>(100), rig.destroyed));
    EXPECT_NE(rig.sender->enqueue(message({}, rig.destroyed)), nullptr) << "no room left for a bare header";
    EXPECT_NE(rig.sender->enqueue(message(std::vector<char>(100), rig.destroyed)), nullptr);
    EXPECT_EQ(rig.destroyed, 2);
    EXPECT_EQ(rig.logs.count(360, 1, "Send queue full (324 bytes): messages are dropped until it drains"), 1u)
        << rig.logs.lines();
    rig.sender->start(nullptr);
    ASSERT_TRUE(rig.logs.waitForLine(362)) << rig.logs.lines();
    EXPECT_EQ(rig.logs.count(362, 1, "Send queue: 2 messages dropped while it was full"), 1u);
    EXPECT_TRUE(rig.server.waitForFrames(1, 3));
    rig.enqueue(message(std::vector<char>(100), rig.destroyed));
    EXPECT_TRUE(rig.server.waitForFrames(1, 4));
    EXPECT_EQ(rig.logs.size(), 2u) << rig.logs.lines();

    // The default bound takes one frame of the largest payload a reader accepts, and nothing beside it;
    // 0 takes everything.
    for (size_t limit : {IPCOutMessageSender::kDefaultQueueLimitBytes, size_t{0}}) {
        Rig unread(limit);
        unread.enqueue(message(std::vector<char>(ipc_frame::kMaxPayloadBytes), unread.destroyed));
        bool refused = unread.sender->enqueue(message({}, unread.destroyed)) != nullptr;
        EXPECT_EQ(refused, limit != 0) << limit;
    }
}

// The peer goes: one log line, the message being written is deleted before the sender says it has stopped
// sending, what is still queued goes, unwritten, with the sender, and an application's SIGPIPE handler
// neither runs nor is replaced.
TEST(OutMessageSenderTest, AFailedWriteEndsTheSender) {
    struct Row {
        char const* name;
        size_t first;  // the payload being written; the peer goes before it if it is small, else during it
        int line;      // of the one log line
    };
    const Row rows[] = {
        {.name = "before the header", .first = 1, .line = 354},
        {.name = "during a payload", .first = kLarge, .line = 370},
    };
    void (*counting)(int) = [](int) { sigpipes = sigpipes + 1; };
    void (*application)(int) = std::signal(SIGPIPE, counting);
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig;
        bool large = row.first == kLarge;
        rig.server.enqueue(1, Step::setReading(!large));
        if (!large) rig.server.enqueue(1, Step::close(false));
        ASSERT_TRUE(large || rig.server.waitForClosed(1));
        Probe::senderWasSending = false;
        rig.enqueue(std::make_unique<Probe>(pattern(row.first), rig.destroyed, rig.sender.get()));
        rig.enqueue(message({}, rig.destroyed));
        rig.enqueue(message(pattern(1), rig.destroyed));
        rig.sender->start(nullptr);
        if (large) {
            ASSERT_TRUE(rig.payloadUnderway());
            rig.server.enqueue(1, Step::close(false));
        }
        ASSERT_TRUE(eventually([&] { return !rig.sender->isSending(); }));
        EXPECT_EQ(rig.destroyed, 1) << "the message being written goes at once, the others stay queued";
        EXPECT_TRUE(Probe::senderWasSending) << "deleted only after the sender said it had stopped";
        rig.sender.reset();
        EXPECT_EQ(rig.destroyed, 3);
        EXPECT_EQ(rig.logs.size(), 1u) << rig.logs.lines();
        EXPECT_EQ(rig.logs.count(row.line, 1, "Out connection error"), 1u);
    }
    EXPECT_EQ(std::signal(SIGPIPE, application), counting);
    EXPECT_EQ(sigpipes, 0);
}

}  // namespace
