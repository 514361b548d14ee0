// The tools' poll loop: what one turn calls, and what it must no longer call.
#include "loop/EventLoop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

using namespace kesu_tools;

// Every channel watches one readable descriptor, so all are ready in the first turn, called in the
// order they were made. The first lets the next go and hands an object to deleteSoon(): the channel
// gone is not called, and the object outlives the turn's callbacks, not the turn.
TEST(EventLoopTest, ATurnSkipsWhatACallbackLetGoAndDeletesSoonOnlyAfterItsCallbacks) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ScopedFd writer(pair[0]);
    ScopedFd reader(pair[1]);
    ASSERT_EQ(::write(writer.get(), "x", 1), 1);
    EventLoop loop;
    std::vector<std::string> calls;
    auto witness = std::make_shared<int>(0);  // shared with the object only
    auto doomed = std::make_unique<std::shared_ptr<int>>(witness);
    auto said = [&](std::string const& who) {
        calls.push_back(who + (witness.use_count() == 1 ? " after the deletion" : ""));
    };
    std::unique_ptr<Channel> gone;
    Channel first(loop, [&](short) {
        said("first");
        first.unwatch();
        gone.reset();
        loop.deleteSoon(std::move(doomed));
    });
    gone = std::make_unique<Channel>(loop, [&](short) { said("gone"); });
    Channel last(loop, [&](short) {
        said("last");
        last.unwatch();
        loop.queueInLoop([&] {
            said("task");
            loop.quit();
        });
    });
    for (Channel* channel : {&first, gone.get(), &last}) channel->watch(reader.get(), POLLIN);
    EXPECT_EQ(loop.run(), 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "last", "task"}));
    EXPECT_EQ(witness.use_count(), 1);
}

}  // namespace
