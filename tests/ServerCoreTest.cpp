// The tools' server core as the tap and the harnesses rely on it, broken streams and stops included.
#include "server/ServerCore.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "PayloadBytes.h"
#include "fakes/FakeServer.h"

namespace {

using namespace kesu_tools;

struct Recorder : ServerObserver {  // what a core tells, as "up 54/7" (direction, type, payload bytes)
    explicit Recorder(ServerCore& core) : listening((core.addObserver(this), core.listen(error))) {}
    static std::string side(Direction d) { return d == Direction::ToServer ? "up " : "down "; }
    void frame(ConnectionId, Direction d, IPCMessageStruct const& f) override {
        lines.push_back(side(d) + std::to_string(f.type) + "/" + std::to_string(f.data.size()));
    }
    void outOfSync(ConnectionId, Direction d, std::string const&) override { lines.push_back(side(d) + "out of sync"); }
    void disconnected(ConnectionId, ConnectionSummary const&, std::string const& why) override { lines.push_back("end " + why); }
    std::vector<std::string> lines;
    std::string error;
    bool listening;
};

TEST(ServerCoreTest, TapForwardsEveryByteBothWaysAndReportsTheFramesAsTheyPass) {
    // A URI, media info cut short, a type without a class, no marker, then noise.
    const std::vector<char> up = test_bytes::unhex("6D000036 00000007 00000002 686900 6D000028 00000005 00000009 78"
                                                   " 6D000064 00000002 0102 474554202F 0000000000 6D00");
    const std::vector<char> down = test_bytes::unhex("6D00003C 00000008 00000001 00000007"  // numbers [7]
                                                     " 6D000036 7F000000 010203");  // above the client's bound
    kesu_test::FakeServer server(false);
    server.onConnect([&](ConnectionId id) { server.enqueue(id, Step::raw(down)); });
    ServerCore tap({server.path() + ".tap", true, server.path()});
    Recorder report(tap);
    ASSERT_TRUE(report.listening) << report.error;
    std::thread loop([&] { tap.run(); });
    int connectError = 0;
    ScopedFd client = connectUnix(server.path() + ".tap", connectError);
    for (size_t at = 0; at < up.size(); at += 5)  // in pieces, as a client may well write them
        ASSERT_GT(::send(client.get(), up.data() + at, std::min<size_t>(5, up.size() - at), 0), 0) << connectError;
    ::shutdown(client.get(), SHUT_WR);
    char received[64];  // all the tap forwards until the server's close
    ssize_t n = ::recv(client.get(), received, sizeof received, MSG_WAITALL);
    EXPECT_EQ(std::vector<char>(received, received + std::max(n, ssize_t(0))), down);
    ASSERT_TRUE(server.waitForClosed(1));
    EXPECT_EQ(server.connection(1).bytes, up);
    tap.stop();
    loop.join();
    std::sort(report.lines.begin(), report.lines.end());
    EXPECT_EQ(report.lines, (std::vector<std::string>{"down 60/8", "down out of sync", "end closed by the server",
                                                         "up 100/2", "up 40/5", "up 54/7", "up out of sync"}));
}

TEST(ServerCoreTest, StopReportsWhatAClientNotYetAcceptedWroteAndRefusesLaterClients) {
    const std::string path = "/tmp/kesu-core-" + std::to_string(::getpid());
    ServerCore core({path, true, ""});
    Recorder recorder(core);
    ASSERT_TRUE(recorder.listening) << recorder.error;
    int connectError = 0;
    ScopedFd client = connectUnix(path, connectError);
    const std::vector<char> bytes = frameBytes({IPC_MSG_LAUNCH_URI, {'u', 'r', 'i'}});
    ASSERT_EQ(::write(client.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    core.stop();  // before it runs: the loop ends at once
    core.run();
    EXPECT_EQ(recorder.lines, (std::vector<std::string>{"up 54/3", "end server stopping"}));
    EXPECT_FALSE(connectUnix(path, connectError));
}

}  // namespace
