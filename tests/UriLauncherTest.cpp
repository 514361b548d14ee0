// The launcher against the fake server: true only when the URI's frame reached
// the server whole. This binary's usleep() wins at link time over the C library's:
// on the launching thread it only counts the polls and lets a row act in one.
#include "UriLauncher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "fakes/FakeServer.h"
#include "fakes/LogCapture.h"
#include "fakes/TestClock.h"
#include "kesu/ipc/IPCValueMessages.h"

static thread_local std::function<void(useconds_t)> launcherPoll;  // set on the launching thread only

extern "C" int usleep(useconds_t us) {
    if (launcherPoll) {
        launcherPoll(us);
        return 0;
    }
    timespec left{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) continue;
    return 0;
}

namespace {

using kesu_test::Step;

struct Rig {
    ~Rig() { ::unlink(alias.c_str()); }
    void serverAppears() { ASSERT_EQ(::symlink(server.path().c_str(), alias.c_str()), 0); }
    kesu_test::LogCapture logs;
    kesu_test::TestClock clock{10'000'000'000LL};  // a failed attempt's wait lasts until the clock moves
    kesu_test::FakeServer server;
    std::string alias = server.path() + ".alias";  // the server, once it "appears"
};

// The URI's payload, as the codec's own tests pin it down.
std::vector<char> uriPayload(std::string const& uri) {
    IPCMessageSimpleString message(IPC_MSG_LAUNCH_URI, uri);
    message.serialize();
    return message.messageStruct.data;
}

// Whatever the server does, the URI goes out once per launch (never twice, however often the client
// reconnects), and "Message sent" means that its frame reached the server whole.
TEST(UriLauncherTest, TheResultFollowsTheWireWithinThreeSecondsOfPolls) {
    auto uriArrived = [](Rig& rig) { return rig.server.waitForFrames(1, 1); };
    auto closedAfterAWholeUri = [](Rig& rig) {
        return rig.server.waitFor([](kesu_test::FakeServer::Record const& all) {
            for (auto const& [id, connection] : all) {
                if (!connection.frames.empty() && all.count(id + 1) != 0) return true;
            }
            return false;
        });
    };
    const Step awaitClient = Step::idle(Step::Kind::AwaitClientBytes, kesu_test::kEventTimeout);
    // "Your bytes are here", which the client logs.
    const Step bytesAreHere = Step::frame(IPCMessageStruct{IPC_MSG_RAW_7, {}});
    struct Row {
        char const* name;
        std::string uri;
        int serverAppearsInPoll = 1;  // 1: there from the start
        std::vector<Step> steps;      // the server's, on every connection
        std::function<bool(Rig&)> awaitInThatPoll;
        bool sent = true;
        int polls = 0;  // 0: as many as it takes
    };
    const Row rows[] = {
        {.name = "a server appearing in the last poll, written to after the last look",
         .uri = "dvb://3",
         .serverAppearsInPoll = 30,
         .awaitInThatPoll = uriArrived,
         .polls = 30},
        {.name = "a server that never reads a URI too long for the socket",
         .uri = std::string(1024 * 1024, 'u'),
         .steps = {Step::setReading(false), awaitClient, bytesAreHere},
         .awaitInThatPoll = [](Rig& rig) { return rig.logs.waitForLine(219); },
         .sent = false,
         .polls = 30},
        {.name = "a server that reads what arrives, then closes the connection",
         .uri = "dvb://4",
         .steps = {Step::setReading(false), awaitClient, Step::close(false)},
         .awaitInThatPoll = closedAfterAWholeUri},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig;
        rig.server.onConnect([&](kesu_test::ConnectionId id) {
            for (Step const& step : row.steps) rig.server.enqueue(id, step);
        });
        int polls = 0;
        useconds_t slept = 0;
        bool awaited = true;
        launcherPoll = [&](useconds_t us) {
            slept += us;
            ++polls;
            // The first attempt failed.
            if (polls == 1 && row.serverAppearsInPoll != 1) awaited = rig.logs.waitForLine(60);
            if (polls != row.serverAppearsInPoll) return;
            if (row.serverAppearsInPoll > 1) {
                rig.serverAppears();
                rig.clock.advance(1'000'000);  // the wait owed after the failed attempt
            }
            awaited = awaited && row.awaitInThatPoll(rig);
        };
        if (row.serverAppearsInPoll == 1) rig.serverAppears();
        const bool sent = UriLauncher(rig.alias).launchUri(row.uri);
        launcherPoll = nullptr;
        EXPECT_TRUE(awaited) << rig.logs.lines();
        if (row.polls != 0) {
            EXPECT_EQ(polls, row.polls);
            EXPECT_EQ(slept, 3'000'000u);
        }
        ASSERT_TRUE(rig.server.waitFor([](kesu_test::FakeServer::Record const& all) {
            return std::all_of(all.begin(), all.end(), [](auto const& entry) { return entry.second.closed; });
        }));
        size_t uriFrames = 0;
        for (kesu_test::ConnectionId id = 1; id <= rig.server.connectionCount(); ++id) {
            for (IPCMessageStruct const& frame : rig.server.connection(id).frames) {
                EXPECT_EQ(frame.type, IPC_MSG_LAUNCH_URI);
                EXPECT_EQ(frame.data, uriPayload(row.uri));
                ++uriFrames;
            }
        }
        EXPECT_LE(uriFrames, 1u) << "launched more than once";
        EXPECT_EQ(sent, uriFrames == 1) << "the result does not follow the wire";
        EXPECT_EQ(sent, row.sent);
    }
}

}  // namespace
