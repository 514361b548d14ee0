// The tap between a client and a server: every byte goes through unchanged
// both ways, broken streams included, and every frame is reported with its
// direction as it passes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ServerCore.h"
#include "fakes/FakeServer.h"

namespace {

using kesu_test::FakeServer;
using kesu_test::kEventTimeout;
using kesu_tools::Direction;
using kesu_tools::frameBytes;

std::vector<char> operator+(std::vector<char> a, std::vector<char> const& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// What the tap reports, in order: "up 54", "down 60", "up out of sync"...
class Report : public kesu_tools::ServerObserver {
public:
    void frame(kesu_tools::ConnectionId, Direction d, IPCMessageStruct const& f) override {
        add(std::string(d == Direction::ToServer ? "up " : "down ") + std::to_string(f.type));
    }
    void outOfSync(kesu_tools::ConnectionId, Direction d, std::string const&) override {
        add(d == Direction::ToServer ? "up out of sync" : "down out of sync");
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }

private:
    void add(std::string line) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(std::move(line));
    }
    std::mutex mutex;
    std::vector<std::string> seen;
};

TEST(TapTest, ForwardsEveryByteBothWaysAndReportsTheFramesAsTheyPass) {
    // A media-info payload cut short, a frame of a type without a class, then
    // a lost marker and bytes that mean nothing; the server answers with a
    // frame, then a header above the client's bound and more bytes.
    const std::vector<char> up = frameBytes({IPC_MSG_LAUNCH_URI, {0, 0, 0, 2, 'h', 'i', 0}}) +
                                 frameBytes({IPC_MSG_PLAYER_MEDIA_INFO, {0, 0, 0, 9, 'x'}}) +
                                 frameBytes({IPCMessageType{100}, {1, 2}}) +
                                 std::vector<char>{'G', 'E', 'T', ' ', '/', 0, 0, 0, 0, 0, 'm', 0};
    const std::vector<char> down = frameBytes({IPC_MSG_UINT_ARRAY_60, {0, 0, 0, 1, 0, 0, 0, 7}}) +
                                   std::vector<char>{0x6D, 0, 0, 0x36, 0x7F, 0, 0, 0, 1, 2, 3};
    FakeServer server(false);
    server.onConnect([&](kesu_test::ConnectionId id) {
        server.enqueue(id, kesu_test::Step::raw(down));
    });

    kesu_tools::ServerCore::Options options;
    options.socketPath = server.path() + ".tap";
    options.upstreamPath = server.path();
    kesu_tools::ServerCore tap(options);
    Report report;
    tap.addObserver(&report);
    std::string error;
    ASSERT_TRUE(tap.listen(error)) << error;
    std::thread loop([&] { tap.run(); });

    int connectError = 0;
    kesu_tools::ScopedFd client = kesu_tools::connectUnix(options.socketPath, connectError);
    ASSERT_TRUE(client) << connectError;
    // In pieces, as a client may well write them.
    for (size_t at = 0; at < up.size(); at += 5)
        ASSERT_GT(::send(client.get(), up.data() + at, std::min<size_t>(5, up.size() - at), 0), 0);
    ::shutdown(client.get(), SHUT_WR);
    std::vector<char> received;
    char buffer[256];
    for (ssize_t n; (n = ::recv(client.get(), buffer, sizeof buffer, 0)) > 0;) received.insert(received.end(), buffer, buffer + n);

    EXPECT_EQ(received, down);
    ASSERT_TRUE(server.waitForClosed(1));
    EXPECT_EQ(server.connection(1).bytes, up);
    tap.stop();
    loop.join();
    std::vector<std::string> lines = report.lines();
    for (std::string expected : {"up 54", "up 40", "up 100", "up out of sync", "down 60", "down out of sync"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
    EXPECT_EQ(lines.size(), 6u);
}

}  // namespace
