// The launcher against real servers at temporary paths. Its result must
// follow the wire: true only when the URI's frame reached the server whole.
#include "UriLauncher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "PayloadBytes.h"
#include "fakes/LogCapture.h"
#include "fakes/TestClock.h"
#include "fakes/TestServer.h"
#include "fakes/Watchdog.h"

namespace {

using kesu_test::kEventTimeout;
using kesu_test::LogCapture;
using kesu_test::TestClock;
using kesu_test::TestServer;
using kesu_test::Watchdog;
using test_bytes::bytes;
using test_bytes::hex;

// The launch itself takes up to its 3 s poll budget; the watchdog only
// catches a launch that never returns.
constexpr std::chrono::milliseconds kLaunchLimit{15000};

// The URI frames in everything one server received, and whether anything else came.
struct Received {
    std::vector<std::vector<char>> uriPayloads;
    size_t otherFrames = 0;
    size_t partialFrames = 0;
};

Received collect(std::vector<TestServer::ConnectionRecord> const& records) {
    Received out;
    for (auto const& record : records) {
        kesu_test::ParsedStream parsed = kesu_test::parseFrames(record.bytes);
        for (IPCMessageStruct const& frame : parsed.frames) {
            if (frame.type == IPC_MSG_LAUNCH_URI)
                out.uriPayloads.push_back(frame.data);
            else
                ++out.otherFrames;
        }
        if (parsed.trailingBytes != 0 || parsed.outOfSync) ++out.partialFrames;
    }
    return out;
}

bool launch(UriLauncher& launcher, std::string const& uri) {
    Watchdog watchdog(kLaunchLimit, "launchUri");
    return launcher.launchUri(uri);
}

class UriLauncherTest : public ::testing::Test {
protected:
    LogCapture logs;
};

TEST_F(UriLauncherTest, AReadyServerGetsExactlyOneUriFrame) {
    TestServer server;
    server.serveInBackground(TestServer::Behaviour::ReadUntilClosed);
    UriLauncher launcher(server.path());
    EXPECT_TRUE(launch(launcher, "dvb://1.2.3"));

    auto records = server.stopServing();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].endedByPeer);
    Received received = collect(records);
    ASSERT_EQ(received.uriPayloads.size(), 1u);
    EXPECT_EQ(hex(received.uriPayloads[0]),
              hex(bytes({0x00, 0x00, 0x00, 0x0B}, {'d', 'v', 'b', ':', '/', '/', '1', '.', '2', '.', '3'}, {0x00})));
    EXPECT_EQ(received.otherFrames, 0u);
    EXPECT_EQ(received.partialFrames, 0u);
}

TEST_F(UriLauncherTest, AnEmptyUriIsSentAsAnEmptyString) {
    TestServer server;
    server.serveInBackground(TestServer::Behaviour::ReadUntilClosed);
    UriLauncher launcher(server.path());
    EXPECT_TRUE(launch(launcher, ""));

    Received received = collect(server.stopServing());
    ASSERT_EQ(received.uriPayloads.size(), 1u);
    EXPECT_EQ(hex(received.uriPayloads[0]), hex(bytes({0x00, 0x00, 0x00, 0x00}, {0x00})));
}

// Slow: the whole poll budget runs out.
TEST_F(UriLauncherTest, WithoutAServerTheLaunchTimesOut) {
    TestServer server(TestServer::Start::Deferred);
    UriLauncher launcher(server.path());
    EXPECT_FALSE(launch(launcher, "dvb://1"));
    EXPECT_GE(logs.count(1, 129, "Can not connect to IPC Messagenger server"), 1u) << logs.dump();
    EXPECT_EQ(logs.count(138), 0u);
}

// Slow as well: the frame cannot get through, so the budget runs out; then the
// stop must free the sender from its write.
TEST_F(UriLauncherTest, AUriThatCannotBeWrittenWholeIsNotReportedSent) {
    TestServer server;
    server.serveInBackground(TestServer::Behaviour::NeverRead);
    UriLauncher launcher(server.path());
    EXPECT_FALSE(launch(launcher, std::string(1024 * 1024, 'u')));

    auto records = server.stopServing();
    ASSERT_EQ(records.size(), 1u);
    Received received = collect(records);
    EXPECT_TRUE(received.uriPayloads.empty());
    EXPECT_EQ(received.partialFrames, 1u);
    EXPECT_GT(records[0].bytes.size(), ipc_frame::kHeaderBytes);
    EXPECT_EQ(logs.count(1, 370, "Out connection error"), 1u) << logs.dump();
}

// Every connection is refused input the moment it is accepted; what the
// client had written before that still arrives. The launcher may report
// either outcome, but only the true one.
TEST_F(UriLauncherTest, AgainstAServerThatClosesAtOnceTheResultMatchesWhatArrived) {
    TestServer server;
    server.serveInBackground(TestServer::Behaviour::CloseAtOnce);
    UriLauncher launcher(server.path());
    bool sent = launch(launcher, "dvb://2");

    auto records = server.stopServing();
    Received received = collect(records);
    EXPECT_GE(records.size(), 1u);
    EXPECT_EQ(sent, !received.uriPayloads.empty())
        << records.size() << " connections, " << received.uriPayloads.size() << " whole URI frames";
    for (auto const& payload : received.uriPayloads)
        EXPECT_EQ(hex(payload), hex(bytes({0x00, 0x00, 0x00, 0x07}, {'d', 'v', 'b', ':', '/', '/', '2'}, {0x00})));
}

// The server appears after the first attempt failed. The client's retry polls
// then fall in step with the launcher's polls, so the connection is made just
// as the launcher looks at its flag: a flag raised on submission rather than
// on the finished write would report frames that the stop then discards.
TEST_F(UriLauncherTest, AServerThatAppearsLateGetsTheFrameBeforeTheLaunchReportsIt) {
    TestClock clock(10'000'000'000LL);
    for (int round = 1; round <= 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TestServer server(TestServer::Start::Deferred);
        std::thread opener([&] {
            if (!logs.waitForLine(60, kEventTimeout, static_cast<size_t>(round))) return;
            server.listen();
            server.serveInBackground(TestServer::Behaviour::ReadUntilClosed);
            clock.advance(1'000'000);  // the owed wait has passed
        });
        UriLauncher launcher(server.path());
        bool sent = launch(launcher, "dvb://3");
        opener.join();

        Received received = collect(server.stopServing());
        EXPECT_TRUE(sent) << logs.dump();
        ASSERT_EQ(received.uriPayloads.size(), sent ? 1u : 0u);
        EXPECT_EQ(received.partialFrames, 0u);
    }
}

}  // namespace
