// The host stand-in of the platform library: STBThread, NSTime, the logger.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "kesu/private/KesuLog.h"
#include "KesuStbTesting.h"
#include "NSTime.h"
#include "STBThread.h"
#include "fakes/DeathTestStyle.h"
#include "fakes/Eventually.h"

namespace {

using std::chrono::milliseconds;

bool eventually(std::function<bool()> condition) { return kesu_test::eventually(condition, milliseconds(5000)); }

// run() counts itself, then polls isRunning() as the library's loops do,
// returns at once, or stops itself; then it still works 30 ms before it
// returns, so that a stop that does not wait for it shows.
enum class Body { Poll, Return, StopItself };
class Probe : public STBThread {
public:
    explicit Probe(Body b) : body(b) {}
    ~Probe() override { stop(); }
    void run() override {
        returned = false;
        ++runs;
        if (body == Body::StopItself) {
            stop();
            stoppedItself = !isRunning();
        }
        while (body == Body::Poll && isRunning()) std::this_thread::sleep_for(milliseconds(1));
        std::this_thread::sleep_for(milliseconds(30));
        returned = true;
    }
    const Body body;
    std::atomic<int> runs{0};
    std::atomic<bool> returned{false}, stoppedItself{false};
};

TEST(STBThreadTest, RunningFromStartUntilStopWhichWaitsForRunAndMayComeFromRun) {
    Probe poll(Body::Poll);
    poll.stop();  // before any start: harmless
    EXPECT_FALSE(poll.isRunning());
    poll.start(nullptr);
    EXPECT_TRUE(poll.isRunning());
    poll.start(nullptr);  // while running: nothing
    poll.stop();
    EXPECT_FALSE(poll.isRunning());
    EXPECT_TRUE(poll.returned);
    EXPECT_EQ(poll.runs, 1);
    poll.stop();
    poll.start(nullptr);  // after a stop: run() again
    ASSERT_TRUE(eventually([&] { return poll.runs == 2; }));
    poll.stop();
    EXPECT_TRUE(poll.returned);

    Probe once(Body::Return);
    once.start(nullptr);
    ASSERT_TRUE(eventually([&] { return once.returned.load(); }));
    EXPECT_TRUE(once.isRunning()) << "a run() that returns by itself is no stop";

    Probe self(Body::StopItself);
    self.start(nullptr);
    ASSERT_TRUE(eventually([&] { return self.stoppedItself.load(); })) << "stop() from run() did not return";
    self.stop();
    EXPECT_TRUE(self.returned) << "the owner's stop() did not wait";
    self.start(nullptr);
    EXPECT_TRUE(eventually([&] { return self.runs == 2; }));
}

std::atomic<bool> selfStoppedRunReturned{false};
// No stop() of its own: only the base destructor can wait for run().
class SelfStopping : public STBThread {
    void run() override {
        stop();
        std::this_thread::sleep_for(milliseconds(30));
        selfStoppedRunReturned = true;
    }
};

TEST(STBThreadTest, DestructorWaitsForARunThatStoppedItself) {
    {
        SelfStopping t;
        t.start(nullptr);
        ASSERT_TRUE(eventually([&] { return !t.isRunning(); }));
    }
    EXPECT_TRUE(selfStoppedRunReturned);
}

// Destroys itself from run(), as a fire-and-forget thread object may; the
// test waits for the POSIX thread itself to be gone, so that whatever it does
// after run() has returned happens while the test still watches (ASan).
class SelfDestroying : public STBThread {
public:
    explicit SelfDestroying(std::atomic<long>& t) : tid(t) {}
    void run() override {
        std::atomic<long>& record = tid;
        delete this;
        record.store(static_cast<long>(::syscall(SYS_gettid)));
    }

private:
    std::atomic<long>& tid;
};

TEST(STBThreadTest, RunMayDestroyItsOwnObject) {
    std::atomic<long> tid{0};
    (new SelfDestroying(tid))->start(nullptr);
    ASSERT_TRUE(eventually([&] { return tid.load() != 0; }));
    std::string task = "/proc/self/task/" + std::to_string(tid.load());
    EXPECT_TRUE(eventually([&] { return ::access(task.c_str(), F_OK) != 0; }));
}

TEST(NSTimeTest, NowIsMonotonicMicrosecondsAndTheDefaultLiesBeforeIt) {
    auto monotonicUs = [] {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
    };
    const long long before = monotonicUs();
    const NSTime now = NSTime::nowRelative();
    EXPECT_GE(now.microseconds(), before);
    EXPECT_LE(now.microseconds(), monotonicUs());
    EXPECT_TRUE(now >= NSTime());
    EXPECT_FALSE(NSTime() >= now);
    EXPECT_TRUE(NSTime(7) >= NSTime(7));
    EXPECT_EQ((NSTime(5000000000123LL) - NSTime(123)).microseconds(), 5000000000000LL);
}

// Level 5 lies above the default threshold: the sink gets every call.
TEST(STBLoggerTest, SinkGetsTheFixedRecordAndTheFormattedText) {
    std::string got;
    kesustb::testing::setLogSink([&](STBLogRecord const& r, kesustb::testing::LogEntry const& e) {
        got = std::string(r.indent) + "|" + r.tag + "|" + r.category;
        for (uint32_t word : r.reserved) got += " " + std::to_string(word);
        for (uint8_t flag : r.flags) got += " " + std::to_string(flag);
        got += " " + e.tag + " [" + std::to_string(e.level) + "] " + e.file + ":" + std::to_string(e.line) + ": " + e.text;
    });
    KESU_LOG(5, 219, kLogFileClient, "%s %u", "try", 7u);
    kesustb::testing::setLogSink(nullptr);
    EXPECT_EQ(got, "    |KESU|info 0 0 0 0 1 0 1 0 KESU [5] src/ipc/IPCMessengerClient.h:219: try 7");
}

// The threshold is read once per process, so each setting runs in a child,
// which logs with standard error in a file: first a line too long for the
// logger, then "level N" at levels 1 to 5. It exits with one bit per level
// whose line was written whole and alone, 32 if the long one was cut and
// still ended in a newline, 64 for any other line.
int linesWritten(const char* setting) {
    if (setting != nullptr) setenv("KESU_LOG_LEVEL", setting, 1);
    else unsetenv("KESU_LOG_LEVEL");
    FILE* file = std::tmpfile();
    dup2(fileno(file), STDERR_FILENO);
    const std::string longFile = "src/" + std::string(400, 'd') + "/File.h";
    KESU_LOG(1, 7, longFile.c_str(), "%s", std::string(3000, 'x').c_str());
    for (int level = 1; level <= 5; ++level) KESU_LOG(level, 100 + level, kLogFileClient, "level %d", level);
    std::rewind(file);
    const std::string longStart = "KESU [1] " + longFile + ":7: xxx";
    int written = 0;
    for (char buffer[4096]; std::fgets(buffer, sizeof buffer, file) != nullptr;) {
        const std::string line = buffer, n = line.substr(6, 1);
        if (line.rfind(longStart, 0) == 0 && line.find_first_not_of('x', longStart.size()) == line.size() - 1)
            written |= 32;
        else if (line == "KESU [" + n + "] src/ipc/IPCMessengerClient.h:10" + n + ": level " + n + "\n")
            written |= 1 << (std::stoi(n) - 1);
        else
            written |= 64;
    }
    return written;
}

TEST(STBLoggerDeathTest, LevelSettingDecidesWhatReachesStandardError) {
    GTEST_FLAG_SET(death_test_style, kesu_test::kDeathTestStyle);
    const std::pair<const char*, int> kSettings[] = {
        {nullptr, 0x23}, {"", 0x23},  {"0", 0x00},  {"1", 0x21},   {"2", 0x23},  {"3", 0x27}, {"4", 0x2F},
        {"5", 0x3F},     {"9", 0x3F}, {"-1", 0x00}, {"abc", 0x23}, {"3x", 0x23}, {"4 ", 0x23}};
    for (auto const& [setting, shown] : kSettings)
        EXPECT_EXIT(_exit(linesWritten(setting)), ::testing::ExitedWithCode(shown), "") << (setting ? setting : "unset");
}

}  // namespace
