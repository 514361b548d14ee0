// The tap between a client and a server, broken streams included.
#include "tap/Tap.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <thread>

#include "PayloadBytes.h"

namespace {

using namespace kesu_tools;

// What the tap tells, as "up 54/7" (direction, type, payload bytes).
struct Report : TrafficObserver {
    static std::string side(Direction d) { return d == Direction::ToServer ? "up " : "down "; }
    void frame(ConnectionId, Direction d, IPCMessageStruct const& f) override {
        lines.push_back(side(d) + std::to_string(f.type) + "/" + std::to_string(f.data.size()));
    }
    void outOfSync(ConnectionId, Direction d, std::string const&) override { lines.push_back(side(d) + "out of sync"); }
    void disconnected(ConnectionId, ConnectionSummary const&, std::string const& why) override {
        lines.push_back("end " + why);
    }
    std::vector<std::string> lines;  // the loop thread's while it runs
};

// Everything `fd` gives until its peer ends the stream, which must come within 5 s.
std::vector<char> readToEnd(int fd) {
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::vector<char> out;
    char buffer[256];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        EXPECT_GE(n, 0) << "the stream did not end";
        if (n <= 0) return out;
        out.insert(out.end(), buffer, buffer + n);
    }
}

TEST(TapTest, ForwardsEveryByteBothWaysAndReportsTheFramesAsTheyPass) {
    // A URI, media info cut short, a type without a class, no marker, then noise.
    const std::vector<char> up = test_bytes::unhex(
        "6D000036 00000007 00000002 686900 6D000028 00000005 00000009 78"
        " 6D000064 00000002 0102 474554202F 0000000000 6D00");
    const std::vector<char> down = test_bytes::unhex(
        "6D00003C 00000008 00000001 00000007"  // numbers [7]
        " 6D000036 7F000000 010203");          // above the client's bound
    const std::string path = "/tmp/kesu-tap-" + std::to_string(::getpid());
    sockaddr_un address;
    ASSERT_TRUE(makeUnixAddress(path + ".server", address));
    ScopedFd listening(::socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(::bind(listening.get(), asSockaddr(address), sizeof address), 0);
    ASSERT_EQ(::listen(listening.get(), 1), 0);
    EventLoop loop;
    Tap tap(loop, path, path + ".server");
    Report report;
    tap.addObserver(&report);
    std::string error;
    ASSERT_TRUE(tap.listen(error)) << error;
    std::thread thread([&] { loop.run(); });
    int connectError = 0;
    ScopedFd client = connectUnix(path, connectError);
    for (size_t at = 0; at < up.size(); at += 5)  // in pieces, as a client may well write them
        ASSERT_GT(::send(client.get(), up.data() + at, std::min<size_t>(5, up.size() - at), 0), 0) << connectError;
    ::shutdown(client.get(), SHUT_WR);
    ScopedFd server(::accept(listening.get(), nullptr, nullptr));
    ASSERT_EQ(::send(server.get(), down.data(), down.size(), 0), static_cast<ssize_t>(down.size()));
    EXPECT_EQ(readToEnd(server.get()), up);  // the client's end reaches the server as its own
    server.reset();
    EXPECT_EQ(readToEnd(client.get()), down);  // then the server's end reaches the client
    loop.quit();
    thread.join();
    ::unlink((path + ".server").c_str());
    std::sort(report.lines.begin(), report.lines.end());
    // The server's close answered the client's: the client ended the connection.
    EXPECT_EQ(report.lines,
              (std::vector<std::string>{"down 60/8", "down out of sync", "end ", "up 100/2", "up 40/5", "up 54/7",
                                        "up out of sync"}));
}

}  // namespace
