// The checked threading wrappers: misuse is reported with a backtrace and kills, a release not held is
// silent, timed waits end at their deadline or on a signal.
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "fakes/DeathTestStyle.h"
#include "fakes/Eventually.h"
#include "kesu/private/pthread_helper.h"

// Exported (outside an anonymous namespace), so that the backtrace names it.
namespace helper_test {
// Misuses a checked wrapper after writing where it lies to `file`, unbuffered:
// 0 relocks a mutex, 1 destroys a held one, 2 waits on a condition without it.
__attribute__((noinline)) void misuse(int kind, std::string const& file) KESU_NO_THREAD_SAFETY_ANALYSIS {
    if (std::freopen(file.c_str(), "w", stdout) == nullptr || setvbuf(stdout, nullptr, _IONBF, 0) != 0) _exit(1);
    auto* mutex = new pthread_helper::mutex;
    pthread_helper::cond condition;
    std::printf("wrapper at %p\n", kind == 2 ? static_cast<void*>(&condition) : static_cast<void*>(mutex));
    if (kind == 2) condition.timedwait(*mutex, 10);
    mutex->lock();
    if (kind == 0) mutex->lock();
    delete mutex;
}
}  // namespace helper_test

// A release of a mutex not held is accepted by design, and made below.
extern "C" const char* __tsan_default_options() { return "report_mutex_bugs=0"; }

namespace {

using kesu_test::eventually;
using std::chrono::milliseconds;

// The report goes to a file named after the test process (the child's parent).
struct Death {
    int kind;               // of misuse()
    const char* condition;  // a regular expression
    int res;
    int line;
};
const Death kDeaths[] = {
    {.kind = 0, .condition = "res != 35", .res = 35, .line = 179},
    {.kind = 1, .condition = "res != 16", .res = 16, .line = 164},
    {.kind = 2, .condition = "res == 0 \\|\\| res == 110", .res = 1, .line = 271},
};

TEST(PthreadHelperDeathTest, MisuseReportsOnStdoutBacktracesOnStderrAndKills) {
    GTEST_FLAG_SET(death_test_style, kesu_test::kDeathTestStyle);
    auto report = [](pid_t pid, int kind) { return ::testing::TempDir() + "kesu." + std::to_string(pid * 10 + kind); };
    const std::string separator = "={88}\n";
    for (const Death& row : kDeaths) {
        EXPECT_EXIT(helper_test::misuse(row.kind, report(getppid(), row.kind)), ::testing::KilledBySignal(SIGKILL),
                    "0x[0-9a-f]+ [^ \n]*misuse[^ \n]* \\(\\+0x[0-9a-f]+\\) \\([^\n]* at 0x[0-9a-f]+\\) \n")
            << row.kind;
        std::stringstream text;
        text << std::ifstream(report(getpid(), row.kind)).rdbuf();
        std::remove(report(getpid(), row.kind).c_str());
        EXPECT_TRUE(std::regex_match(text.str(),
                                     std::regex("wrapper at (0x[0-9a-f]+)\n" + separator + " ASSERT \\(" +
                                                row.condition + "\\) ret=" + std::to_string(row.res) +
                                                " on [^\n]*pthread_helper\\.h:" + std::to_string(row.line) +
                                                ", this:\\1\n" + separator + separator)))
            << text.str();
    }
}

// A release of a mutex not held is silent and changes nothing. The waiter's
// 4294968 ms is the shortest timeout whose microseconds wrap in 32 bits; the
// test's own 200 ms wait starts 0.9 s or later into a second, to carry over.
TEST(PthreadHelperTest, ReleasesNotHeldAreSilentAndTimedWaitsEndAtDeadlineOrSignal) KESU_NO_THREAD_SAFETY_ANALYSIS {
    pthread_helper::mutex mutex;
    pthread_helper::cond condition;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    {
        pthread_helper::scoped_lock guard(mutex);
        std::thread([&]() KESU_NO_THREAD_SAFETY_ANALYSIS { mutex.unlock(); }).join();
        EXPECT_EQ(pthread_mutex_trylock(mutex.native()), EBUSY) << "a foreign release freed it";
        mutex.unlock();  // early, by hand: the guard's release then is one more
        EXPECT_EQ(pthread_mutex_trylock(mutex.native()), 0);
        pthread_mutex_unlock(mutex.native());
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout() + ::testing::internal::GetCapturedStderr(), "");
    std::atomic<bool> waiting{false};
    std::atomic<bool> woke{false};
    std::thread waiter([&]() KESU_NO_THREAD_SAFETY_ANALYSIS {
        pthread_helper::scoped_lock lock(mutex);
        waiting = true;
        condition.timedwait(mutex, 4294968);
        woke = true;
    });
    timeval now{};
    EXPECT_TRUE(eventually([&] { return waiting && gettimeofday(&now, nullptr) == 0 && now.tv_usec >= 900000; }));
    mutex.lock();  // once the waiter waits
    const auto start = std::chrono::steady_clock::now();
    condition.timedwait(mutex, 200);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(pthread_mutex_trylock(mutex.native()), EBUSY);
    EXPECT_GE(waited, milliseconds(199));
    EXPECT_LT(waited, milliseconds(5000));
    EXPECT_FALSE(woke) << "the long wait ended unsignalled";
    condition.signal();
    mutex.unlock();
    const bool wokeBySignal = eventually([&] { return woke.load(); });
    if (!wokeBySignal) pthread_cond_broadcast(reinterpret_cast<pthread_cond_t*>(&condition));  // fail rather than hang
    waiter.join();
    EXPECT_TRUE(wokeBySignal);
}

}  // namespace
