#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KesuLog.h"
#include "KesuStbTesting.h"
#include "NSTime.h"
#include "STBLogger.h"
#include "STBThread.h"
#include "fakes/DeathTestStyle.h"
#include "fakes/Eventually.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kEventTimeout(5000);

template <class Condition>
bool waitFor(Condition condition) {
    return kesu_test::eventually(condition, kEventTimeout);
}

// ---------------------------------------------------------------- STBThread

// A thread whose body the test supplies; it records each run and when run()
// has returned.
class ProbeThread : public STBThread {
public:
    using Body = std::function<void(ProbeThread&)>;
    explicit ProbeThread(Body b) : body(std::move(b)) {}
    ~ProbeThread() override { stop(); }

    void run() override {
        finished.store(false);
        runs.fetch_add(1);
        body(*this);
        finished.store(true);
    }

    // Polls isRunning() as the library's loops do.
    void pollUntilStopped() {
        while (isRunning()) std::this_thread::sleep_for(milliseconds(1));
    }

    std::atomic<int> runs{0};
    std::atomic<bool> finished{false};

private:
    Body body;
};

// Stands for work that run() still does after it has seen the stop.
void slowTeardown() { std::this_thread::sleep_for(milliseconds(30)); }

class RecordingListener final : public STBThread::OnThreadCompletedListener {
public:
    explicit RecordingListener(ProbeThread& t) : probe(t) {}
    void onThreadCompleted(STBThread* thread) override {
        std::lock_guard<std::mutex> lock(mutex);
        completed.push_back(thread);
        runHadReturned = probe.finished.load();
        caller = std::this_thread::get_id();
    }

    std::mutex mutex;
    std::vector<STBThread*> completed;  // guarded by mutex
    bool runHadReturned = false;        // guarded by mutex
    std::thread::id caller;             // guarded by mutex

private:
    ProbeThread& probe;
};

TEST(STBThreadTest, IsRunningFromStartUntilStop) {
    ProbeThread thread([](ProbeThread& self) { self.pollUntilStopped(); });
    EXPECT_FALSE(thread.isRunning());
    thread.start(nullptr);
    EXPECT_TRUE(thread.isRunning());
    ASSERT_TRUE(waitFor([&] { return thread.runs.load() == 1; }));
    EXPECT_TRUE(thread.isRunning());
    thread.stop();
    EXPECT_FALSE(thread.isRunning());
    EXPECT_TRUE(thread.finished.load());
}

TEST(STBThreadTest, StopReturnsOnlyAfterRunHasReturned) {
    ProbeThread thread([](ProbeThread& self) {
        self.pollUntilStopped();
        slowTeardown();
    });
    thread.start(nullptr);
    ASSERT_TRUE(waitFor([&] { return thread.runs.load() == 1; }));
    thread.stop();
    EXPECT_TRUE(thread.finished.load());
}

TEST(STBThreadTest, StopBeforeStartAndRepeatedStopAreHarmless) {
    ProbeThread thread([](ProbeThread& self) { self.pollUntilStopped(); });
    thread.stop();
    thread.stop();
    EXPECT_FALSE(thread.isRunning());
    EXPECT_EQ(0, thread.runs.load());

    thread.start(nullptr);
    EXPECT_TRUE(thread.isRunning());
    thread.stop();
    thread.stop();
    EXPECT_FALSE(thread.isRunning());
    EXPECT_EQ(1, thread.runs.load());
}

TEST(STBThreadTest, StartWhileRunningDoesNothing) {
    ProbeThread thread([](ProbeThread& self) { self.pollUntilStopped(); });
    thread.start(nullptr);
    thread.start(nullptr);
    ASSERT_TRUE(waitFor([&] { return thread.runs.load() >= 1; }));
    thread.stop();
    EXPECT_EQ(1, thread.runs.load());
}

TEST(STBThreadTest, StartAfterStopRunsAgain) {
    ProbeThread thread([](ProbeThread& self) { self.pollUntilStopped(); });
    thread.start(nullptr);
    thread.stop();
    thread.start(nullptr);
    EXPECT_TRUE(thread.isRunning());
    ASSERT_TRUE(waitFor([&] { return thread.runs.load() == 2; }));
    thread.stop();
    EXPECT_FALSE(thread.isRunning());
    EXPECT_TRUE(thread.finished.load());
}

TEST(STBThreadTest, RunEndingByItselfKeepsIsRunningUntilStop) {
    ProbeThread thread([](ProbeThread&) {});
    thread.start(nullptr);
    ASSERT_TRUE(waitFor([&] { return thread.finished.load(); }));
    EXPECT_TRUE(thread.isRunning());
    thread.stop();
    EXPECT_FALSE(thread.isRunning());
}

TEST(STBThreadTest, StopFromRunItselfReturnsAndOwnersStopStillWaits) {
    std::atomic<bool> selfStopped{false};
    std::atomic<bool> runningAfterSelfStop{true};
    ProbeThread thread([&](ProbeThread& self) {
        self.stop();
        runningAfterSelfStop.store(self.isRunning());
        selfStopped.store(true);
        slowTeardown();
    });
    thread.start(nullptr);
    ASSERT_TRUE(waitFor([&] { return selfStopped.load(); })) << "stop() from run() did not return";
    EXPECT_FALSE(runningAfterSelfStop.load());
    EXPECT_FALSE(thread.isRunning());
    thread.stop();
    EXPECT_TRUE(thread.finished.load()) << "the owner's stop returned before run() did";
}

TEST(STBThreadTest, StartAfterStopFromRunItselfRunsAgain) {
    ProbeThread thread([](ProbeThread& self) {
        self.stop();
        slowTeardown();
    });
    thread.start(nullptr);
    ASSERT_TRUE(waitFor([&] { return !thread.isRunning(); }));
    thread.start(nullptr);
    ASSERT_TRUE(waitFor([&] { return thread.runs.load() == 2; }));
    thread.stop();
    EXPECT_TRUE(thread.finished.load());
}

TEST(STBThreadTest, CompletionListenerIsToldOnTheFinishedThreadAfterRun) {
    ProbeThread thread([](ProbeThread& self) { self.pollUntilStopped(); });
    RecordingListener listener(thread);
    thread.start(&listener);
    thread.stop();
    {
        std::lock_guard<std::mutex> lock(listener.mutex);
        ASSERT_EQ(1u, listener.completed.size());
        EXPECT_EQ(&thread, listener.completed[0]);
        EXPECT_TRUE(listener.runHadReturned);
        EXPECT_NE(std::this_thread::get_id(), listener.caller);
    }

    thread.start(nullptr);  // a later start without a listener tells nobody
    thread.stop();
    std::lock_guard<std::mutex> lock(listener.mutex);
    EXPECT_EQ(1u, listener.completed.size());
}

TEST(STBThreadTest, DestructorWaitsForRunThatStoppedItself) {
    std::atomic<bool> selfStopped{false};
    std::atomic<bool> bodyReturned{false};
    {
        ProbeThread thread([&](ProbeThread& self) {
            self.stop();
            selfStopped.store(true);
            slowTeardown();
            bodyReturned.store(true);
        });
        thread.start(nullptr);
        ASSERT_TRUE(waitFor([&] { return selfStopped.load(); }));
    }
    EXPECT_TRUE(bodyReturned.load()) << "the thread object was destroyed while run() still ran";
}

// Destroys itself from run(), as a fire-and-forget thread object may. The
// test waits for the POSIX thread itself to be gone, so that whatever it does
// after run() has returned happens while the test still watches.
class SelfDestroyingThread : public STBThread {
public:
    explicit SelfDestroyingThread(std::atomic<long>& t) : tid(t) {}
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
    (new SelfDestroyingThread(tid))->start(nullptr);
    ASSERT_TRUE(waitFor([&] { return tid.load() != 0; }));
    std::string task = "/proc/self/task/" + std::to_string(tid.load());
    EXPECT_TRUE(waitFor([&] { return ::access(task.c_str(), F_OK) != 0; }));
}

// ------------------------------------------------------------------- NSTime

class RelativeClockOverride {
public:
    explicit RelativeClockOverride(kesustb::testing::ClockFunction clock) { kesustb::testing::setRelativeClock(clock); }
    ~RelativeClockOverride() { kesustb::testing::setRelativeClock(nullptr); }
    RelativeClockOverride(const RelativeClockOverride&) = delete;
    RelativeClockOverride& operator=(const RelativeClockOverride&) = delete;
};

long long monotonicMicroseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

TEST(NSTimeTest, DefaultValueIsZeroAndNoLaterThanNow) {
    const NSTime none;
    EXPECT_EQ(0, none.microseconds());
    EXPECT_TRUE(NSTime::nowRelative() >= none);
    EXPECT_FALSE(none >= NSTime::nowRelative());
}

TEST(NSTimeTest, ArithmeticAndComparisonInMicroseconds) {
    const NSTime later(5000000000123LL);  // beyond 32 bits
    const NSTime earlier(123);
    EXPECT_EQ(5000000000000LL, (later - earlier).microseconds());
    EXPECT_EQ(-5000000000000LL, (earlier - later).microseconds());
    EXPECT_TRUE(later >= earlier);
    EXPECT_FALSE(earlier >= later);
    EXPECT_TRUE(earlier >= NSTime(123));
    NSTime assigned;
    assigned = later;
    EXPECT_EQ(later.microseconds(), assigned.microseconds());
}

TEST(NSTimeTest, NowReadsTheMonotonicClockInMicroseconds) {
    const long long before = monotonicMicroseconds();
    const NSTime now = NSTime::nowRelative();
    const long long after = monotonicMicroseconds();
    EXPECT_GE(now.microseconds(), before);
    EXPECT_LE(now.microseconds(), after);
}

TEST(NSTimeTest, NowNeverGoesBackAndAdvances) {
    NSTime previous = NSTime::nowRelative();
    const NSTime first = previous;
    for (int i = 0; i < 10000; ++i) {
        const NSTime now = NSTime::nowRelative();
        ASSERT_TRUE(now >= previous) << now.microseconds() << " after " << previous.microseconds();
        previous = now;
    }
    const auto start = Clock::now();
    ASSERT_TRUE(waitFor([&] { return Clock::now() - start >= milliseconds(20); }));
    const long long advanced = (NSTime::nowRelative() - first).microseconds();
    EXPECT_GE(advanced, 20000);
    EXPECT_LT(advanced, 20000000) << "not counted in microseconds";
}

long long fixedClock() { return 42; }

TEST(NSTimeTest, ClockOverrideReplacesAndRestoresTheClock) {
    {
        RelativeClockOverride fixed(&fixedClock);
        EXPECT_EQ(42, NSTime::nowRelative().microseconds());
    }
    const long long before = monotonicMicroseconds();
    EXPECT_GE(NSTime::nowRelative().microseconds(), before);
}

// ------------------------------------------------------------------- Logger

struct CapturedLog {
    STBLogRecord record;
    kesustb::testing::LogEntry entry;
    std::thread::id thread;
};

// Installs a sink for the test's lifetime and keeps what it receives.
class RecordCapture {
public:
    RecordCapture() {
        kesustb::testing::setLogSink([this](const STBLogRecord& record, const kesustb::testing::LogEntry& entry) {
            std::lock_guard<std::mutex> lock(mutex);
            logs.push_back(CapturedLog{record, entry, std::this_thread::get_id()});
        });
    }
    ~RecordCapture() { kesustb::testing::setLogSink(nullptr); }
    RecordCapture(const RecordCapture&) = delete;
    RecordCapture& operator=(const RecordCapture&) = delete;

    std::vector<CapturedLog> taken() {
        std::lock_guard<std::mutex> lock(mutex);
        return logs;
    }

private:
    std::mutex mutex;
    std::vector<CapturedLog> logs;  // guarded by mutex
};

TEST(STBLoggerTest, RecordLayoutMatchesThePlatformLibrary) {
    constexpr size_t pointer = sizeof(void*);
    EXPECT_EQ(0u, offsetof(STBLogRecord, indent));
    EXPECT_EQ(pointer, offsetof(STBLogRecord, tag));
    EXPECT_EQ(2 * pointer, offsetof(STBLogRecord, category));
    EXPECT_EQ(3 * pointer, offsetof(STBLogRecord, reserved));
    EXPECT_EQ(16u, sizeof(STBLogRecord::reserved));
    EXPECT_EQ(3 * pointer + 16, offsetof(STBLogRecord, flags));
    EXPECT_EQ(4u, sizeof(STBLogRecord::flags));
    EXPECT_EQ((3 * pointer + 20 + pointer - 1) / pointer * pointer, sizeof(STBLogRecord));
#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
    EXPECT_EQ(32u, sizeof(STBLogRecord));
    EXPECT_EQ(4u, offsetof(STBLogRecord, tag));
    EXPECT_EQ(8u, offsetof(STBLogRecord, category));
    EXPECT_EQ(12u, offsetof(STBLogRecord, reserved));
    EXPECT_EQ(28u, offsetof(STBLogRecord, flags));
#endif
}

TEST(STBLoggerTest, KesuLogPassesTheFixedRecordAndTheMessage) {
    RecordCapture capture;
    KESU_LOG(3, 217, kLogFileClient, "Connected to %s after %d tries", "server", 4);
    const std::vector<CapturedLog> logs = capture.taken();
    ASSERT_EQ(1u, logs.size());
    const STBLogRecord& record = logs[0].record;
    EXPECT_STREQ("    ", record.indent);
    EXPECT_STREQ("KESU", record.tag);
    EXPECT_STREQ("info", record.category);
    for (uint32_t word : record.reserved) EXPECT_EQ(0u, word);
    EXPECT_EQ(1, record.flags[0]);
    EXPECT_EQ(0, record.flags[1]);
    EXPECT_EQ(1, record.flags[2]);
    EXPECT_EQ(0, record.flags[3]);

    const kesustb::testing::LogEntry& entry = logs[0].entry;
    EXPECT_EQ(3, entry.level);
    EXPECT_EQ(217, entry.line);
    EXPECT_EQ("src/ipc/IPCMessengerClient.h", entry.file);
    EXPECT_EQ("Connected to server after 4 tries", entry.text);
    EXPECT_EQ("KESU", entry.tag);
}

TEST(STBLoggerTest, SinkReceivesEveryLevelWhateverTheThreshold) {
    RecordCapture capture;
    for (int level = 1; level <= 5; ++level) KESU_LOG(level, level, kLogFileRetrier, "level %d", level);
    const std::vector<CapturedLog> logs = capture.taken();
    ASSERT_EQ(5u, logs.size());
    for (int level = 1; level <= 5; ++level) {
        const kesustb::testing::LogEntry& entry = logs[static_cast<size_t>(level - 1)].entry;
        EXPECT_EQ(level, entry.level);
        EXPECT_EQ("src/common/AutoRetrier.h", entry.file);
        EXPECT_EQ("level " + std::to_string(level), entry.text);
    }
}

TEST(STBLoggerTest, LongMessageIsCutNotOverflowed) {
    RecordCapture capture;
    const std::string longText(5000, 'x');
    KESU_LOG(1, 1, kLogFileClient, "%s", longText.c_str());
    const std::vector<CapturedLog> logs = capture.taken();
    ASSERT_EQ(1u, logs.size());
    const std::string& text = logs[0].entry.text;
    EXPECT_GE(text.size(), 512u);
    EXPECT_LT(text.size(), longText.size());
    EXPECT_EQ(std::string(text.size(), 'x'), text);
}

TEST(STBLoggerTest, SinkRunsOnEachLoggingThreadAndGetsWholeEntries) {
    RecordCapture capture;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 200;
    std::vector<std::thread> threads;
    std::vector<std::thread::id> ids(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &ids] {
            ids[static_cast<size_t>(t)] = std::this_thread::get_id();
            for (int i = 0; i < kPerThread; ++i) KESU_LOG(5, t, kLogFileClient, "thread %d message %d", t, i);
        });
    }
    for (std::thread& thread : threads) thread.join();

    const std::vector<CapturedLog> logs = capture.taken();
    ASSERT_EQ(static_cast<size_t>(kThreads * kPerThread), logs.size());
    std::vector<int> next(kThreads, 0);
    for (const CapturedLog& log : logs) {
        const int t = log.entry.line;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(ids[static_cast<size_t>(t)], log.thread);
        EXPECT_EQ("thread " + std::to_string(t) + " message " + std::to_string(next[static_cast<size_t>(t)]),
                  log.entry.text);
        ++next[static_cast<size_t>(t)];
    }
}

// The threshold is read once per process, so each setting runs in a child
// process. The child sends its standard error to a file, logs once per level
// and exits with one bit per level whose line it found there, plus
// kMalformedLine if any line differs from the expected text.
constexpr int kMalformedLine = 64;

int levelsWrittenToStderr(const char* setting) {
    if (setting != nullptr)
        setenv("KESU_LOG_LEVEL", setting, 1);
    else
        unsetenv("KESU_LOG_LEVEL");
    FILE* capture = std::tmpfile();
    if (capture == nullptr || dup2(fileno(capture), STDERR_FILENO) < 0) return 127;

    for (int level = 1; level <= 5; ++level) KESU_LOG(level, 100 + level, kLogFileClient, "level %d", level);

    std::fseek(capture, 0, SEEK_SET);
    int seen = 0;
    char line[256];
    while (std::fgets(line, sizeof line, capture) != nullptr) {
        int level = 0;
        if (std::sscanf(line, "KESU [%d]", &level) != 1 || level < 1 || level > 5) return seen | kMalformedLine;
        char expected[256];
        std::snprintf(expected, sizeof expected, "KESU [%d] src/ipc/IPCMessengerClient.h:%d: level %d\n", level,
                      100 + level, level);
        if (std::strcmp(expected, line) != 0) return seen | kMalformedLine;
        seen |= 1 << (level - 1);
    }
    return seen;
}

struct ThresholdCase {
    const char* setting;  // nullptr: unset
    int levelsShown;      // bit n-1 for level n
};

class STBLoggerThresholdDeathTest : public ::testing::TestWithParam<ThresholdCase> {};

TEST_P(STBLoggerThresholdDeathTest, StandardErrorShowsLevelsUpToTheSetting) {
    GTEST_FLAG_SET(death_test_style, kesu_test::kDeathTestStyle);
    const ThresholdCase& c = GetParam();
    EXPECT_EXIT(_exit(levelsWrittenToStderr(c.setting)), ::testing::ExitedWithCode(c.levelsShown), "");
}

INSTANTIATE_TEST_SUITE_P(Settings, STBLoggerThresholdDeathTest,
                         ::testing::Values(ThresholdCase{nullptr, 0x03}, ThresholdCase{"", 0x03},
                                           ThresholdCase{"0", 0x00}, ThresholdCase{"1", 0x01},
                                           ThresholdCase{"2", 0x03}, ThresholdCase{"3", 0x07},
                                           ThresholdCase{"4", 0x0f}, ThresholdCase{"5", 0x1f},
                                           ThresholdCase{"9", 0x1f}, ThresholdCase{"-1", 0x00},
                                           ThresholdCase{"abc", 0x03}, ThresholdCase{"3x", 0x03},
                                           ThresholdCase{"4 ", 0x03}));

// A line too long for the logger is cut but still ends in a newline, so the
// next line starts on a line of its own.
int longLineCheck() {
    setenv("KESU_LOG_LEVEL", "1", 1);
    FILE* capture = std::tmpfile();
    if (capture == nullptr || dup2(fileno(capture), STDERR_FILENO) < 0) return 127;

    const std::string longFile = "src/" + std::string(400, 'd') + "/File.h";
    const std::string longText(3000, 'x');
    KESU_LOG(1, 7, longFile.c_str(), "%s", longText.c_str());
    KESU_LOG(1, 8, kLogFileClient, "after");

    std::fseek(capture, 0, SEEK_SET);
    std::string written;
    char chunk[512];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, capture)) > 0;) written.append(chunk, n);

    const std::string second = "KESU [1] src/ipc/IPCMessengerClient.h:8: after\n";
    const std::string firstStart = "KESU [1] " + longFile + ":7: xxx";
    if (written.size() <= second.size()) return 1;
    const std::string first = written.substr(0, written.size() - second.size());
    if (written.compare(first.size(), std::string::npos, second) != 0) return 2;
    if (first.rfind(firstStart, 0) != 0) return 3;
    if (first.back() != '\n' || first.find('\n') != first.size() - 1) return 4;
    if (first.find_first_not_of('x', firstStart.size()) != first.size() - 1) return 5;
    return 0;
}

TEST(STBLoggerOutputDeathTest, OverlongLineIsCutToOneWholeLine) {
    GTEST_FLAG_SET(death_test_style, kesu_test::kDeathTestStyle);
    EXPECT_EXIT(_exit(longLineCheck()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
