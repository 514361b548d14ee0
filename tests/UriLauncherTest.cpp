// The launcher against the fake server: true only when the URI's frame reached
// the server whole. This binary's usleep() wins at link time over the C library's:
// on the launching thread it only counts the polls and lets a row act in one.
#include "UriLauncher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "PayloadBytes.h"
#include "fakes/FakeServer.h"
#include "fakes/LogCapture.h"
#include "fakes/TestClock.h"

static thread_local std::function<void(useconds_t)> launcherPoll;  // set on the launching thread only

extern "C" int usleep(useconds_t us) {
    if (launcherPoll) return launcherPoll(us), 0;
    timespec left{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) continue;
    return 0;
}

namespace {

using kesu_test::Step;
using test_bytes::bytes;

struct Rig {
    ~Rig() { ::unlink(alias.c_str()); }
    void serverAppears() { ASSERT_EQ(::symlink(server.path().c_str(), alias.c_str()), 0); }
    kesu_test::LogCapture logs;
    kesu_test::TestClock clock{10'000'000'000LL};  // a failed attempt's wait lasts until the clock moves
    kesu_test::FakeServer server;
    std::string alias = server.path() + ".alias";  // the server, once it "appears"
};

TEST(UriLauncherTest, TheResultFollowsTheWireWithinThreeSecondsOfPolls) {
    auto uriArrived = [](Rig& r) { return r.server.waitForFrames(1, 1); };
    struct Row {
        char const* name;
        std::string uri;
        int serverAt;  // the poll during which the server appears; 1: there from the start; 0: never
        std::vector<Step> steps;
        std::function<bool(Rig&)> awaitInThatPoll;
        int sent, polls;            // -1: whatever arrived; 0: whatever it takes
        std::vector<char> payload;  // of the URI frame; empty: no whole one arrives
    };
    const Row rows[] = {
        {"a ready server", "dvb://1.2.3", 1, {}, uriArrived, 1, 0,
         bytes({0, 0, 0, 0x0B}, {'d', 'v', 'b', ':', '/', '/', '1', '.', '2', '.', '3'}, {0})},
        {"an empty URI", "", 1, {}, uriArrived, 1, 0, bytes({0, 0, 0, 0}, {0})},
        {"no server", "dvb://1", 0, {}, nullptr, 0, 30, {}},
        {"a server appearing in the last poll, written to after the last look", "dvb://3", 30, {}, uriArrived, 1, 30,
         bytes({0, 0, 0, 0x07}, {'d', 'v', 'b', ':', '/', '/', '3'}, {0})},
        {"a server that never reads a URI too long for the socket", std::string(1024 * 1024, 'u'), 1,
         {Step::setReading(false), Step::idle(Step::Kind::AwaitClientBytes, kesu_test::kEventTimeout),
          Step::frame(IPCMessageStruct{IPC_MSG_RAW_7, {}})},  // "your bytes are here", logged by the client
         [](Rig& r) { return r.logs.waitForLine(219); }, 0, 30, {}},
        {"a server that closes every connection at once", "dvb://2", 1, {Step::close(false)},
         [](Rig& r) { return r.server.waitForConnections(2); }, -1, 0,
         bytes({0, 0, 0, 0x07}, {'d', 'v', 'b', ':', '/', '/', '2'}, {0})},
        // Launched once: the connections after the one that carried the URI whole carry nothing.
        {"a server that reads what arrives, then closes the connection", "dvb://4", 1,
         {Step::setReading(false), Step::idle(Step::Kind::AwaitClientBytes, kesu_test::kEventTimeout),
          Step::close(false)},
         [](Rig& r) {
             return r.server.waitFor([](auto const& all) {
                 for (auto const& [id, connection] : all)
                     if (!connection.frames.empty() && all.count(id + 1) != 0) return true;
                 return false;
             });
         },
         1, 0, bytes({0, 0, 0, 0x07}, {'d', 'v', 'b', ':', '/', '/', '4'}, {0})},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        r.server.onConnect([&](auto id) { for (Step const& step : row.steps) r.server.enqueue(id, step); });
        int polls = 0;
        useconds_t slept = 0;
        bool awaited = true, sent = false;
        launcherPoll = [&](useconds_t us) {
            slept += us;
            if (++polls == 1 && row.serverAt != 1) awaited = r.logs.waitForLine(60);  // the first attempt failed
            if (polls != row.serverAt) return;
            if (row.serverAt > 1) r.serverAppears(), r.clock.advance(1'000'000);  // the wait owed after it
            awaited = awaited && row.awaitInThatPoll(r);
        };
        if (row.serverAt == 1) r.serverAppears();
        sent = UriLauncher(r.alias).launchUri(row.uri), launcherPoll = nullptr;
        EXPECT_TRUE(awaited) << r.logs.dump();
        EXPECT_TRUE(row.polls == 0 || (polls == row.polls && slept == 3'000'000u)) << polls << " polls, " << slept << " us";
        ASSERT_TRUE(r.server.waitFor([](auto const& all) {
            return std::all_of(all.begin(), all.end(), [](auto const& entry) { return entry.second.closed; });
        }));
        size_t uriFrames = 0;
        for (kesu_test::ConnectionId id = 1; id <= r.server.connectionCount(); ++id)
            for (IPCMessageStruct const& frame : r.server.connection(id).frames) {
                EXPECT_TRUE(frame.type == IPC_MSG_LAUNCH_URI && frame.data == row.payload);
                ++uriFrames;
            }
        EXPECT_EQ(sent, row.sent < 0 ? uriFrames != 0 : row.sent == 1) << uriFrames << " whole URI frames";
        EXPECT_EQ(uriFrames, row.sent < 0 ? uriFrames : row.payload.empty() ? 0u : 1u);
        EXPECT_EQ(r.logs.count(138, 3, "Connected to IPC server") == 0, row.serverAt == 0);
    }
}

}  // namespace
