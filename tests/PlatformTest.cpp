// The platform stand-in: threads that start, run and stop as the client's loops expect, and the logger's
// threshold.
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "STBThread.h"
#include "fakes/DeathTestStyle.h"
#include "fakes/Eventually.h"
#include "kesu/private/KesuLog.h"

namespace {

using kesu_test::eventually;
using std::chrono::milliseconds;

// run() polls isRunning() as the library's loops do, returns at once or stops
// itself, then works 30 ms before it counts its return (a stop that does not
// wait shows); or it destroys its own object. Only the base destructor waits.
enum class Body { Poll, Return, StopItself, DeleteItself };
std::atomic<int> returns{0};
std::atomic<long> deletedOnThread{0};
class Probe : public STBThread {
public:
    explicit Probe(Body b) : body(b) {}
    void run() override {
        if (body == Body::DeleteItself) {
            delete this;
            deletedOnThread = static_cast<long>(::syscall(SYS_gettid));
            return;
        }
        if (body == Body::StopItself) {
            stop();
            if (!isRunning()) ++selfStops;
        }
        while (body == Body::Poll && isRunning()) std::this_thread::sleep_for(milliseconds(1));
        std::this_thread::sleep_for(milliseconds(30));
        ++returns;
    }
    const Body body;
    std::atomic<int> selfStops{0};
};

TEST(STBThreadTest, RunningFromStartUntilStopWhichWaitsForRunAndMayComeFromRun) {
    returns = 0;
    deletedOnThread = 0;
    Probe poll(Body::Poll);
    poll.stop();  // before any start: harmless
    poll.start(nullptr);
    EXPECT_TRUE(poll.isRunning());
    poll.start(nullptr);  // while running: nothing
    poll.stop();
    EXPECT_FALSE(poll.isRunning());
    EXPECT_EQ(returns, 1);
    Probe once(Body::Return);
    once.start(nullptr);
    ASSERT_TRUE(eventually([&] { return returns == 2; }));
    EXPECT_TRUE(once.isRunning()) << "a run() that returns by itself is no stop";
    {
        Probe self(Body::StopItself);
        self.start(nullptr);
        ASSERT_TRUE(eventually([&] { return self.selfStops == 1; })) << "stop() from run() did not return";
        self.stop();
        EXPECT_EQ(returns, 3) << "the owner's stop() did not wait";
        self.start(nullptr);  // after a stop: run() again
        ASSERT_TRUE(eventually([&] { return self.selfStops == 2; }));
        self.start(nullptr);  // once the run() that stopped itself has returned, a new one
        EXPECT_EQ(returns, 4);
        ASSERT_TRUE(eventually([&] { return self.selfStops == 3; }));
    }
    EXPECT_EQ(returns, 5) << "the destructor did not wait for a run() that stopped itself";
    (new Probe(Body::DeleteItself))->start(nullptr);
    ASSERT_TRUE(eventually([&] { return deletedOnThread != 0; }));
    // Whatever the thread does after run() happens while the test still watches (ASan).
    const std::string task = "/proc/self/task/" + std::to_string(deletedOnThread.load());
    EXPECT_TRUE(eventually([&] { return ::access(task.c_str(), F_OK) != 0; }));
}

// The run polls for 30 ms after its stop: a stop() that returns before run() did shows, and so
// does one that waits for the run a start() on a third thread began meanwhile.
TEST(STBThreadTest, StopsFromSeveralThreadsEachWaitForTheRunTheyStoppedOnly) {
    returns = 0;
    Probe probe(Body::Poll);
    probe.start(nullptr);
    auto stopper = [&probe] {
        probe.stop();
        EXPECT_EQ(returns, 1) << "stop() returned before run()";
    };
    std::thread first(stopper);
    std::thread second(stopper);
    EXPECT_TRUE(eventually([&probe] { return !probe.isRunning(); }));
    probe.start(nullptr);
    first.join();
    second.join();
    EXPECT_TRUE(probe.isRunning()) << "the run begun during the stops";
    probe.stop();
    EXPECT_EQ(returns, 2);
}

// The threshold is read once per process: each setting runs in a child, which
// logs a line too long for the logger (cut, but still ending in a newline),
// then "level N" at levels 1 to 5; stderr holds the lines up to the level shown.
TEST(STBLoggerDeathTest, LevelSettingDecidesWhatReachesStandardError) {
    GTEST_FLAG_SET(death_test_style, kesu_test::kDeathTestStyle);
    // Settings that are no level: the tool's program test (uri-launcher-cli.sh).
    const std::pair<const char*, int> kSettings[] = {{nullptr, 2}, {"", 2}, {"0", 0}, {"1", 1}, {"4", 4}};
    for (auto const& [setting, shown] : kSettings) {
        std::string lines = shown > 0 ? "^KESU \\[1\\] src/d{400}/File\\.h:7: x+\n" : "^";
        for (std::string digit = "1"; digit[0] <= '0' + shown; ++digit[0])
            lines += "KESU \\[" + digit + "\\] src/ipc/IPCMessengerClient\\.h:10" + digit + ": level " + digit + "\n";
        auto logEveryLevel = [setting = setting] {
            if (setting != nullptr)
                setenv("KESU_LOG_LEVEL", setting, 1);
            else
                unsetenv("KESU_LOG_LEVEL");
            KESU_LOG(1, 7, ("src/" + std::string(400, 'd') + "/File.h").c_str(), "%s", std::string(3000, 'x').c_str());
            for (int level = 1; level <= 5; ++level) KESU_LOG(level, 100 + level, kLogFileClient, "level %d", level);
            _exit(0);
        };
        EXPECT_EXIT(logEveryLevel(), ::testing::ExitedWithCode(0), lines + "$") << (setting ? setting : "unset");
    }
}

}  // namespace
